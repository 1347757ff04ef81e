// `ovk convert PATH -o OUT.npy|OUT.evb|OUT.csv`: rewrites one recording as a
// NumPy structured array, compact records or CSV text, a block at a time, so
// memory does not grow with the recording. The output appears whole or not
// at all (written to a temporary file, then renamed).
//
// The .npy array keeps the compact layout (x u2, y u2, t u4, p u1) when every
// timestamp fits 32 bits, and takes a 64-bit t ('<u8') when one does not: the
// conversion starts with the 32-bit layout and, on meeting such a timestamp,
// starts again with the wider one (so only those recordings are read twice).
// Its header is written last, over room kept for the largest count.
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <charconv>
#include <cstring>
#include <cinttypes>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/lossless_commands.h"
#include "cli/output_file.h"
#include "cli/prefetch_source.h"
#include "cli/window_filter.h"
#include "cli/folder_batch.h"
#include "io/file_access.h"
#include "io/file_write.h"
#include "io/formats/h5_writer.h"
#include "io/npy_header.h"
#include "io/recording_readers.h"

namespace ovk::cli {
namespace {

struct ConvertOptions {
  std::string input;
  std::string output;
  ReaderChoice reader = ReaderChoice::kAuto;
  bool force = false;
  OutputPolicy policy() const { return OutputPolicy{.force = force, .inputs = {input}}; }
  LosslessConvertOptions lossless;
  std::vector<std::string> inputs;  // PATH...: one recording, or the folder mode's
  FolderBatchOptions folder;
  std::string to = "npy";  // the folder mode's output extension
};

enum class Output : std::uint8_t { kNpy, kEvb, kCsv, kH5 };

constexpr std::uint64_t kLargest32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::string_view kNarrowDescr = "[('x', '<u2'), ('y', '<u2'), ('t', '<u4'), ('p', '|u1')]";
constexpr std::string_view kWideDescr = "[('x', '<u2'), ('y', '<u2'), ('t', '<u8'), ('p', '|u1')]";

// The .npy header for `count` records, padded with spaces to `length` bytes
// (at least its natural length, a multiple of 64).
std::string npy_header_of_length(bool wide, std::uint64_t count, std::size_t length) {
  const std::uint64_t shape[] = {count};
  std::string header = io::npy_header(wide ? kWideDescr : kNarrowDescr, shape);
  if (header.size() < length) {
    header.insert(header.size() - 1, length - header.size(), ' ');
    const std::size_t body = header.size() - 10;
    header[8] = static_cast<char>(body & 0xFF);
    header[9] = static_cast<char>(body >> 8);
  }
  return header;
}

std::size_t npy_header_room(bool wide) {
  const std::uint64_t shape[] = {std::numeric_limits<std::uint64_t>::max()};
  return io::npy_header(wide ? kWideDescr : kNarrowDescr, shape).size();
}

// Records of x u2, y u2, t u4 or u8, p u1, little-endian.
template <typename Time>
void encode_records_as(const Event64Vec& block, std::vector<std::uint8_t>& out) {
  constexpr std::size_t kRecord = 5 + sizeof(Time);
  out.resize(block.size() * kRecord);
  std::uint8_t* p = out.data();
  for (const Event64& e : block) {
    if constexpr (std::endian::native == std::endian::little) {
      const auto t = static_cast<Time>(e.t);
      std::memcpy(p, &e.x, 2);
      std::memcpy(p + 2, &e.y, 2);
      std::memcpy(p + 4, &t, sizeof t);
    } else {
      const std::uint64_t fields[] = {e.x, e.y};
      for (int i = 0; i < 2; ++i) {
        p[2 * i] = static_cast<std::uint8_t>(fields[i]);
        p[2 * i + 1] = static_cast<std::uint8_t>(fields[i] >> 8);
      }
      for (std::size_t i = 0; i < sizeof(Time); ++i) p[4 + i] = static_cast<std::uint8_t>(e.t >> (8 * i));
    }
    p[4 + sizeof(Time)] = e.p;
    p += kRecord;
  }
}

void encode_records(const Event64Vec& block, bool wide, std::vector<std::uint8_t>& out) {
  if (wide) {
    encode_records_as<std::uint64_t>(block, out);
  } else {
    encode_records_as<std::uint32_t>(block, out);
  }
}

void encode_csv_lines(const Event64Vec& block, std::vector<std::uint8_t>& out) {
  constexpr std::size_t kLongestLine = 5 + 1 + 5 + 1 + 20 + 1 + 3 + 1;
  out.resize(block.size() * kLongestLine);
  char* const begin = reinterpret_cast<char*>(out.data());
  char* pos = begin;
  for (const Event64& e : block) {
    pos = std::to_chars(pos, pos + 5, e.x).ptr;
    *pos++ = ',';
    pos = std::to_chars(pos, pos + 5, e.y).ptr;
    *pos++ = ',';
    pos = std::to_chars(pos, pos + 20, e.t).ptr;
    *pos++ = ',';
    pos = std::to_chars(pos, pos + 3, e.p).ptr;
    *pos++ = '\n';
  }
  out.resize(static_cast<std::size_t>(pos - begin));
}

Status write_text(OutputFile& out, std::string_view text) {
  return out.write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

Status write_at_start(OutputFile& out, std::string_view header) {
  std::size_t done = 0;
  while (done < header.size()) {
    const ssize_t n = ::pwrite(out.fd(), header.data() + done, header.size() - done,
                               static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return io::os_error(errno);
    done += static_cast<std::size_t>(n);
  }
  return Ok{};
}

// How one attempt ended.
enum class Attempt : std::uint8_t { kWritten, kFailed, kNeedsWideTime };

struct Converter {
  const ConvertOptions& options;
  Output kind;
  bool wide;
  // A pipe's events, read once before a .npy is written (its header needs
  // the count and the width of t); null for a regular file.
  const EventSpool* spool = nullptr;

  // The spool holds only the window's events.
  std::optional<TimeWindow> window() const {
    return spool != nullptr ? std::nullopt : options.reader.window;
  }

  // The input, decoded a thread ahead of the writing; not for an .h5
  // output, since the HDF5 library must not be entered from two threads at
  // once and the input may be HDF5 too.
  Result<io::SourcePtr> open_input() const {
    io::SourcePtr source;
    if (spool != nullptr) {
      source = spool->source();
    } else {
      OVK_ASSIGN_OR_RETURN(io::OpenedRecording opened,
                           open_recording(options.input, options.reader));
      source = std::move(opened.source);
    }
    return kind == Output::kH5 ? std::move(source) : read_ahead(std::move(source));
  }

  Attempt fail(const std::string& path, const Error& error) const {
    print_failure(path, error.message());
    return Attempt::kFailed;
  }

  Attempt run() const {
    Result<io::SourcePtr> opened = open_input();
    if (!opened.ok()) return fail(options.input, opened.error());
    Result<OutputFile> writer = OutputFile::open(options.output, options.policy());
    if (!writer.ok()) return fail(options.output, writer.error());
    OutputFile& out = writer.value();
    if (kind == Output::kH5 && out.in_place()) {  // HDF5 seeks throughout its file
      return fail(options.output,
                  Error(ErrorKind::kInvalidInput, "an .h5 output must be a regular file"));
    }
    if (kind == Output::kNpy && out.in_place()) return write_npy_in_place(out);
    if (kind == Output::kH5) return write_h5(*opened.value(), out);
    const std::size_t room = npy_header_room(wide);
    Status started = Ok{};
    if (kind == Output::kNpy) started = write_text(out, std::string(room, ' '));
    if (kind == Output::kCsv) started = write_text(out, "x,y,t,p\n");
    if (!started.ok()) return fail(options.output, started.error());
    WindowFilter filter(window());
    Event64Vec block;
    std::vector<std::uint8_t> bytes;
    std::uint64_t count = 0;
    for (;;) {
      const Status read = opened.value()->next_block(block);
      if (!read.ok()) return fail(options.input, read.error());
      if (block.empty()) break;
      filter.apply(block);
      if (kind != Output::kCsv && !wide) {
        for (const Event64& e : block) {
          if (e.t <= kLargest32) continue;
          if (kind == Output::kNpy) return Attempt::kNeedsWideTime;
          return fail(options.input, too_wide_error(e.t));
        }
      }
      const Status encoded = catching_out_of_memory([&]() -> Status {
        if (kind == Output::kCsv) {
          encode_csv_lines(block, bytes);
        } else {
          encode_records(block, wide, bytes);
        }
        return Ok{};
      });
      if (!encoded.ok()) return fail(options.input, encoded.error());
      const Status written = out.write(bytes);
      if (!written.ok()) return fail(options.output, written.error());
      count += block.size();
    }
    if (kind == Output::kNpy) {
      const Status header = write_at_start(out, npy_header_of_length(wide, count, room));
      if (!header.ok()) return fail(options.output, header.error());
    }
    const Status committed = out.commit();
    if (!committed.ok()) return fail(options.output, committed.error());
    return Attempt::kWritten;
  }

  // A .npy written in place (a FIFO, a device) cannot have its header
  // rewritten at the end, so a first pass counts the events and sees
  // whether t needs 64 bits.
  Attempt write_npy_in_place(OutputFile& out) const {
    std::uint64_t count = 0;
    bool needs_wide = false;
    const auto counted = for_each_block([&](const Event64Vec& block) -> Status {
      count += block.size();
      for (const Event64& e : block) needs_wide = needs_wide || e.t > kLargest32;
      return Ok{};
    });
    if (counted != Attempt::kWritten) return counted;
    const Status header = write_text(out, npy_header_of_length(needs_wide, count, 0));
    if (!header.ok()) return fail(options.output, header.error());
    std::vector<std::uint8_t> bytes;
    Status written = Ok{};
    const auto copied = for_each_block([&](const Event64Vec& block) -> Status {
      OVK_RETURN_IF_ERROR(catching_out_of_memory([&]() -> Status {
        encode_records(block, needs_wide, bytes);
        return Ok{};
      }));
      written = out.write(bytes);
      return Ok{};
    }, &written);
    if (copied != Attempt::kWritten) return copied;
    const Status committed = out.commit();
    if (!committed.ok()) return fail(options.output, committed.error());
    return Attempt::kWritten;
  }

  // Reads the input once, a window-filtered block at a time, into `use`;
  // a failed read or use is reported against the input, a failed write
  // (left in `*write_status`) against the output.
  template <class Use>
  Attempt for_each_block(Use&& use, const Status* write_status = nullptr) const {
    Result<io::SourcePtr> opened = open_input();
    if (!opened.ok()) return fail(options.input, opened.error());
    WindowFilter filter(window());
    Event64Vec block;
    for (;;) {
      const Status read = opened.value()->next_block(block);
      if (!read.ok()) return fail(options.input, read.error());
      if (block.empty()) return Attempt::kWritten;
      filter.apply(block);
      const Status used = use(block);
      if (!used.ok()) return fail(options.input, used.error());
      if (write_status != nullptr && !write_status->ok()) {
        return fail(options.output, write_status->error());
      }
    }
  }

  // HDF5 writes the temporary file through a handle of its own; the output
  // then puts it in place. The sensor size the recording states goes into the
  // file's attributes; without one, readers take it from the events.
  Attempt write_h5(io::EventSource& source, OutputFile& out) const {
    const io::SensorGeometry sensor = source.declared_sensor().value_or(io::SensorGeometry{});
    Result<io::DsecH5Writer> created = io::DsecH5Writer::create(out.temporary_path(), sensor);
    if (!created.ok()) return fail(options.output, created.error());
    io::DsecH5Writer& h5 = created.value();
    WindowFilter filter(window());
    Event64Vec block;
    for (;;) {
      const Status read = source.next_block(block);
      if (!read.ok()) return fail(options.input, read.error());
      if (block.empty()) break;
      filter.apply(block);
      const Status written = h5.append(block);
      if (!written.ok()) return fail(options.output, written.error());
    }
    const Status finished = h5.finish();
    if (!finished.ok()) return fail(options.output, finished.error());
    const Status committed = out.commit();
    if (!committed.ok()) return fail(options.output, committed.error());
    return Attempt::kWritten;
  }

  static Error too_wide_error(std::uint64_t t) {
    return Error(ErrorKind::kInvalidInput,
                 "timestamp " + std::to_string(t) +
                     " does not fit the 32 bits of compact records; write .npy or .csv, or pick "
                     "a part with --time-window");
  }
};

bool convert(const ConvertOptions& options) {
  if (refuse_unseekable_code_file(options.input)) return false;
  if (is_lossless_file(options.input)) {
    if (const Status usable = check_output(options.output, options.policy()); !usable.ok()) {
      print_failure(options.output, usable.error().message());
      return false;
    }
    LosslessConvertOptions lossless = options.lossless;
    lossless.window = options.reader.window;
    return lossless_convert(options.input, options.output, options.policy(), lossless);
  }
  const std::optional<std::string_view> extension = io::file_extension(options.output);
  const Output kind = extension == "npy" ? Output::kNpy
                      : extension == "csv" ? Output::kCsv
                      : extension == "h5"  ? Output::kH5
                                           : Output::kEvb;
  // A .npy states its length and t's width before its records: a recording
  // that cannot be read twice (a pipe) is spooled first.
  std::optional<SpooledRecording> spool;
  if (kind == Output::kNpy && !is_regular_file(options.input)) {
    // Refused outputs are said before the whole pipe is read.
    if (const Status usable = check_output(options.output, options.policy()); !usable.ok()) {
      print_failure(options.output, usable.error().message());
      return false;
    }
    Result<SpooledRecording> spooled = spool_recording(options.input, options.reader);
    if (!spooled.ok()) {
      print_failure(options.input, spooled.error().message());
      return false;
    }
    spool.emplace(std::move(spooled.value()));
  }
  const EventSpool* events = spool ? &spool->events : nullptr;
  Attempt attempt = Converter{options, kind, false, events}.run();
  if (attempt == Attempt::kNeedsWideTime) attempt = Converter{options, kind, true, events}.run();
  return attempt == Attempt::kWritten;
}

}  // namespace

void add_convert_command(CLI::App& app, int& status) {
  auto options = std::make_shared<ConvertOptions>();
  CLI::App* command = app.add_subcommand(
      "convert",
      "Write a recording as .npy (x u2, y u2, t u4 or u8, p u1), .evb (compact), .csv or .h5 "
      "(DSEC layout)");
  command->add_option("path", options->inputs,
                      "The recording to read (folder mode: recordings or folders)")
      ->required()
      ->type_name("PATH");
  command->add_option("-o,--output", options->output, "OUT.npy, OUT.evb, OUT.csv or OUT.h5")
      ->type_name("OUT")
      ->check(output_extension_check({"npy", "evb", "csv", "h5"}));
  add_reader_option(*command, options->reader);
  add_force_option(*command, options->force);
  add_lossless_convert_options(*command, options->lossless);
  add_folder_batch_options(*command, options->folder);
  command->add_option("--to", options->to, "With --output-dir: the outputs' format")
      ->check(CLI::IsMember({"npy", "evb", "csv", "h5"}))
      ->type_name("npy|evb|csv|h5")
      ->capture_default_str();
  command->footer(
      "Example: ovk convert 1.bs2 --reader nmnist -o 1.npy\n"
      "         ovk convert recording.ovkc --time-window 1000000:1010000 -o window.npy\n"
      "         ovk convert recordings/ --output-dir arrays/ --to npy --shard 1/4 --resume");
  command->callback([options, &status] {
    check_folder_batch_usage(options->inputs, options->output, options->folder);
    if (options->folder.output_dir.empty()) {
      options->input = options->inputs.front();
      if (!convert(*options)) status = kExitFailure;
      return;
    }
    const auto convert_one = [&options](const std::string& input, const std::string& output) {
      ConvertOptions one = *options;
      one.input = input;
      one.output = output;
      return convert(one);
    };
    if (!run_folder_batch(options->inputs, options->reader, options->folder, options->to,
                          convert_one)) {
      status = kExitFailure;
    }
  });
}

}  // namespace ovk::cli
