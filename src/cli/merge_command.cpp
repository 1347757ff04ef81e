// `ovk merge SHARD.jsonl... [-o OUT.csv|OUT.jsonl] [--expect PATH...]`: the
// jsonl rows of sweeps run shard by shard, as one table. Reports recordings
// whose rows are in two shards or repeated, recordings with rows for fewer
// parameter combinations than the others, and, given the PATH arguments the
// sweeps were run on, recordings without rows and rows of recordings not
// among them. Prints the dataset's summary. Rows keep their text; they are
// ordered by path, compared folder by folder (the order a sweep of one
// folder writes), or in the order the --expect paths list the recordings.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/row_table.h"
#include "cli/sweep_report.h"
#include "io/file_access.h"
#include "io/recording_readers.h"

namespace ovk::cli {
namespace {

// The columns that tell one row of a recording from another.
constexpr const char* kCombinationKeys[] = {"time_bins", "max_depth", "n_frames", "coding"};
constexpr std::size_t kSummaryColumn = 14;

struct MergeOptions {
  std::vector<std::string> shards;
  std::string output;
  std::vector<std::string> expect;
  ReaderChoice reader = ReaderChoice::kAuto;
};

struct RecordingRows {
  std::size_t shard = 0;
  std::vector<Row> rows;
  std::set<std::string> combinations;
};

// "time_bins=64 max_depth=10 n_frames=1"
std::string combination_of(const Row& row) {
  std::string text;
  for (const char* key : kCombinationKeys) {
    if (const Cell* cell = find_cell(row, key)) {
      if (!text.empty()) text.push_back(' ');
      text += std::string(key) + "=" + cell->text;
    }
  }
  return text;
}

std::vector<std::string> keys_of(const Row& row) {
  std::vector<std::string> keys;
  for (const auto& cell : row) keys.push_back(cell.first);
  return keys;
}

double number_of(const Row& row, const char* key) {
  const Cell* cell = find_cell(row, key);
  if (cell == nullptr || cell->is_string) return 0.0;
  return std::strtod(cell->text.c_str(), nullptr);
}

std::string fixed(double value, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return buffer;
}

class Merger {
 public:
  // Reads one shard's rows; every problem is reported and counted.
  void add_shard(std::size_t index, const std::string& path) {
    shards_.push_back(path);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) {
      fail(path, io::os_error_message(errno));
      return;
    }
    char* line = nullptr;
    std::size_t capacity = 0;
    std::uint64_t number = 0;
    for (ssize_t n; (n = ::getline(&line, &capacity, file.get())) >= 0;) {
      ++number;
      std::string_view text(line, static_cast<std::size_t>(n));
      if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
      add_line(index, text, number);
    }
    const int read_error = errno;
    std::free(line);
    if (std::ferror(file.get())) fail(path, io::os_error_message(read_error));
  }

  // Checks what the shards hold against the recordings `expected` lists.
  void check(const std::optional<std::vector<std::string>>& expected) {
    std::set<std::string> all;
    for (const auto& [path, recording] : recordings_) {
      all.insert(recording.combinations.begin(), recording.combinations.end());
    }
    for (const auto& [path, recording] : recordings_) {
      if (recording.combinations.size() < all.size()) {
        ++incomplete_;
        fail(path, "rows for " + std::to_string(recording.combinations.size()) + " of " +
                       std::to_string(all.size()) + " parameter combinations");
      }
    }
    if (!expected) return;
    const std::set<std::string> listed(expected->begin(), expected->end());
    for (const std::string& path : *expected) {
      if (!recordings_.contains(path)) {
        ++missing_;
        fail(path, "no rows in the shards (failed, or its shard did not run)");
      }
    }
    for (const auto& [path, recording] : recordings_) {
      if (!listed.contains(path)) {
        ++unexpected_;
        fail(path, "rows in " + shards_[recording.shard] + " but not among the expected recordings");
      }
    }
  }

  // The merged rows in output order.
  std::vector<const Row*> ordered(const std::optional<std::vector<std::string>>& expected) const {
    std::vector<std::string> paths;
    std::set<std::string> placed;
    if (expected) {
      for (const std::string& path : *expected) {
        if (recordings_.contains(path) && placed.insert(path).second) paths.push_back(path);
      }
    }
    std::vector<std::string> rest;
    for (const auto& [path, recording] : recordings_) {
      if (!placed.contains(path)) rest.push_back(path);
    }
    std::stable_sort(rest.begin(), rest.end(), [](const std::string& a, const std::string& b) {
      return std::filesystem::path(a).compare(std::filesystem::path(b)) < 0;
    });
    paths.insert(paths.end(), rest.begin(), rest.end());
    std::vector<const Row*> rows;
    for (const std::string& path : paths) {
      for (const Row& row : recordings_.at(path).rows) rows.push_back(&row);
    }
    return rows;
  }

  std::string table(const std::vector<const Row*>& rows, bool csv) const {
    std::string text;
    if (csv && !keys_.empty()) {
      Row heading;
      for (const std::string& key : keys_) heading.emplace_back(key, Cell{key, true});
      text += csv_line(heading) + "\n";
    }
    for (const Row* row : rows) text += (csv ? csv_line(*row) : json_line(*row)) + "\n";
    return text;
  }

  std::string summary(const std::vector<const Row*>& rows) const;

  bool clean() const { return failures_ == 0; }

 private:
  void fail(const std::string& path, const std::string& message) {
    ++failures_;
    print_failure(path, message);
  }

  void add_line(std::size_t shard, std::string_view text, std::uint64_t number) {
    const std::string where = shards_[shard] + ": line " + std::to_string(number);
    std::optional<Row> row = parse_json_row(text);
    const Cell* path = row ? find_cell(*row, "path") : nullptr;
    if (path == nullptr || !path->is_string) {
      fail(shards_[shard], "line " + std::to_string(number) + " is not a row of ovk sweep");
      return;
    }
    if (keys_.empty()) keys_ = keys_of(*row);
    if (keys_of(*row) != keys_) {
      fail(shards_[shard], "line " + std::to_string(number) + " has other columns than " +
                               shards_.front() + " line 1 (rows of another sweep)");
      return;
    }
    auto [it, added] = recordings_.try_emplace(path->text);
    RecordingRows& recording = it->second;
    if (added) recording.shard = shard;
    if (recording.shard != shard) {
      if (duplicated_.insert(path->text).second) {
        ++duplicates_;
        fail(path->text, "rows in " + shards_[recording.shard] + " and in " + shards_[shard] +
                             " (kept those of the first)");
      }
      return;
    }
    if (!recording.combinations.insert(combination_of(*row)).second) {
      if (duplicated_.insert(path->text).second) ++duplicates_;
      fail(shards_[shard], "line " + std::to_string(number) + " repeats the row of " + path->text +
                               " for " + combination_of(*row));
      return;
    }
    recording.rows.push_back(std::move(*row));
  }

  std::vector<std::string> shards_;
  std::vector<std::string> keys_;
  std::map<std::string, RecordingRows> recordings_;
  std::set<std::string> duplicated_;
  std::uint64_t failures_ = 0;
  std::uint64_t duplicates_ = 0;
  std::uint64_t incomplete_ = 0;
  std::uint64_t missing_ = 0;
  std::uint64_t unexpected_ = 0;
};

// Event-weighted bits per event for each combination, as a sweep sums them,
// and for each baseline.
std::string Merger::summary(const std::vector<const Row*>& rows) const {
  struct Totals {
    std::uint64_t recordings = 0;
    double events = 0;
    double bytes = 0;
    std::vector<std::string> cells;  // the combination's values
  };
  std::vector<std::pair<std::string, Totals>> combinations;
  std::map<std::string, std::pair<double, double>> baselines;  // name: weighted bits, events
  std::vector<std::string> baseline_order;
  double events = 0;
  double lossless_bits = 0;
  std::string last_path;
  for (const Row* row : rows) {
    const std::string combination = combination_of(*row);
    auto it = std::find_if(combinations.begin(), combinations.end(),
                           [&](const auto& c) { return c.first == combination; });
    if (it == combinations.end()) {
      it = combinations.insert(combinations.end(), {combination, {}});
      for (const char* key : kCombinationKeys) {
        if (const Cell* cell = find_cell(*row, key)) it->second.cells.push_back(cell->text);
      }
    }
    const double n = number_of(*row, "n_events");
    ++it->second.recordings;
    it->second.events += n;
    it->second.bytes += number_of(*row, "bitstream_bytes");
    const std::string& path = find_cell(*row, "path")->text;
    if (path == last_path) continue;
    last_path = path;
    events += n;
    lossless_bits += number_of(*row, "lossless_bits_per_event") * n;
    for (const auto& [key, cell] : *row) {
      const std::string suffix = "_bits_per_event";
      if (key.size() <= suffix.size() || !key.ends_with(suffix) || key == "lossless_bits_per_event") {
        continue;
      }
      const std::string name = key.substr(0, key.size() - suffix.size());
      if (!baselines.contains(name)) baseline_order.push_back(name);
      baselines[name].first += number_of(*row, key.c_str()) * n;
      baselines[name].second += n;
    }
  }
  std::string text = "summary: " + std::to_string(recordings_.size()) + " recordings, " +
                     std::to_string(rows.size()) + " rows from " + std::to_string(shards_.size()) +
                     " shards, " + fixed(events, 0) + " events; " + std::to_string(duplicates_) +
                     " duplicated, " + std::to_string(incomplete_) + " incomplete, " +
                     std::to_string(missing_) + " missing, " + std::to_string(unexpected_) +
                     " unexpected\n";
  text += "  occ_bits/ev: the occupancy code (lossy: occupied cells only; no polarity, counts or "
          "exact times)\n";
  if (std::find(keys_.begin(), keys_.end(), "lossless_bits_per_event") != keys_.end()) {
    text += "  lossless (ovk, every event exact): " + fixed(lossless_bits / std::max(events, 1.0), 3) +
            " bits/event\n";
  }
  const auto add_line = [&text](const std::vector<std::string>& cells) {
    for (const std::string& cell : cells) {
      text.append(kSummaryColumn + 1 - std::min(cell.size(), kSummaryColumn), ' ').append(cell);
    }
    text.push_back('\n');
  };
  std::vector<std::string> heading;
  for (const char* key : kCombinationKeys) {
    if (std::find(keys_.begin(), keys_.end(), key) != keys_.end()) heading.emplace_back(key);
  }
  const std::size_t combination_columns = heading.size();
  heading.insert(heading.end(), {"recordings", "events", "occ_bits/ev"});
  add_line(heading);
  for (const auto& [combination, totals] : combinations) {
    std::vector<std::string> cells(totals.cells.begin(),
                                   totals.cells.begin() + static_cast<std::ptrdiff_t>(
                                                              combination_columns));
    cells.insert(cells.end(), {std::to_string(totals.recordings), fixed(totals.events, 0),
                               fixed(totals.bytes * 8.0 / std::max(totals.events, 1.0), 3)});
    add_line(cells);
  }
  for (const std::string& name : baseline_order) {
    const auto& [bits, n] = baselines.at(name);
    text += "  baseline (lossless) " + name + ": " + fixed(bits / std::max(n, 1.0), 3) +
            " bits/event\n";
  }
  return text;
}

bool run_merge(const MergeOptions& options) {
  Merger merger;
  for (std::size_t i = 0; i < options.shards.size(); ++i) merger.add_shard(i, options.shards[i]);
  std::optional<std::vector<std::string>> expected;
  if (!options.expect.empty()) expected = collect_recordings(options.expect, options.reader);
  merger.check(expected);
  const std::vector<const Row*> rows = merger.ordered(expected);
  bool written = true;
  if (!options.output.empty()) {
    const std::string text = merger.table(rows, io::file_extension(options.output) == "csv");
    written = write_output(options.output, std::span(reinterpret_cast<const std::uint8_t*>(text.data()),
                                                     text.size()));
  }
  const std::string summary = merger.summary(rows);
  std::fwrite(summary.data(), 1, summary.size(), stdout);
  return written && merger.clean();
}

CLI::Validator merge_output_check() {
  return CLI::Validator(
      [](const std::string& path) -> std::string {
        const std::optional<std::string_view> extension = io::file_extension(path);
        if (extension == "csv" || extension == "jsonl") return {};
        if (extension == "parquet") {
          return "Parquet is written with pyarrow: run `ovk-dask merge` (pip install .) for it";
        }
        return "the output name must end in .csv or .jsonl";
      },
      "");
}

}  // namespace

void add_merge_command(CLI::App& app, int& status) {
  auto options = std::make_shared<MergeOptions>();
  CLI::App* command = app.add_subcommand(
      "merge", "Combine the jsonl rows of sharded sweeps into one table, checking for duplicate "
               "and missing recordings");
  command->add_option("shards", options->shards, "The jsonl outputs of the shards")
      ->required()
      ->type_name("SHARD.jsonl");
  command->add_option("-o,--output", options->output, "OUT.csv or OUT.jsonl (without: check only)")
      ->type_name("OUT")
      ->check(merge_output_check());
  command
      ->add_option("--expect", options->expect,
                   "The PATH arguments of the sweeps: every recording they list must have rows")
      ->type_name("PATH");
  add_reader_option(*command, options->reader);
  command->footer(
      "Exit status 1 when a recording is duplicated, incomplete, missing or unexpected (the\n"
      "output is written all the same, with the first rows of a duplicated recording).\n"
      "Example: ovk merge shards/*.jsonl --expect recordings/ -o sweep.csv");
  command->callback([options, &status] {
    if (!run_merge(*options)) status = kExitFailure;
  });
}

}  // namespace ovk::cli
