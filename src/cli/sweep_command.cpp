// Placeholder until the subcommand is built.
#include "cli/commands.h"

namespace ovk::cli {

void add_sweep_command(CLI::App& app, int& status) {
  app.add_subcommand("sweep", "(not built yet)")->callback([&status] { status = kExitFailure; });
}

}  // namespace ovk::cli
