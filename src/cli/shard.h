// Splitting a dataset into N shards that separate runs (other processes,
// other machines) measure independently: `--shard K/N` keeps recordings
// K-1, K-1+N, K-1+2N, ... of the dataset listed in byte order of each
// recording's relative path. The relative path is the one below the folder
// argument it was found in (a file argument counts by its file name), so
// the assignment does not depend on where the dataset is mounted or on the
// order the file system lists it in; every shard must see the same files.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_common.h"

namespace ovk::cli {

struct ShardSpec {
  std::uint64_t index = 1;  // K, 1..count
  std::uint64_t count = 1;  // N
};

// "K/N" with 1 <= K <= N <= 1,000,000, e.g. "3/8". nullopt otherwise.
std::optional<ShardSpec> parse_shard(std::string_view text);

// Adds `--shard K/N` to a subcommand.
void add_shard_option(CLI::App& command, std::optional<ShardSpec>& shard);

// A recording as collected from the command line: the path to open and the
// relative path the shard assignment sorts by.
struct ListedRecording {
  std::string path;
  std::string relative;
};

// The recordings collect_recordings finds for `paths`, in its order, each
// with its relative path; what the walk left out goes to `skipped`.
std::vector<ListedRecording> list_recordings(const std::vector<std::string>& paths,
                                             const ReaderChoice& choice,
                                             std::vector<SkippedPath>* skipped = nullptr);

// The paths of `shard`'s recordings, in the order of `listed`. Without a
// shard, every path.
std::vector<std::string> shard_paths(const std::vector<ListedRecording>& listed,
                                     const std::optional<ShardSpec>& shard);

}  // namespace ovk::cli
