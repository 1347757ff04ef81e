// What `ovk sweep` measures and how it is written out: one row per recording
// and parameter combination (keys named as the module's CompressionResult),
// the baselines of the recording on every row, and a summary of the dataset.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli/baselines.h"
#include "codec/compress.h"

namespace ovk::cli {

struct Combination {
  std::uint16_t time_bins = 0;
  std::uint8_t max_depth = 0;
  std::uint64_t n_frames = 1;
};

struct SweepRow {
  Combination combination;
  CompressionRecord record;
};

// Everything measured on one recording, or the message of its failure.
struct RecordingOutcome {
  std::string path;
  bool ok = false;
  std::string error;
  std::string_view reader;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::uint64_t n_events = 0;
  std::vector<BaselineMeasure> baselines;
  std::vector<SweepRow> rows;
};

enum class OutputFormat : std::uint8_t { kTable, kCsv, kJsonl };

// Writes rows as they come. csv and jsonl stream; the table is aligned, so
// it is written by finish(), followed by the summary.
class SweepWriter {
 public:
  // `csv_header` false leaves out the csv header (rows appended to a file
  // that has it).
  SweepWriter(OutputFormat format, std::vector<Baseline> baselines, std::FILE* out,
              bool csv_header = true);

  void add(const RecordingOutcome& outcome);
  // `seconds` is the wall time of the whole sweep. The summary goes after the
  // table for the table format, else to `summary_out` (stderr), so that csv
  // and jsonl output keep one row shape.
  void finish(const std::vector<Combination>& combinations, double seconds, std::FILE* summary_out);

 private:
  struct Totals {
    std::uint64_t recordings = 0;
    std::uint64_t n_events = 0;
    std::uint64_t bitstream_bytes = 0;
  };
  std::vector<std::string> cells(const RecordingOutcome& outcome, const SweepRow& row) const;
  std::string summary(const std::vector<Combination>& combinations, double seconds) const;

  OutputFormat format_;
  std::vector<Baseline> baselines_;
  std::vector<std::string> keys_;
  std::FILE* out_;
  std::vector<std::vector<std::string>> table_;  // table format only
  std::vector<Totals> per_combination_;          // by combination index
  std::vector<std::uint64_t> baseline_bytes_;    // by baseline index
  std::uint64_t recordings_ = 0;
  std::uint64_t failures_ = 0;
  std::uint64_t events_ = 0;
  std::uint64_t baseline_events_ = 0;
};

// The keys of a row, in order: the module's names, then two per baseline
// ("zstd3_bits_per_event", "zstd3_us").
std::vector<std::string> sweep_keys(const std::vector<Baseline>& baselines);

// A JSON string literal for UTF-8 text; ill-formed bytes become U+FFFD.
std::string json_string(std::string_view text);

// A CSV field, quoted when it holds a comma, a quote or a line break.
std::string csv_field(std::string_view text);

// The shortest decimal text that reads back as the same double.
std::string shortest_double(double value);

}  // namespace ovk::cli
