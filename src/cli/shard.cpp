#include "cli/shard.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <numeric>
#include <system_error>

#include "cli/parsed_option.h"

namespace ovk::cli {
namespace {

constexpr std::uint64_t kLargestShardCount = 1'000'000;

std::optional<std::uint64_t> parse_count(std::string_view text) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

std::string relative_below(const std::string& root, const std::string& path) {
  const std::filesystem::path relative =
      std::filesystem::path(path).lexically_relative(std::filesystem::path(root));
  return relative.empty() ? std::filesystem::path(path).filename().string() : relative.string();
}

}  // namespace

std::optional<ShardSpec> parse_shard(std::string_view text) {
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::optional<std::uint64_t> index = parse_count(text.substr(0, slash));
  const std::optional<std::uint64_t> count = parse_count(text.substr(slash + 1));
  if (!index || !count || *index < 1 || *index > *count || *count > kLargestShardCount) {
    return std::nullopt;
  }
  return ShardSpec{*index, *count};
}

void add_shard_option(CLI::App& command, std::optional<ShardSpec>& shard) {
  add_parsed_option(command, "--shard", shard, parse_shard,
                    "expected K/N with 1 <= K <= N, such as 2/8",
                    "Only shard K of N: the recordings at positions K, K+N, K+2N, ... (from 1) "
                    "of the dataset sorted by relative path")
      ->type_name("K/N");
}

std::vector<ListedRecording> list_recordings(const std::vector<std::string>& paths,
                                             const ReaderChoice& choice,
                                             std::vector<SkippedPath>* skipped) {
  std::vector<ListedRecording> listed;
  for (const std::string& root : paths) {
    std::error_code error;
    const bool folder = std::filesystem::is_directory(root, error);
    for (std::string& path : collect_recordings({root}, choice, skipped)) {
      std::string relative =
          folder ? relative_below(root, path) : std::filesystem::path(path).filename().string();
      listed.push_back(ListedRecording{std::move(path), std::move(relative)});
    }
  }
  return listed;
}

std::vector<std::string> shard_paths(const std::vector<ListedRecording>& listed,
                                     const std::optional<ShardSpec>& shard) {
  std::vector<bool> keep(listed.size(), !shard.has_value());
  if (shard) {
    // Ties (the same relative path below two arguments) keep argument order.
    std::vector<std::size_t> order(listed.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&listed](std::size_t a, std::size_t b) {
      return listed[a].relative < listed[b].relative;
    });
    for (std::size_t rank = shard->index - 1; rank < order.size(); rank += shard->count) {
      keep[order[rank]] = true;
    }
  }
  std::vector<std::string> out;
  for (std::size_t i = 0; i < listed.size(); ++i) {
    if (keep[i]) out.push_back(listed[i].path);
  }
  return out;
}

}  // namespace ovk::cli
