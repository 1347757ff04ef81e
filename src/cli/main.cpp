// Entry point of the `ovk` command-line tool: parses the command line with
// CLI11 and runs one subcommand. Never sees Python.
#include <malloc.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/output_file.h"
#include "codec/result.h"
#include "io/file_access.h"

namespace {

// The error, then the usage line of the subcommand being parsed (or of the
// tool when none was reached), then where to find more.
void print_usage_error(const CLI::App& app, const CLI::ParseError& error) {
  const CLI::App* command = &app;
  const std::vector<CLI::App*> chosen = app.get_subcommands();
  if (!chosen.empty()) command = chosen.back();
  std::string name = app.get_name();
  if (command != &app) name += " " + command->get_name();
  const std::string usage = CLI::Formatter().make_usage(command, name);
  std::fprintf(stderr, "ovk: %s\n%s", error.what(), usage.c_str());
  if (usage.empty() || usage.back() != '\n') std::fputc('\n', stderr);
  std::fprintf(stderr, "Run '%s --help' for more information.\n", name.c_str());
}

}  // namespace

namespace {

constexpr int kFailedWrite = 1;

// Each recording allocates and frees buffers of megabytes (events, cell
// keys, tree bits). By default glibc hands such blocks back to the kernel
// when they are freed, so the next recording faults every page in again,
// and with several jobs the page faults queue on the process's memory map.
// Keeping freed memory in the heap makes the next recording reuse it.
void keep_freed_memory_for_reuse() {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);  // glibc's largest allowed threshold
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
}

// Output lost on standard output (a full disk, a closed pipe, /dev/full) is
// a failure like any other: every command's printing ends here.
// A command that failed has reported its own failure (a failed write on
// standard output included), so only a success is turned into a failure.
int check_standard_output(int status) {
  errno = 0;
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return status;
  if (status != ovk::cli::kExitOk) return status;
  const int error = errno != 0 ? errno : EIO;
  std::fprintf(stderr, "<stdout>: %s\n", ovk::io::os_error_message(error).c_str());
  return kFailedWrite;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ovk::cli;
  keep_freed_memory_for_reuse();
  install_signal_cleanup();
  CLI::App app{"ovk: occupancy-tree coding of event-camera recordings", "ovk"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "ovk " OVK_VERSION);
  int status = kExitOk;
  add_info_command(app, status);
  add_sweep_command(app, status);
  add_convert_command(app, status);
  add_code_file_commands(app, status);
  add_merge_command(app, status);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    print_usage_error(app, e);
    return kExitUsage;
  } catch (const std::bad_alloc&) {
    std::fputs("ovk: out of memory\n", stderr);
    return kExitFailure;
  } catch (const ovk::Fault& e) {
    std::fprintf(stderr, "ovk: internal error at %s:%d: %s\n", e.file(), e.line(), e.what());
    return kExitInternal;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ovk: internal error: %s\n", e.what());
    return kExitInternal;
  } catch (...) {
    std::fputs("ovk: internal error: an exception of unknown type\n", stderr);
    return kExitInternal;
  }
  return check_standard_output(status);
}
