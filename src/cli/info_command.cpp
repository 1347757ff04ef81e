// Placeholder until the subcommand is built.
#include "cli/commands.h"

namespace ovk::cli {

void add_info_command(CLI::App& app, int& status) {
  app.add_subcommand("info", "(not built yet)")->callback([&status] { status = kExitFailure; });
}

}  // namespace ovk::cli
