// Placeholder until the subcommand is built.
#include "cli/commands.h"

namespace ovk::cli {

void add_convert_command(CLI::App& app, int& status) {
  app.add_subcommand("convert", "(not built yet)")->callback([&status] { status = kExitFailure; });
}

}  // namespace ovk::cli
