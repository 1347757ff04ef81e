// Pieces shared by the subcommands of the `ovk` tool: choosing a reader and
// reading one recording, the sensor-size rule, parsing of sizes and number
// lists given on the command line, collecting recordings from paths, and the
// one-line report of a failed recording.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/event.h"
#include "codec/result.h"

namespace ovk::cli {

// The --reader choice. kAuto picks by extension as the module's load_events
// does (.bin by length: compact or N-MNIST).
enum class ReaderChoice : std::uint8_t { kAuto, kCompact, kNmnist, kAedat2, kCsv };

// The format actually used for one file ("compact", "nmnist", "aedat2", "csv").
enum class ReaderKind : std::uint8_t { kCompact, kNmnist, kAedat2, kCsv };

std::string_view reader_name(ReaderKind kind);

// Adds `--reader auto|compact|nmnist|aedat2|csv` (default auto) to a subcommand.
void add_reader_option(CLI::App& command, ReaderChoice& choice);

struct SensorSize {
  std::uint16_t width = 0;
  std::uint16_t height = 0;
};

// Adds `--sensor WxH` to a subcommand; when given it overrides the sensor rule.
void add_sensor_option(CLI::App& command, std::optional<SensorSize>& sensor);

struct Recording {
  ReaderKind reader = ReaderKind::kCompact;
  EventVec events;
};

// Reads one recording. With kAuto the outcome (events or message) is the one
// load_events gives for the path; otherwise the named reader is used whatever
// the extension.
Result<Recording> read_recording(const std::string& path, ReaderChoice choice);

// The reader read_recording uses for `path`, or nullopt when it fails before
// choosing one (kAuto with an unknown extension or an unreadable .bin).
std::optional<ReaderKind> reader_for_path(const std::string& path, ReaderChoice choice);

// Sensor size: `given` when set; 34x34 for N-MNIST; 128x128 for AEDAT 2.0
// (DVS128); otherwise the largest x and y plus one (0x0 for no events).
// Fails when the largest coordinate plus one does not fit 16 bits.
Result<SensorSize> sensor_size(const Recording& recording, const std::optional<SensorSize>& given);

// "WxH" with both parts decimal in 1..65535, e.g. "346x260". nullopt otherwise.
std::optional<SensorSize> parse_sensor_size(std::string_view text);

// A comma-separated list of values and inclusive ranges, e.g. "16,64,256" or
// "6-12" or "1,4-6", every value in [min, max]. Order is kept and repeats
// are dropped. nullopt on any syntax error, empty item, reversed range or
// value out of bounds.
std::optional<std::vector<std::uint64_t>> parse_number_list(std::string_view text,
                                                            std::uint64_t min, std::uint64_t max);

// The recordings named by `paths`, in order. A folder is walked recursively
// in sorted order; with kAuto it contributes the files whose extension the
// loaders know (bin, evb, aedat, csv, txt), with a named reader every regular
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
                                            ReaderChoice choice,
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
