// The folder mode of `ovk convert` and `ovk encode`: every recording that
// PATH... lists (folders walked as sweep walks them) is written into
// --output-dir under its relative path, its extension replaced by the
// output's. `--shard K/N` takes the recordings of one shard (see shard.h);
// `--resume` skips recordings whose output exists (outputs appear whole or
// not at all, so an existing one is complete).
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_common.h"
#include "cli/shard.h"

namespace ovk::cli {

struct FolderBatchOptions {
  std::string output_dir;
  std::optional<ShardSpec> shard;
  bool resume = false;
};

// Adds --output-dir, --shard and --resume to a subcommand.
void add_folder_batch_options(CLI::App& command, FolderBatchOptions& options);

// Throws CLI::ValidationError unless exactly one of `-o` (`output`) and
// --output-dir is given, and --shard and --resume come with --output-dir;
// several paths, or a folder, need --output-dir.
void check_folder_batch_usage(const std::vector<std::string>& paths, const std::string& output,
                              const FolderBatchOptions& options);

// Runs `convert_one(input, output)` for each recording of the shard, in
// listing order, with output = output_dir/relative path, extension
// `extension` (no dot). `convert_one` reports its own failures and returns
// false on one. Two recordings with the same output are a failure of the
// second. False when any recording failed.
bool run_folder_batch(const std::vector<std::string>& paths, ReaderChoice reader,
                      const FolderBatchOptions& options, std::string_view extension,
                      const std::function<bool(const std::string&, const std::string&)>& convert_one);

}  // namespace ovk::cli
