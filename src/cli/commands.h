// The subcommands of the `ovk` tool. Each add_* function registers one
// subcommand (or a small family of them) on the application; its callback
// runs the work and leaves the process exit status in `status`:
//   0  everything asked for was done
//   1  some recording or file failed (each failure reported as "path: message")
// Usage errors never reach a callback: CLI11 reports them and main exits 2.
#pragma once

#include <CLI/CLI.hpp>

namespace ovk::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

void add_info_command(CLI::App& app, int& status);
void add_sweep_command(CLI::App& app, int& status);
void add_convert_command(CLI::App& app, int& status);
// encode, decode and check of coded .ovkc files.
void add_code_file_commands(CLI::App& app, int& status);
// merge: the jsonl rows of sharded sweeps as one table.
void add_merge_command(CLI::App& app, int& status);

}  // namespace ovk::cli
