// Placeholder until the subcommands are built.
#include "cli/commands.h"

namespace ovk::cli {

void add_code_file_commands(CLI::App& app, int& status) {
  for (const char* name : {"encode", "decode", "check"}) {
    app.add_subcommand(name, "(not built yet)")->callback([&status] { status = kExitFailure; });
  }
}

}  // namespace ovk::cli
