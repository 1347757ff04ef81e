// encode, decode and check: coding a recording into a .ovkc code file,
// decoding one back to its occupied leaf boxes, and proving the round trip.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "cli/commands.h"
#include "codec/voxel_grid.h"
#include "codefile/cell_table.h"
#include "codefile/code_file.h"
#include "codefile/encode.h"
#include "codefile/leaf_boxes.h"
#include "io/file_access.h"
#include "io/file_write.h"
#include "io/recording_readers.h"

namespace ovk::cli {

namespace {

using codefile::CodeFile;
using codefile::Geometry;
using codefile::LeafBoxes;

constexpr std::uint16_t kDefaultTimeBins = 64;

struct SensorSize {
  std::uint16_t width = 0;
  std::uint16_t height = 0;
};

// "WxH" with both sides in 1..65535.
std::optional<SensorSize> parse_sensor_size(const std::string& text) {
  unsigned long w = 0, h = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%5lux%5lu%c", &w, &h, &tail) != 2) return std::nullopt;
  if (w == 0 || h == 0 || w > 65535 || h > 65535) return std::nullopt;
  if (text.find_first_not_of("0123456789x") != std::string::npos) return std::nullopt;
  return SensorSize{static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h)};
}

// 34x34 for N-MNIST, 128x128 for DVS128 AEDAT 2.0, otherwise the largest x
// and y plus one. A .bin file is N-MNIST unless only 9 divides its length.
SensorSize default_sensor_size(const std::string& path, const EventVec& events) {
  const std::optional<std::string_view> ext = io::file_extension(path);
  if (ext == "aedat") return {128, 128};
  if (ext == "bin") {
    std::error_code ec;
    const std::uintmax_t length = std::filesystem::file_size(path, ec);
    if (!ec && !(length % 9 == 0 && length % 5 != 0)) return {34, 34};
  }
  std::uint32_t max_x = 0, max_y = 0;
  for (const Event& e : events) {
    max_x = std::max<std::uint32_t>(max_x, e.x);
    max_y = std::max<std::uint32_t>(max_y, e.y);
  }
  return {static_cast<std::uint16_t>(std::min<std::uint32_t>(max_x + 1, 65535)),
          static_cast<std::uint16_t>(std::min<std::uint32_t>(max_y + 1, 65535))};
}

// The smallest depth at which the tree reaches single cells.
std::uint8_t exact_depth(const Geometry& g) {
  const std::uint64_t largest = std::max(
      {next_power_of_two(g.width), next_power_of_two(g.height), next_power_of_two(g.time_bins)});
  return static_cast<std::uint8_t>(std::countr_zero(largest));
}

void report_failure(const std::string& path, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", path.c_str(), message.c_str());
}

// Reads and decodes a code file, or reports why it cannot.
struct DecodedFile {
  CodeFile file;
  std::vector<LeafBoxes> frames;
};
std::optional<DecodedFile> read_code_file(const std::string& path) {
  Result<std::vector<std::uint8_t>> bytes = io::read_whole_file(path);
  if (!bytes.ok()) {
    report_failure(path, bytes.error().message());
    return std::nullopt;
  }
  Result<CodeFile> file = codefile::parse_code_file(bytes.value());
  if (!file.ok()) {
    report_failure(path, file.error().message());
    return std::nullopt;
  }
  Result<std::vector<LeafBoxes>> frames = codefile::decode_frames(file.value());
  if (!frames.ok()) {
    report_failure(path, frames.error().message());
    return std::nullopt;
  }
  return DecodedFile{std::move(file).value(), std::move(frames).value()};
}

std::optional<EventVec> read_recording(const std::string& path) {
  Result<EventVec> events = io::load_events(path);
  if (!events.ok()) {
    report_failure(path, events.error().message());
    return std::nullopt;
  }
  return std::move(events).value();
}

std::optional<CodeFile> encode_or_report(const std::string& path, const EventVec& events,
                                         const Geometry& geometry, std::uint64_t frames) {
  Result<CodeFile> file = codefile::encode_events(events, geometry, frames);
  if (!file.ok()) {
    report_failure(path, file.error().message());
    return std::nullopt;
  }
  return std::move(file).value();
}

std::uint64_t total_boxes(const std::vector<LeafBoxes>& frames) {
  std::uint64_t n = 0;
  for (const LeafBoxes& f : frames) n += f.origins.size();
  return n;
}

const char* plural(std::uint64_t n, const char* one, const char* many) {
  return n == 1 ? one : many;
}

// ---- encode ----

struct EncodeOptions {
  std::string recording;
  std::string output;
  std::string sensor;
  std::uint16_t time_bins = kDefaultTimeBins;
  std::optional<unsigned> depth;
  std::uint64_t frames = 1;
};

int run_encode(const EncodeOptions& opt) {
  const std::optional<EventVec> events = read_recording(opt.recording);
  if (!events) return kExitFailure;
  const SensorSize sensor = opt.sensor.empty() ? default_sensor_size(opt.recording, *events)
                                               : *parse_sensor_size(opt.sensor);
  Geometry geometry{sensor.width, sensor.height, opt.time_bins, 0};
  geometry.depth = opt.depth ? static_cast<std::uint8_t>(*opt.depth) : exact_depth(geometry);
  const std::optional<CodeFile> file =
      encode_or_report(opt.recording, *events, geometry, opt.frames);
  if (!file) return kExitFailure;
  const std::vector<std::uint8_t> bytes = codefile::serialize_code_file(*file);
  const Status written = io::write_file_atomically(opt.output, bytes);
  if (!written.ok()) {
    report_failure(opt.output, written.error().message());
    return kExitFailure;
  }
  std::uint64_t bits = 0;
  for (const codefile::FrameEntry& f : file->frames) bits += f.bit_count;
  std::printf("%s: %zu %s, %zu bytes, %llu tree bits, %ux%u sensor, %u time bins, depth %u\n",
              opt.output.c_str(), file->frames.size(),
              plural(file->frames.size(), "frame", "frames"), bytes.size(),
              static_cast<unsigned long long>(bits), unsigned{geometry.width},
              unsigned{geometry.height}, unsigned{geometry.time_bins}, unsigned{geometry.depth});
  return kExitOk;
}

void add_encode(CLI::App& app, int& status) {
  auto opt = std::make_shared<EncodeOptions>();
  CLI::App* cmd =
      app.add_subcommand("encode", "Code a recording into a self-describing .ovkc file");
  cmd->add_option("RECORDING", opt->recording, "Recording (.bin, .evb, .aedat, .csv, .txt)")
      ->required();
  cmd->add_option("-o,--output", opt->output, "The .ovkc file to write")->required();
  cmd->add_option("--sensor", opt->sensor,
                  "Sensor size WxH (default: 34x34 for N-MNIST, 128x128 for AEDAT 2.0, else the "
                  "largest x and y plus one)")
      ->check([](const std::string& text) {
        return parse_sensor_size(text) ? std::string{} : "expected WxH with sides 1..65535";
      });
  cmd->add_option("--time-bins", opt->time_bins, "Time bins of the occupancy grid")
      ->capture_default_str();
  cmd->add_option("--depth", opt->depth,
                  "Tree depth limit 0..255 (default: the depth that reaches single cells)")
      ->check(CLI::Range(0u, 255u));
  cmd->add_option("--frames", opt->frames, "Consecutive time frames to code")
      ->check(CLI::Range(std::uint64_t{1}, std::numeric_limits<std::uint64_t>::max()))
      ->capture_default_str();
  cmd->callback([opt, &status] { status = run_encode(*opt); });
}

// ---- decode ----

struct DecodeOptions {
  std::string input;
  std::string output;
};

void print_summary(const std::string& path, const DecodedFile& decoded) {
  const CodeFile& f = decoded.file;
  const Geometry& g = f.geometry;
  std::uint64_t bits = 0, bytes = 0;
  for (const codefile::FrameEntry& e : f.frames) {
    bits += e.bit_count;
    bytes += e.code.size();
  }
  const LeafBoxes no_frames;
  const LeafBoxes& leaf = decoded.frames.empty() ? no_frames : decoded.frames.front();
  std::printf("%s\n", path.c_str());
  std::printf("  frames:   %zu\n", f.frames.size());
  std::printf("  boxes:    %llu\n", static_cast<unsigned long long>(total_boxes(decoded.frames)));
  std::printf("  events:   %llu, %u..%u us\n", static_cast<unsigned long long>(f.event_count),
              f.tmin, f.tmax);
  std::printf(
      "  geometry: %ux%u sensor, %u time bins, depth %u; padded %llux%llux%llu, leaf box "
      "%llux%llux%llu\n",
      unsigned{g.width}, unsigned{g.height}, unsigned{g.time_bins}, unsigned{g.depth},
      static_cast<unsigned long long>(next_power_of_two(g.width)),
      static_cast<unsigned long long>(next_power_of_two(g.height)),
      static_cast<unsigned long long>(next_power_of_two(g.time_bins)),
      static_cast<unsigned long long>(leaf.dx), static_cast<unsigned long long>(leaf.dy),
      static_cast<unsigned long long>(leaf.dt));
  std::printf("  code:     %llu bytes, %llu tree bits\n", static_cast<unsigned long long>(bytes),
              static_cast<unsigned long long>(bits));
}

int run_decode(const DecodeOptions& opt) {
  const std::optional<DecodedFile> decoded = read_code_file(opt.input);
  if (!decoded) return kExitFailure;
  if (opt.output.empty()) {
    print_summary(opt.input, *decoded);
    return kExitOk;
  }
  const bool csv = io::file_extension(opt.output) == "csv";
  const Status written = io::write_file_atomically(
      opt.output, csv ? codefile::cells_csv(decoded->file, decoded->frames)
                      : codefile::cells_npy(decoded->file, decoded->frames));
  if (!written.ok()) {
    report_failure(opt.output, written.error().message());
    return kExitFailure;
  }
  return kExitOk;
}

void add_decode(CLI::App& app, int& status) {
  auto opt = std::make_shared<DecodeOptions>();
  CLI::App* cmd = app.add_subcommand(
      "decode", "Decode a .ovkc file to its occupied leaf boxes (a summary without -o)");
  cmd->add_option("FILE", opt->input, "The .ovkc file")->required();
  cmd->add_option("-o,--output", opt->output,
                  "Box table to write: .npy (uint64, shape (boxes, 9)) or .csv; columns " +
                      std::string(codefile::kCellColumns))
      ->check([](const std::string& path) {
        const auto ext = io::file_extension(path);
        return (ext == "npy" || ext == "csv") ? std::string{}
                                              : "the output must end in .npy or .csv";
      });
  cmd->callback([opt, &status] { status = run_decode(*opt); });
}

// ---- check ----

struct CheckOptions {
  std::string input;
  std::string recording;
};

int run_check(const CheckOptions& opt) {
  const std::optional<DecodedFile> decoded = read_code_file(opt.input);
  if (!decoded) return kExitFailure;
  const std::optional<EventVec> events = read_recording(opt.recording);
  if (!events) return kExitFailure;
  const CodeFile& file = decoded->file;
  Result<std::string> compared = codefile::compare_with_recording(file, decoded->frames, *events);
  if (!compared.ok()) {
    report_failure(opt.recording, compared.error().message());
    return kExitFailure;
  }
  const std::string& difference = compared.value();
  if (!difference.empty()) {
    std::printf("%s: differs from %s: %s\n", opt.input.c_str(), opt.recording.c_str(),
                difference.c_str());
    return kExitFailure;
  }
  std::printf("%s: identical to %s (%zu %s, %llu boxes)\n", opt.input.c_str(),
              opt.recording.c_str(), file.frames.size(),
              plural(file.frames.size(), "frame", "frames"),
              static_cast<unsigned long long>(total_boxes(decoded->frames)));
  return kExitOk;
}

void add_check(CLI::App& app, int& status) {
  auto opt = std::make_shared<CheckOptions>();
  CLI::App* cmd = app.add_subcommand(
      "check", "Check that a .ovkc file holds exactly the occupancy of a recording");
  cmd->add_option("FILE", opt->input, "The .ovkc file")->required();
  cmd->add_option("RECORDING", opt->recording, "The recording it was coded from")->required();
  cmd->callback([opt, &status] { status = run_check(*opt); });
}

}  // namespace

void add_code_file_commands(CLI::App& app, int& status) {
  add_encode(app, status);
  add_decode(app, status);
  add_check(app, status);
}

}  // namespace ovk::cli
