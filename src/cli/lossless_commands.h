// The tool's side of lossless .ovkc files: `encode --lossless`, `convert`
// of a lossless file back to events (whole, or a time window decoding only
// the chunks it meets), `info` and `check` of such files.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "cli/cli_common.h"
#include "cli/output_file.h"
#include "cli/time_window.h"
#include "lossless/lossless_file.h"

namespace ovk::cli {

// True when the file at `path` starts with the lossless magic.
bool is_lossless_file(const std::string& path);
// True when the file at `path` starts with the occupancy code file magic.
bool is_occupancy_file(const std::string& path);
// For a path named .ovkc that is a FIFO or a device: reports that a code
// file is read by position (its table and trailer sit at its end) and
// returns true. Nothing is read from it.
bool refuse_unseekable_code_file(const std::string& path);

struct LosslessEncodeRequest {
  std::string input;
  std::string output;
  ReaderChoice reader = ReaderChoice::kAuto;
  std::optional<SensorSize> sensor;
  unsigned jobs = 0;             // 0: every core
  std::uint32_t chunk_events = 0;  // 0: the default
  bool smallest = false;           // the smallest code instead of the fast one
  OutputPolicy policy;             // what the output may be
};
// Codes the recording (anything the tool reads, or a .npy event array);
// prints one line about the file. False after reporting a failure.
bool lossless_encode(const LosslessEncodeRequest& request);

struct LosslessConvertOptions {
  std::optional<TimeWindow> window;  // the reader options' --time-window
  bool skip_damaged = false;
  unsigned jobs = 0;  // 0: every core
};
// Adds --skip-damaged and --jobs to convert (--time-window is the reader's).
void add_lossless_convert_options(CLI::App& command, LosslessConvertOptions& options);

// Decodes a lossless file to .npy (x u2, y u2, t u8, p u1), .evb, .csv or
// .h5 (DSEC layout), written as `policy` allows.
bool lossless_convert(const std::string& input, const std::string& output,
                      const OutputPolicy& policy, const LosslessConvertOptions& options);

// The lossless code of a recording (one thread): its size and coding time.
struct LosslessMeasure {
  std::uint64_t bytes = 0;
  std::uint64_t us = 0;
};

// Measures the lossless code of events handed over block by block; the
// coded bytes are counted, not kept.
class LosslessMeasurer {
 public:
  LosslessMeasurer();
  [[nodiscard]] Status add(EventSpan events);
  [[nodiscard]] Result<LosslessMeasure> finish();

 private:
  lossless::LosslessEncoder encoder_;
  Event64Vec wide_;
  std::uint64_t ns_ = 0;
};

// `info` of a .ovkc file of either kind.
bool describe_code_file(const std::string& path);

// Exit status of `check FILE RECORDING` for a lossless file: 0 when it
// holds exactly the recording's events, in order; 1 otherwise.
int check_lossless(const std::string& file, const std::string& recording, ReaderChoice reader);

}  // namespace ovk::cli
