// Entry point of the `ovk` command-line tool: parses the command line with
// CLI11 and runs one subcommand. Never sees Python.
#include <cstdio>
#include <exception>
#include <new>

#include "cli/commands.h"
#include "codec/result.h"

int main(int argc, char** argv) {
  using namespace ovk::cli;
  CLI::App app{"ovk: occupancy-tree coding of event-camera recordings"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "ovk 0.1.0");
  int status = kExitOk;
  add_info_command(app, status);
  add_sweep_command(app, status);
  add_convert_command(app, status);
  add_code_file_commands(app, status);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  } catch (const std::bad_alloc&) {
    std::fputs("ovk: out of memory\n", stderr);
    return kExitFailure;
  } catch (const ovk::Fault& e) {
    std::fprintf(stderr, "ovk: internal fault at %s:%d: %s\n", e.file(), e.line(), e.what());
    return kExitFailure;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ovk: %s\n", e.what());
    return kExitFailure;
  }
  return status;
}
