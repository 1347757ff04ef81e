// The subcommands of the `ovk` tool. Each add_* function registers one
// subcommand (or a small family of them) on the application; its callback
// runs the work and leaves the process exit status in `status`:
//   0  everything asked for was done
//   1  some recording or file failed (each failure reported as "path: message")
// Usage errors never reach a callback: CLI11 reports them and main exits 2.
// A fault (a broken invariant of the tool itself, any exception other than
// running out of memory) ends the tool in main with "ovk: internal error at
// FILE:LINE: what" and status 3, from the main thread or a worker thread.
#pragma once

#include <CLI/CLI.hpp>

namespace ovk::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInternal = 3;

void add_info_command(CLI::App& app, int& status);
void add_sweep_command(CLI::App& app, int& status);
void add_convert_command(CLI::App& app, int& status);
// encode, decode and check of coded .ovkc files.
void add_code_file_commands(CLI::App& app, int& status);
// merge: the jsonl rows of sharded sweeps as one table.
void add_merge_command(CLI::App& app, int& status);

}  // namespace ovk::cli
