// What `ovk sweep` measures and how it is written out: one row per recording
// and parameter combination (keys named as the module's CompressionResult),
// the baselines of the recording on every row, and a summary of the dataset.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/baselines.h"
#include "cli/cli_common.h"
#include "codec/compress.h"

namespace ovk::cli {

// How a combination codes the tree bits: the module's static code, or the
// context coding of the code file (every frame on its own).
enum class SweepCoding : std::uint8_t { kStatic, kContext };

struct Combination {
  std::uint16_t time_bins = 0;
  std::uint8_t max_depth = 0;
  std::uint64_t n_frames = 1;
  SweepCoding coding = SweepCoding::kStatic;
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
  // The lossless code of the recording (every event exact), one per recording.
  std::uint64_t lossless_bytes = 0;
  std::uint64_t lossless_us = 0;
  std::vector<SweepRow> rows;
};

enum class OutputFormat : std::uint8_t { kTable, kCsv, kJsonl };

// One column of the sweep's output: its csv and jsonl key, its heading in
// the table ("" where the table leaves it out), and its value in both. The
// one list of columns (sweep_columns) makes the csv header, the jsonl keys,
// the table heading and every row.
struct SweepColumn {
  enum class Kind : std::uint8_t {
    kText,    // quoted in csv and jsonl, left-aligned in the table
    kName,    // a word: a JSON string, bare in csv, right-aligned
    kNumber,  // bare everywhere, right-aligned
  };
  using Cell = std::function<std::string(const RecordingOutcome&, const SweepRow&)>;
  std::string key;
  std::string heading;
  Kind kind = Kind::kNumber;
  Cell value;  // csv and jsonl: numbers in full
  Cell shown;  // the table: numbers rounded; empty when the same as `value`
};

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
  // The paths the folder walk skipped, counted by reason in the summary.
  void note_skipped(const std::vector<SkippedPath>& skipped);

 private:
  struct Totals {
    std::uint64_t recordings = 0;
    std::uint64_t n_events = 0;
    std::uint64_t bitstream_bytes = 0;
  };
  std::string summary(const std::vector<Combination>& combinations, double seconds) const;

  OutputFormat format_;
  std::vector<Baseline> baselines_;
  std::vector<SweepColumn> columns_;
  std::FILE* out_;
  std::vector<std::vector<std::string>> table_;  // table format only
  std::vector<Totals> per_combination_;          // by combination index
  std::vector<std::uint64_t> baseline_bytes_;    // by baseline index
  std::uint64_t lossless_bytes_ = 0;
  std::uint64_t recordings_ = 0;
  std::uint64_t failures_ = 0;
  std::uint64_t events_ = 0;
  std::uint64_t baseline_events_ = 0;
  std::string skipped_;  // "1 link loop, 2 special file" or empty
};

// The columns of a row, in order: the module's names (the occupancy code:
// lossy, it keeps occupied cells only), events_per_cell (events / occupied
// cells, what the occupancy code leaves out), lossless_bits_per_event and
// lossless_us (ovk's lossless code, every event exact), then two per
// baseline ("zstd3_bits_per_event", "zstd3_us"; lossless too).
std::vector<SweepColumn> sweep_columns(const std::vector<Baseline>& baselines);

// A JSON string literal for text that is UTF-8 where it can: well-formed
// UTF-8 is kept, and every byte of an ill-formed sequence becomes a lone
// surrogate \udc80..\udcff (Python's "surrogateescape"), so a path that is
// not UTF-8 is kept losslessly: os.fsencode(json.loads(...)) gives its bytes.
std::string json_string(std::string_view text);

// A CSV field, quoted when it holds a comma, a quote or a line break.
std::string csv_field(std::string_view text);

}  // namespace ovk::cli
