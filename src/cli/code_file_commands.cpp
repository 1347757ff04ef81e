// encode, decode and check: coding a recording into a .ovkc code file,
// decoding one back to its occupied leaf boxes, and proving the round trip.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/folder_batch.h"
#include "cli/lossless_commands.h"
#include "cli/output_file.h"
#include "cli/text_escape.h"
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

// The bytes of a code file, read only as far as its header and frame table
// declare: the magic and the version are checked on the first bytes, so
// anything else (a large file, /dev/zero) is refused before more is read.
// A file shorter than declared is returned as it is, for the parser to say
// how it falls short; one longer is refused here.
Result<std::vector<std::uint8_t>> read_declared_bytes(const std::string& path) {
  constexpr std::size_t kMostAtOnce = std::size_t{1} << 20;
  OVK_ASSIGN_OR_RETURN(const io::FileHandle file, io::open_for_reading(path));
  std::vector<std::uint8_t> bytes;
  for (;;) {
    OVK_ASSIGN_OR_RETURN(const std::uint64_t need, codefile::declared_size_so_far(bytes));
    if (bytes.size() >= need) break;
    const std::size_t at = bytes.size();
    bytes.resize(at + static_cast<std::size_t>(std::min<std::uint64_t>(need - at, kMostAtOnce)));
    OVK_ASSIGN_OR_RETURN(const std::size_t n, io::read_some(file, std::span(bytes).subspan(at)));
    bytes.resize(at + n);
    if (n == 0) return bytes;
  }
  std::uint8_t extra = 0;
  OVK_ASSIGN_OR_RETURN(const std::size_t more, io::read_some(file, std::span(&extra, 1)));
  if (more == 0) return bytes;
  struct stat info{};
  const bool sized = ::fstat(file.fd(), &info) == 0 && S_ISREG(info.st_mode);
  return Error(ErrorKind::kInvalidData,
               "checksum mismatch: the header declares " + std::to_string(bytes.size()) +
                   " bytes but the file holds " +
                   (sized ? std::to_string(info.st_size) : std::string("more")) +
                   " (truncated or damaged)");
}

Result<CodeFile> load_code_file(const std::string& path) {
  return catching_out_of_memory([&]() -> Result<CodeFile> {
    OVK_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> bytes, read_declared_bytes(path));
    return codefile::parse_code_file(bytes);
  });
}

// What decoding every frame tells, holding one frame at a time: the number
// of leaf boxes and the leaf size of the first frame.
struct Survey {
  std::uint64_t boxes = 0;
  std::uint64_t dx = 1, dy = 1, dt = 1;
};
Result<Survey> survey_frames(const CodeFile& file) {
  Survey out;
  codefile::FrameDecoder decoder(file);
  for (bool first = true; !decoder.done(); first = false) {
    OVK_ASSIGN_OR_RETURN(const LeafBoxes boxes, decoder.next());
    out.boxes += boxes.origins.size();
    if (first) {
      out.dx = boxes.dx;
      out.dy = boxes.dy;
      out.dt = boxes.dt;
    }
  }
  return out;
}

// A parsed and fully checked code file, or nullopt after reporting why not.
struct CheckedFile {
  CodeFile file;
  Survey survey;
};
std::optional<CheckedFile> read_code_file(const std::string& path) {
  std::optional<CodeFile> file = value_or_report(load_code_file(path), path);
  if (!file) return std::nullopt;
  const std::optional<Survey> survey = value_or_report(survey_frames(*file), path);
  if (!survey) return std::nullopt;
  return CheckedFile{std::move(*file), *survey};
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
  bool force = false;
  codefile::Coding coding = codefile::Coding::kContext;
  bool lossless = false;
  unsigned jobs = 0;
  std::uint32_t chunk_events = 0;
  bool best = false;
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
  return codefile::encode_events(recording.events, geometry, opt.frames, opt.coding);
}

int run_encode(const EncodeOptions& opt) {
  const OutputPolicy policy{.force = opt.force, .inputs = {opt.recording}};
  if (const Status usable = check_output(opt.output, policy); !usable.ok()) {
    print_failure(opt.output, usable.error().message());
    return kExitFailure;
  }
  const std::optional<CodeFile> file = value_or_report(encode_recording(opt), opt.recording);
  if (!file) return kExitFailure;
  const std::vector<std::uint8_t> bytes = codefile::serialize_code_file(*file);
  if (!write_output_file(opt.output, policy, bytes)) return kExitFailure;
  const Geometry& g = file->geometry;
  std::printf("%s: %zu %s, %zu bytes, %llu tree bits, %ux%u sensor, %u time bins, depth %u\n",
              escape_for_terminal(opt.output).c_str(), file->frames.size(),
              plural(file->frames.size(), "frame", "frames"), bytes.size(),
              static_cast<unsigned long long>(total_bits(*file)), unsigned{g.width},
              unsigned{g.height}, unsigned{g.time_bins}, unsigned{g.depth});
  return kExitOk;
}

// One recording, by the occupancy code or (--lossless) the lossless one.
int encode_one_recording(const EncodeOptions& opt) {
  if (!opt.lossless) return run_encode(opt);
  const OutputPolicy policy{.force = opt.force, .inputs = {opt.recording}};
  if (const Status usable = check_output(opt.output, policy); !usable.ok()) {
    print_failure(opt.output, usable.error().message());
    return kExitFailure;
  }
  return lossless_encode({opt.recording, opt.output, opt.reader, opt.sensor, opt.jobs,
                          opt.chunk_events, opt.best, policy})
             ? kExitOk
             : kExitFailure;
}

void add_encode(CLI::App& app, int& status) {
  auto opt = std::make_shared<EncodeOptions>();
  CLI::App* cmd =
      app.add_subcommand("encode", "Code a recording into a self-describing .ovkc file");
  cmd->add_option("RECORDING", opt->recordings,
                  "Recording (.bin, .evb, .aedat, .csv, .txt); folder mode: recordings or folders")
      ->required();
  cmd->add_option("-o,--output", opt->output, "The .ovkc file to write");
  add_force_option(*cmd, opt->force);
  add_folder_batch_options(*cmd, opt->folder);
  add_sensor_option(*cmd, opt->sensor);
  add_reader_option(*cmd, opt->reader);
  add_parameter_option(*cmd, kTimeBinsParameter, opt->time_bins)->capture_default_str();
  add_parameter_option(*cmd, kDepthParameter, opt->depth)
      ->description("Tree depth limit (default: the depth that reaches single cells)");
  add_parameter_option(*cmd, kFramesParameter, opt->frames)->capture_default_str();
  cmd->add_option("--coding", opt->coding,
                  "Tree bit coding: context (adaptive, context-modelled; the default) or static "
                  "(the module's rANS and xor run-length codes, byte for byte)")
      ->transform(CLI::CheckedTransformer(
          std::map<std::string, codefile::Coding>{{"static", codefile::Coding::kStatic},
                                                  {"context", codefile::Coding::kContext}}))
      ->default_str("context");
  CLI::Option* lossless = cmd->add_flag("--lossless", opt->lossless,
                "Keep every event exactly (x, y, 64-bit t, p, in order) instead of the occupancy "
                "code; the recording may also be a .npy event array");
  cmd->add_option("--jobs", opt->jobs, "With --lossless: threads coding chunks (default: every core)")
      ->check(CLI::Range(1U, 1024U))
      ->type_name("N");
  cmd->add_option("--chunk-events", opt->chunk_events,
                  "With --lossless: events per chunk, the unit of random access (default 65536)")
      ->check(CLI::Range(1U, 1U << 20))
      ->type_name("N");
  cmd->add_flag("--best", opt->best,
                "With --lossless: the smallest code (about 7% smaller, up to 17%, "
                "several times slower to write and read) instead of the fast one")
      ->needs(lossless);
  cmd->footer(
      "Example: ovk encode recording.aedat --time-bins 64 --frames 4 -o recording.ovkc\n"
      "         ovk encode --lossless recording.aedat -o recording.ovkc\n"
      "         ovk encode --lossless --best recording.aedat -o smallest.ovkc\n"
      "         ovk encode recordings/ --output-dir coded/ --shard 2/4 --resume");
  cmd->callback([opt, &status] {
    check_folder_batch_usage(opt->recordings, opt->output, opt->folder);
    if (opt->folder.output_dir.empty()) {
      opt->recording = opt->recordings.front();
      status = encode_one_recording(*opt);
      return;
    }
    const auto encode_one = [&opt](const std::string& input, const std::string& output) {
      EncodeOptions one = *opt;
      one.recording = input;
      one.output = output;
      return encode_one_recording(one) == kExitOk;
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
  bool force = false;
};

void print_summary(const std::string& path, const CheckedFile& checked) {
  const CodeFile& f = checked.file;
  const Geometry& g = f.geometry;
  const Survey& s = checked.survey;
  std::uint64_t bytes = 0;
  for (const codefile::FrameEntry& e : f.frames) bytes += e.code.size();
  std::printf("%s\n", escape_for_terminal(path).c_str());
  std::printf("  frames:   %zu\n", f.frames.size());
  std::printf("  boxes:    %llu\n", static_cast<unsigned long long>(s.boxes));
  std::printf("  events:   %llu, %u..%u us\n", static_cast<unsigned long long>(f.event_count),
              f.tmin, f.tmax);
  std::printf(
      "  geometry: %ux%u sensor, %u time bins, depth %u; padded %llux%llux%llu, leaf box "
      "%llux%llux%llu\n",
      unsigned{g.width}, unsigned{g.height}, unsigned{g.time_bins}, unsigned{g.depth},
      static_cast<unsigned long long>(next_power_of_two(g.width)),
      static_cast<unsigned long long>(next_power_of_two(g.height)),
      static_cast<unsigned long long>(next_power_of_two(g.time_bins)),
      static_cast<unsigned long long>(s.dx), static_cast<unsigned long long>(s.dy),
      static_cast<unsigned long long>(s.dt));
  std::printf("  code:     %llu bytes, %llu tree bits\n", static_cast<unsigned long long>(bytes),
              static_cast<unsigned long long>(total_bits(f)));
}

// The box table written a frame at a time through a buffer of about
// kFlushBytes, so memory stays one frame's tree whatever the table's size.
Status write_box_table(const CheckedFile& checked, bool csv, OutputFile& out) {
  constexpr std::size_t kFlushBytes = std::size_t{1} << 20;
  const CodeFile& file = checked.file;
  const std::string head =
      csv ? codefile::cells_csv_heading() : codefile::cells_npy_header(checked.survey.boxes);
  std::vector<std::uint8_t> buffer(head.begin(), head.end());
  Status written = Ok{};
  const auto flush = [&] {
    if (written.ok()) written = out.write(buffer);
    buffer.clear();
  };
  codefile::FrameDecoder decoder(file);
  codefile::CellRowMaker maker(file);
  for (std::size_t k = 0; !decoder.done() && written.ok(); ++k) {
    OVK_ASSIGN_OR_RETURN(const LeafBoxes boxes, decoder.next());
    maker.frame_rows(k, boxes, [&](const codefile::CellRow& row) {
      if (csv) {
        codefile::append_csv_row(row, buffer);
      } else {
        codefile::append_npy_row(row, buffer);
      }
      if (buffer.size() >= kFlushBytes) flush();
    });
  }
  flush();
  OVK_RETURN_IF_ERROR(written);
  return out.commit();
}

int run_decode(const DecodeOptions& opt) {
  const OutputPolicy policy{.force = opt.force, .inputs = {opt.input}};
  if (!opt.output.empty()) {
    if (const Status usable = check_output(opt.output, policy); !usable.ok()) {
      print_failure(opt.output, usable.error().message());
      return kExitFailure;
    }
  }
  const std::optional<CheckedFile> checked = read_code_file(opt.input);
  if (!checked) return kExitFailure;
  if (opt.output.empty()) {
    print_summary(opt.input, *checked);
    return kExitOk;
  }
  if (::isatty(STDERR_FILENO) == 1) {
    std::fprintf(stderr, "%s: writing %llu boxes to %s\n", escape_for_terminal(opt.input).c_str(),
                 static_cast<unsigned long long>(checked->survey.boxes),
                 escape_for_terminal(opt.output).c_str());
  }
  const Status written = [&]() -> Status {
    OVK_ASSIGN_OR_RETURN(OutputFile out, OutputFile::open(opt.output, policy));
    return catching_out_of_memory([&] {
      return write_box_table(*checked, io::file_extension(opt.output) == "csv", out);
    });
  }();
  if (written.ok()) return kExitOk;
  print_failure(opt.output, written.error().message());
  return kExitFailure;
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
  add_force_option(*cmd, opt->force);
  cmd->callback([opt, &status] { status = run_decode(*opt); });
}

// ---- check ----

struct CheckOptions {
  std::string input;
  std::string recording;
  ReaderChoice reader = ReaderChoice::kAuto;
};

int run_check(const CheckOptions& opt) {
  if (is_lossless_file(opt.input)) return check_lossless(opt.input, opt.recording, opt.reader);
  const std::optional<CheckedFile> checked = read_code_file(opt.input);
  if (!checked) return kExitFailure;
  const std::optional<Recording> recording =
      value_or_report(read_recording(opt.recording, opt.reader), opt.recording);
  if (!recording) return kExitFailure;
  const CodeFile& file = checked->file;
  const std::optional<codefile::Comparison> compared = value_or_report(
      codefile::compare_frame_by_frame(file, recording->events), opt.recording);
  if (!compared) return kExitFailure;
  const std::string input = escape_for_terminal(opt.input);
  const std::string recording_name = escape_for_terminal(opt.recording);
  if (!compared->difference.empty()) {
    std::printf("%s: differs from %s: %s\n", input.c_str(), recording_name.c_str(),
                compared->difference.c_str());
    return kExitFailure;
  }
  std::printf("%s: identical to %s (%zu %s, %llu boxes)\n", input.c_str(), recording_name.c_str(),
              file.frames.size(), plural(file.frames.size(), "frame", "frames"),
              static_cast<unsigned long long>(compared->boxes));
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
