// encode, decode and check: coding a recording into a .ovkc code file,
// decoding one back to its occupied leaf boxes, and proving the round trip.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/folder_batch.h"
#include "codec/voxel_grid.h"
#include "codefile/cell_table.h"
#include "codefile/code_file.h"
#include "codefile/encode.h"
#include "codefile/leaf_boxes.h"
#include "io/file_access.h"
#include "io/recording_readers.h"

namespace ovk::cli {

namespace {

using codefile::CodeFile;
using codefile::Geometry;
using codefile::LeafBoxes;

constexpr std::uint16_t kDefaultTimeBins = 64;

// Reads and decodes a code file, or reports why it cannot.
struct DecodedFile {
  CodeFile file;
  std::vector<LeafBoxes> frames;
};
std::optional<DecodedFile> read_code_file(const std::string& path) {
  const std::optional<std::vector<std::uint8_t>> bytes =
      value_or_report(io::read_whole_file(path), path);
  if (!bytes) return std::nullopt;
  std::optional<CodeFile> file = value_or_report(codefile::parse_code_file(*bytes), path);
  if (!file) return std::nullopt;
  std::optional<std::vector<LeafBoxes>> frames =
      value_or_report(codefile::decode_frames(*file), path);
  if (!frames) return std::nullopt;
  return DecodedFile{std::move(*file), std::move(*frames)};
}

std::uint64_t total_bits(const CodeFile& file) {
  std::uint64_t bits = 0;
  for (const codefile::FrameEntry& f : file.frames) bits += f.bit_count;
  return bits;
}

const char* plural(std::uint64_t n, const char* one, const char* many) {
  return n == 1 ? one : many;
}

// ---- encode ----

struct EncodeOptions {
  std::string recording;
  std::string output;
  std::optional<SensorSize> sensor;
  ReaderChoice reader = ReaderChoice::kAuto;
  std::uint16_t time_bins = kDefaultTimeBins;
  std::optional<unsigned> depth;
  std::uint64_t frames = 1;
  std::vector<std::string> recordings;  // RECORDING...: one, or the folder mode's
  FolderBatchOptions folder;
};

// The geometry to code at: the sensor rule, the time bins, and the depth
// asked for or else the one at which the tree reaches single cells.
Result<Geometry> coding_geometry(const Recording& recording, const EncodeOptions& opt) {
  OVK_ASSIGN_OR_RETURN(const SensorSize sensor, sensor_size(recording, opt.sensor));
  const unsigned depth = opt.depth.value_or(
      GridGeometry(sensor.width, sensor.height, opt.time_bins).single_cell_depth());
  return Geometry{sensor.width, sensor.height, opt.time_bins, static_cast<std::uint8_t>(depth)};
}

Result<CodeFile> encode_recording(const EncodeOptions& opt) {
  OVK_ASSIGN_OR_RETURN(const Recording recording, read_recording(opt.recording, opt.reader));
  OVK_ASSIGN_OR_RETURN(const Geometry geometry, coding_geometry(recording, opt));
  return codefile::encode_events(recording.events, geometry, opt.frames);
}

int run_encode(const EncodeOptions& opt) {
  const std::optional<CodeFile> file = value_or_report(encode_recording(opt), opt.recording);
  if (!file) return kExitFailure;
  const std::vector<std::uint8_t> bytes = codefile::serialize_code_file(*file);
  if (!write_output(opt.output, bytes)) return kExitFailure;
  const Geometry& g = file->geometry;
  std::printf("%s: %zu %s, %zu bytes, %llu tree bits, %ux%u sensor, %u time bins, depth %u\n",
              opt.output.c_str(), file->frames.size(),
              plural(file->frames.size(), "frame", "frames"), bytes.size(),
              static_cast<unsigned long long>(total_bits(*file)), unsigned{g.width},
              unsigned{g.height}, unsigned{g.time_bins}, unsigned{g.depth});
  return kExitOk;
}

void add_encode(CLI::App& app, int& status) {
  auto opt = std::make_shared<EncodeOptions>();
  CLI::App* cmd =
      app.add_subcommand("encode", "Code a recording into a self-describing .ovkc file");
  cmd->add_option("RECORDING", opt->recordings,
                  "Recording (.bin, .evb, .aedat, .csv, .txt); folder mode: recordings or folders")
      ->required();
  cmd->add_option("-o,--output", opt->output, "The .ovkc file to write");
  add_folder_batch_options(*cmd, opt->folder);
  add_sensor_option(*cmd, opt->sensor);
  add_reader_option(*cmd, opt->reader);
  add_parameter_option(*cmd, kTimeBinsParameter, opt->time_bins)->capture_default_str();
  add_parameter_option(*cmd, kDepthParameter, opt->depth)
      ->description("Tree depth limit (default: the depth that reaches single cells)");
  add_parameter_option(*cmd, kFramesParameter, opt->frames)->capture_default_str();
  cmd->footer(
      "Example: ovk encode recording.aedat --time-bins 64 --frames 4 -o recording.ovkc\n"
      "         ovk encode recordings/ --output-dir coded/ --shard 2/4 --resume");
  cmd->callback([opt, &status] {
    check_folder_batch_usage(opt->recordings, opt->output, opt->folder);
    if (opt->folder.output_dir.empty()) {
      opt->recording = opt->recordings.front();
      status = run_encode(*opt);
      return;
    }
    const auto encode_one = [&opt](const std::string& input, const std::string& output) {
      EncodeOptions one = *opt;
      one.recording = input;
      one.output = output;
      return run_encode(one) == kExitOk;
    };
    if (!run_folder_batch(opt->recordings, opt->reader, opt->folder, "ovkc", encode_one)) {
      status = kExitFailure;
    }
  });
}

// ---- decode ----

struct DecodeOptions {
  std::string input;
  std::string output;
};

void print_summary(const std::string& path, const DecodedFile& decoded) {
  const CodeFile& f = decoded.file;
  const Geometry& g = f.geometry;
  std::uint64_t bytes = 0;
  for (const codefile::FrameEntry& e : f.frames) bytes += e.code.size();
  const LeafBoxes no_frames;
  const LeafBoxes& leaf = decoded.frames.empty() ? no_frames : decoded.frames.front();
  std::printf("%s\n", path.c_str());
  std::printf("  frames:   %zu\n", f.frames.size());
  std::printf("  boxes:    %llu\n", static_cast<unsigned long long>(codefile::box_count(decoded.frames)));
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
              static_cast<unsigned long long>(total_bits(f)));
}

int run_decode(const DecodeOptions& opt) {
  const std::optional<DecodedFile> decoded = read_code_file(opt.input);
  if (!decoded) return kExitFailure;
  if (opt.output.empty()) {
    print_summary(opt.input, *decoded);
    return kExitOk;
  }
  const bool csv = io::file_extension(opt.output) == "csv";
  const bool written =
      write_output(opt.output, csv ? codefile::cells_csv(decoded->file, decoded->frames)
                                   : codefile::cells_npy(decoded->file, decoded->frames));
  return written ? kExitOk : kExitFailure;
}

void add_decode(CLI::App& app, int& status) {
  auto opt = std::make_shared<DecodeOptions>();
  CLI::App* cmd = app.add_subcommand(
      "decode", "Decode a .ovkc file to its occupied leaf boxes (a summary without -o)");
  cmd->add_option("FILE", opt->input, "The .ovkc file")->required();
  cmd->add_option("-o,--output", opt->output,
                  "Box table to write: .npy (uint64, shape (boxes, 9)) or .csv; columns " +
                      std::string(codefile::kCellColumns))
      ->check(output_extension_check({"npy", "csv"}));
  cmd->callback([opt, &status] { status = run_decode(*opt); });
}

// ---- check ----

struct CheckOptions {
  std::string input;
  std::string recording;
  ReaderChoice reader = ReaderChoice::kAuto;
};

int run_check(const CheckOptions& opt) {
  const std::optional<DecodedFile> decoded = read_code_file(opt.input);
  if (!decoded) return kExitFailure;
  const std::optional<Recording> recording =
      value_or_report(read_recording(opt.recording, opt.reader), opt.recording);
  if (!recording) return kExitFailure;
  const CodeFile& file = decoded->file;
  const std::optional<std::string> difference = value_or_report(
      codefile::compare_with_recording(file, decoded->frames, recording->events), opt.recording);
  if (!difference) return kExitFailure;
  if (!difference->empty()) {
    std::printf("%s: differs from %s: %s\n", opt.input.c_str(), opt.recording.c_str(),
                difference->c_str());
    return kExitFailure;
  }
  std::printf("%s: identical to %s (%zu %s, %llu boxes)\n", opt.input.c_str(),
              opt.recording.c_str(), file.frames.size(),
              plural(file.frames.size(), "frame", "frames"),
              static_cast<unsigned long long>(codefile::box_count(decoded->frames)));
  return kExitOk;
}

void add_check(CLI::App& app, int& status) {
  auto opt = std::make_shared<CheckOptions>();
  CLI::App* cmd = app.add_subcommand(
      "check", "Check that a .ovkc file holds exactly the occupancy of a recording");
  cmd->add_option("FILE", opt->input, "The .ovkc file")->required();
  cmd->add_option("RECORDING", opt->recording, "The recording it was coded from")->required();
  add_reader_option(*cmd, opt->reader);
  cmd->footer(
      "Exit status 0 when the file holds exactly the recording's occupancy, 1 otherwise.\n"
      "Example: ovk check recording.ovkc recording.aedat");
  cmd->callback([opt, &status] { status = run_check(*opt); });
}

}  // namespace

void add_code_file_commands(CLI::App& app, int& status) {
  add_encode(app, status);
  add_decode(app, status);
  add_check(app, status);
}

}  // namespace ovk::cli
