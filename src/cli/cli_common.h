// Pieces shared by the subcommands of the `ovk` tool: choosing a reader and
// reading one recording, the sensor-size rule, parsing of sizes and number
// lists given on the command line, collecting recordings from paths, and the
// one-line report of a failed recording.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/event.h"
#include "codec/result.h"
#include "cli/event_spool.h"
#include "cli/time_window.h"
#include "io/registry/registry.h"

namespace ovk::cli {

// The --reader choice and the reader options: the format (nullptr picks by
// extension, and by the first bytes where the extension does not decide;
// .bin by length: compact or N-MNIST) and the reference conventions asked for.
struct ReaderChoice {
  const io::RecordingFormat* format = nullptr;
  io::ReaderOptions options;
  // --time-window: only the events inside it are read.
  std::optional<TimeWindow> window;

  static const ReaderChoice kAuto;
};
inline const ReaderChoice ReaderChoice::kAuto{};

// The format actually used for one file.
using ReaderKind = const io::RecordingFormat*;

std::string_view reader_name(ReaderKind kind);

// Adds `--reader auto|compact|nmnist|...` (default auto), the reader
// options (--aedat2-layout, --drop-specials, --resolve-overflow, --columns)
// and --time-window to a subcommand.
void add_reader_option(CLI::App& command, ReaderChoice& choice);

struct SensorSize {
  std::uint16_t width = 0;
  std::uint16_t height = 0;
};

// Adds `--sensor WxH` to a subcommand; when given it overrides the sensor rule.
void add_sensor_option(CLI::App& command, std::optional<SensorSize>& sensor);

// A recording read whole for the occupancy codec, whose timestamps are 32
// bits: `events` hold t - time_offset. The offset is 0 when every timestamp
// fits 32 bits (so the module's figures are kept) and the smallest timestamp
// otherwise.
struct Recording {
  ReaderKind reader = nullptr;
  EventVec events;
  std::optional<io::SensorGeometry> declared_sensor;
  std::uint64_t time_offset = 0;
  std::vector<io::SkippedRecords> skipped;
};

// Whether `path` names a regular file (which can be read twice).
bool is_regular_file(const std::string& path);

// A recording that cannot be read twice (a pipe), read once into a spool
// whose source the further reads take (the events inside --time-window
// only), with what its own source told.
struct SpooledRecording {
  ReaderKind reader = nullptr;
  std::optional<io::SensorGeometry> declared_sensor;
  std::vector<io::SkippedRecords> skipped;
  EventSpool events;
};
[[nodiscard]] Result<SpooledRecording> spool_recording(const std::string& path,
                                                       const ReaderChoice& choice);

// Opens one recording as a stream (see io::open_recording).
Result<io::OpenedRecording> open_recording(const std::string& path, const ReaderChoice& choice);

// Reads one recording whole. With default options and a format the module
// reads, the events (or message) are the module's loaders' own. A span of
// timestamps that does not fit 32 bits fails with a message naming
// --time-window.
Result<Recording> read_recording(const std::string& path, const ReaderChoice& choice);

// A recording read in passes for the occupancy codec, in memory that does
// not grow with its length. The first pass (scan) learns what read_recording
// would give besides the events: the format, the declared sensor, the event
// count, the time offset (the same rule), the smallest and largest
// timestamp after it, and the largest x and y; each further pass hands out
// the events, t - time_offset, block by block, in file order. A file that
// is not regular (a pipe) is read once, its events spooled to an unnamed
// temporary file (event_spool.h) that the further passes read.
class RecordingPasses {
 public:
  [[nodiscard]] static Result<RecordingPasses> scan(const std::string& path,
                                                    const ReaderChoice& choice);

  // Calls `block` with every block of events; stops at its first error.
  [[nodiscard]] Status pass(const std::function<Status(EventSpan)>& block) const;

  ReaderKind reader = nullptr;
  std::optional<io::SensorGeometry> declared_sensor;
  io::Extent extent;  // of the events inside the time window
  std::uint64_t n_events = 0;
  std::uint64_t time_offset = 0;
  std::uint32_t t_min = 0;  // after the offset; 0 and 0 for no events
  std::uint32_t t_max = 0;

 private:
  std::string path_;
  ReaderChoice choice_;
  std::shared_ptr<const EventSpool> spool_;  // a pipe's events, before the window
};

// Sensor size: `given` when set; else what the file states (header, camera,
// or the format's fixed sensor: 34x34 for N-MNIST, 128x128 for AEDAT 2.0);
// otherwise the largest x and y plus one (0x0 for no events). Fails when the
// largest coordinate plus one does not fit 16 bits.
Result<SensorSize> sensor_size(const Recording& recording, const std::optional<SensorSize>& given);

// The same rule over what a streamed pass saw.
Result<SensorSize> sensor_size(const std::optional<io::SensorGeometry>& declared,
                               const io::Extent& extent, const std::optional<SensorSize>& given);

// "WxH" with both parts decimal in 1..65535, e.g. "346x260". nullopt otherwise.
std::optional<SensorSize> parse_sensor_size(std::string_view text);

// A comma-separated list of values and inclusive ranges, e.g. "16,64,256" or
// "6-12" or "1,4-6", every value in [min, max]. Order is kept and repeats
// are dropped. nullopt on any syntax error, empty item, reversed range or
// value out of bounds.
std::optional<std::vector<std::uint64_t>> parse_number_list(std::string_view text,
                                                            std::uint64_t min, std::uint64_t max);

// The recordings named by `paths`, in order. A folder is walked recursively
// in sorted order; with kAuto it contributes the files whose extension a
// format of the registry claims (or .bin), with a named reader every regular
// file. Any other path is taken as given (a missing file then fails when it
// is read, with the loader's message).
// What the walk left out and why: "permission denied" (or another reason a
// folder could not be read), "link loop", "dangling link", "special file"
// (a FIFO, socket or device), "linked folder" (not followed).
// When `skipped` is given each is recorded there; a folder named in `paths`
// that cannot be read is recorded too, instead of being taken as a file.
struct SkippedPath {
  std::string path;
  std::string reason;
};
std::vector<std::string> collect_recordings(const std::vector<std::string>& paths,
                                            const ReaderChoice& choice,
                                            std::vector<SkippedPath>* skipped = nullptr);

// Writes "path: message" and a line feed to `out` (stderr by default), both
// parts with control characters and ill-formed UTF-8 escaped
// (escape_for_terminal), so the report stays one line. Standard output is
// flushed first, so the line follows what came before it.
void print_failure(std::string_view path, std::string_view message, std::FILE* out = stderr);

// The value of `result`, or nullopt after print_failure(path, its message).
template <typename T>
std::optional<T> value_or_report(Result<T>&& result, std::string_view path) {
  if (!result.ok()) {
    print_failure(path, result.error().message());
    return std::nullopt;
  }
  return std::move(result).value();
}

// Writes `bytes` to `path` through OutputFile (cli/output_file.h) as if
// --force were given. Commands with inputs and a --force flag call
// write_output_file with their own OutputPolicy instead. False after
// reporting the failure against `path`.
bool write_output(const std::string& path, std::span<const std::uint8_t> bytes);

// A CLI11 check that an output name ends in one of `extensions` (given
// without the dot); its message lists them, e.g. "the output name must end
// in .npy or .csv".
CLI::Validator output_extension_check(std::vector<std::string> extensions);

// A coding parameter as the subcommands take it: its flag, what it means,
// and the values it may take.
struct CodingParameter {
  const char* flag;
  const char* meaning;
  std::uint64_t min;
  std::uint64_t max;
};
inline constexpr CodingParameter kTimeBinsParameter{"--time-bins",
                                                    "Time bins of the occupancy grid", 1, 65535};
inline constexpr CodingParameter kDepthParameter{"--depth", "Tree depth limit", 0, 255};
inline constexpr CodingParameter kFramesParameter{
    "--frames", "Consecutive time frames: 1 codes the whole recording, more use frame deltas", 1,
    1'000'000};

// Adds `parameter` taking one value in its bounds.
template <typename T>
CLI::Option* add_parameter_option(CLI::App& command, const CodingParameter& parameter, T& value) {
  return command.add_option(parameter.flag, value, parameter.meaning)
      ->check(CLI::Range(parameter.min, parameter.max))
      ->type_name("N");
}

// The values of a list given for `parameter`: parse_number_list within its bounds.
std::optional<std::vector<std::uint64_t>> parameter_values(std::string_view list,
                                                           const CodingParameter& parameter);

// Adds `parameter` taking a list of values in its bounds, as parse_number_list
// reads it (e.g. "16,64,256" or "6-12"); `example` ends the help text.
CLI::Option* add_parameter_list_option(CLI::App& command, const CodingParameter& parameter,
                                       std::string& list, std::string_view example);

}  // namespace ovk::cli
