#include "cli/lossless_commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "cli/commands.h"
#include "cli/output_file.h"
#include "cli/text_escape.h"
#include "cli/time_window.h"
#include "codefile/code_file.h"
#include "io/file_access.h"
#include "io/formats/h5_writer.h"
#include "io/recording_readers.h"
#include "lossless/lossless_file.h"

namespace ovk::cli {
namespace {

using lossless::FileSummary;
using lossless::LosslessReader;

// Only a regular file is looked at: opening a FIFO would take its writer's
// data from the reader that comes next.
bool starts_with(const std::string& path, std::span<const std::uint8_t> magic) {
  struct stat named{};
  if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &named) != 0 ||
      !S_ISREG(named.st_mode)) {
    return false;
  }
  Result<io::FileHandle> file = io::open_for_reading(path);
  if (!file.ok()) return false;
  std::array<std::uint8_t, 4> head{};
  std::size_t have = 0;
  while (have < head.size()) {
    const Result<std::size_t> n = io::read_some(file.value(), std::span(head).subspan(have));
    if (!n.ok() || n.value() == 0) return false;
    have += n.value();
  }
  return std::equal(magic.begin(), magic.end(), head.begin());
}

unsigned jobs_or_cores(unsigned jobs) {
  return jobs != 0 ? jobs : std::max(1U, std::thread::hardware_concurrency());
}

// The events to code, a block at a time, and the sensor the file states.
struct OpenedInput {
  std::unique_ptr<io::EventSource> source;
  io::SensorGeometry sensor;
};

Result<OpenedInput> open_input(const LosslessEncodeRequest& request) {
  io::SensorGeometry given;
  if (request.sensor) given = {request.sensor->width, request.sensor->height};
  // Streamed with the reader's 64-bit timestamps; the sensor is the one
  // given or the one the file states (0x0, "not stated", otherwise).
  OVK_ASSIGN_OR_RETURN(io::OpenedRecording opened, open_recording(request.input, request.reader));
  if (!request.sensor) given = opened.source->declared_sensor().value_or(io::SensorGeometry{});
  return OpenedInput{std::move(opened.source), given};
}

// ---- writing decoded events ----

constexpr std::size_t kNpyHeaderBytes = 128;

// A .npy header for `count` events with a 64-bit t, always kNpyHeaderBytes
// long, so that it can be written before the count is known and again after.
std::string npy64_header(std::uint64_t count) {
  std::string dict = "{'descr': [('x', '<u2'), ('y', '<u2'), ('t', '<u8'), ('p', '|u1')], "
                     "'fortran_order': False, 'shape': (" + std::to_string(count) + ",), }";
  std::string header("\x93NUMPY\x01\x00", 8);
  const std::size_t length = kNpyHeaderBytes - 10;
  header.push_back(static_cast<char>(length & 0xFF));
  header.push_back(static_cast<char>(length >> 8));
  dict.resize(length - 1, ' ');
  return header + dict + "\n";
}

enum class OutputKind { kNpy, kEvb, kCsv, kH5 };

OutputKind output_kind(const std::string& path) {
  const std::optional<std::string_view> ext = io::file_extension(path);
  return ext == "npy" ? OutputKind::kNpy
         : ext == "csv" ? OutputKind::kCsv
         : ext == "h5"  ? OutputKind::kH5
                        : OutputKind::kEvb;
}

// Decoded events into an output file: .npy (x u2, y u2, t u8, p u1), .evb
// records, .csv lines or a DSEC .h5 file. A .npy states its length first:
// in a regular file its header is written again at the end, in a special
// file (a FIFO, a device) the count must be known before the first event.
class EventFileWriter {
 public:
  static Result<EventFileWriter> create(OutputFile out, OutputKind kind, io::SensorGeometry sensor,
                                        std::uint64_t count_in_place) {
    std::optional<io::DsecH5Writer> h5;
    if (kind == OutputKind::kH5) {
      if (out.in_place()) {  // HDF5 seeks throughout its file
        return Error(ErrorKind::kInvalidInput, "an .h5 output must be a regular file");
      }
      OVK_ASSIGN_OR_RETURN(io::DsecH5Writer created, io::DsecH5Writer::create(out.temporary_path(), sensor));
      h5.emplace(std::move(created));
    }
    EventFileWriter writer(std::move(out), kind, std::move(h5));
    if (kind == OutputKind::kNpy) {
      OVK_RETURN_IF_ERROR(writer.put(npy64_header(writer.out_.in_place() ? count_in_place : 0)));
    }
    if (kind == OutputKind::kCsv) OVK_RETURN_IF_ERROR(writer.put("x,y,t,p\n"));
    return writer;
  }

  Status write(const Event64Vec& events) {
    if (h5_) return h5_->append(events);
    for (const Event64& e : events) {
      if (kind_ == OutputKind::kCsv) {
        put_number(e.x, ',');
        put_number(e.y, ',');
        put_number(e.t, ',');
        put_number(e.p, '\n');
      } else {
        if (kind_ == OutputKind::kEvb && e.t > std::numeric_limits<std::uint32_t>::max()) {
          return Error(ErrorKind::kInvalidInput,
                       "timestamp " + std::to_string(e.t) +
                           " does not fit the 32 bits of .evb records (write .npy or .csv)");
        }
        const unsigned t_bytes = kind_ == OutputKind::kNpy ? 8 : 4;
        put_le(e.x, 2);
        put_le(e.y, 2);
        put_le(e.t, t_bytes);
        buffer_.push_back(e.p);
      }
      ++count_;
      if (buffer_.size() >= (1U << 20)) OVK_RETURN_IF_ERROR(drain());
    }
    return Ok{};
  }

  Status finish() {
    if (h5_) OVK_RETURN_IF_ERROR(h5_->finish());
    OVK_RETURN_IF_ERROR(drain());
    if (kind_ == OutputKind::kNpy && !out_.in_place()) {
      const std::string header = npy64_header(count_);
      if (::pwrite(out_.fd(), header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) {
        return io::os_error(errno);
      }
    }
    return out_.commit();
  }

 private:
  EventFileWriter(OutputFile out, OutputKind kind, std::optional<io::DsecH5Writer> h5)
      : out_(std::move(out)), kind_(kind), h5_(std::move(h5)) {}
  void put_number(std::uint64_t v, char end) {
    std::array<char, 24> text{};
    const std::to_chars_result r = std::to_chars(text.data(), text.data() + text.size(), v);
    buffer_.insert(buffer_.end(), text.data(), r.ptr);
    buffer_.push_back(static_cast<std::uint8_t>(end));
  }
  void put_le(std::uint64_t v, unsigned bytes) {
    for (unsigned i = 0; i < bytes; ++i) buffer_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  Status put(std::string_view text) {
    buffer_.insert(buffer_.end(), text.begin(), text.end());
    return drain();
  }
  Status drain() {
    const Status s = out_.write(buffer_);
    buffer_.clear();
    return s;
  }

  OutputFile out_;
  OutputKind kind_;
  std::optional<io::DsecH5Writer> h5_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t count_ = 0;
};

std::string event_text(const Event64& e) {
  return std::to_string(e.x) + "," + std::to_string(e.y) + "," + std::to_string(e.t) + "," +
         std::to_string(e.p);
}

std::vector<std::size_t> every_chunk(const FileSummary& summary) {
  std::vector<std::size_t> all(summary.chunks.size());
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
  return all;
}

}  // namespace

namespace {

std::uint64_t ns_since(std::chrono::steady_clock::time_point start) {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now() - start)
                                        .count());
}

}  // namespace

LosslessMeasurer::LosslessMeasurer()
    : encoder_([](std::span<const std::uint8_t>) -> Status { return Ok{}; }, {}, 1) {}

Status LosslessMeasurer::add(EventSpan events) {
  wide_.resize(events.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    wide_[i] = {events[i].x, events[i].y, events[i].t, events[i].p};
  }
  const auto start = std::chrono::steady_clock::now();
  OVK_RETURN_IF_ERROR(encoder_.append(wide_));
  ns_ += ns_since(start);
  return Ok{};
}

Result<LosslessMeasure> LosslessMeasurer::finish() {
  const auto start = std::chrono::steady_clock::now();
  OVK_RETURN_IF_ERROR(encoder_.finish());
  ns_ += ns_since(start);
  return LosslessMeasure{encoder_.bytes_written(), ns_ / 1000};
}

bool is_lossless_file(const std::string& path) { return starts_with(path, lossless::kLosslessMagic); }

bool refuse_unseekable_code_file(const std::string& path) {
  struct stat named{};
  if (io::file_extension(path) != "ovkc" || path.find('\0') != std::string::npos ||
      ::stat(path.c_str(), &named) != 0 || S_ISREG(named.st_mode) || S_ISDIR(named.st_mode)) {
    return false;
  }
  print_failure(path, "a .ovkc file is read by position: give a regular file, not a FIFO or device");
  return true;
}
bool is_occupancy_file(const std::string& path) { return starts_with(path, codefile::kMagic); }

bool lossless_encode(const LosslessEncodeRequest& request) {
  std::optional<OpenedInput> input = value_or_report(open_input(request), request.input);
  if (!input) return false;
  std::optional<OutputFile> out =
      value_or_report(OutputFile::open(request.output, request.policy), request.output);
  if (!out) return false;
  std::optional<Error> output_error;
  lossless::ByteSink sink = [&](std::span<const std::uint8_t> bytes) -> Status {
    Status s = out->write(bytes);
    if (!s.ok()) output_error.emplace(s.error());
    return s;
  };
  Result<FileSummary> coded = lossless::encode_source(
      *input->source, std::move(sink), input->sensor, jobs_or_cores(request.jobs),
      request.chunk_events != 0 ? request.chunk_events : lossless::kDefaultChunkEvents,
      request.smallest ? lossless::kSmallestLosslessVersion : lossless::kLosslessVersion);
  if (!coded.ok()) {
    print_failure(output_error ? request.output : request.input, coded.error().message());
    return false;
  }
  const Status committed = out->commit();
  if (!committed.ok()) {
    print_failure(request.output, committed.error().message());
    return false;
  }
  const FileSummary& summary = coded.value();
  const double bits = summary.events == 0 ? 0.0 : 8.0 * static_cast<double>(summary.file_bytes) /
                                                      static_cast<double>(summary.events);
  std::printf("%s: lossless, %" PRIu64 " events, %" PRIu64 " bytes, %.3f bits/event\n",
              escape_for_terminal(request.output).c_str(), summary.events, summary.file_bytes, bits);
  return true;
}

void add_lossless_convert_options(CLI::App& command, LosslessConvertOptions& options) {
  command.add_flag("--skip-damaged", options.skip_damaged,
                   "From a lossless .ovkc file: write the intact chunks and report the damaged "
                   "ones instead of failing");
  command.add_option("--jobs", options.jobs, "Threads decoding chunks (default: every core)")
      ->check(CLI::Range(1U, 1024U))
      ->type_name("N");
}

namespace {

// The events of `chunks` within the window, handed to `use` a chunk at a
// time; a damaged chunk ends the run with its error, or with --skip-damaged
// is left out (and said, when `report`). A failure of `use` is kept in
// `*use_error` as well, so the caller can tell it from a damaged chunk.
Status decode_selected(const LosslessReader& reader, std::span<const std::size_t> chunks,
                       const std::string& input, const std::optional<AbsoluteWindow>& window,
                       const LosslessConvertOptions& options, bool report,
                       const std::function<Status(const Event64Vec&)>& use,
                       std::optional<Error>* use_error) {
  const FileSummary& summary = reader.summary();
  Event64Vec kept;
  return lossless::decode_chunks(
      reader, chunks, jobs_or_cores(options.jobs),
      {[&](std::size_t, const Event64Vec& events) -> Status {
         const Event64Vec* block = &events;
         if (window) {
           kept.clear();
           for (const Event64& e : events) {
             if (window->contains(e.t)) kept.push_back(e);
           }
           block = &kept;
         }
         Status s = use(*block);
         if (!s.ok() && use_error != nullptr) use_error->emplace(s.error());
         return s;
       },
       [&](std::size_t index, const Error& error) {
         if (!options.skip_damaged) return false;
         if (report) {
           print_failure(input, error.message() + "; skipped its " +
                                    std::to_string(summary.chunks[index].events) + " events");
         }
         return true;
       }});
}

}  // namespace

bool lossless_convert(const std::string& input, const std::string& output,
                      const OutputPolicy& policy, const LosslessConvertOptions& options) {
  std::optional<LosslessReader> reader = value_or_report(LosslessReader::open(input), input);
  if (!reader) return false;
  const FileSummary& summary = reader->summary();
  std::vector<std::size_t> chunks = every_chunk(summary);
  std::optional<AbsoluteWindow> window;
  if (options.window) {
    const std::uint64_t start = summary.chunks.empty() ? 0 : summary.chunks.front().t_first;
    window = resolve_time_window(*options.window, start);
    chunks = lossless::chunks_in_window(summary, window->first, window->last);
  }
  std::optional<OutputFile> out = value_or_report(OutputFile::open(output, policy), output);
  if (!out) return false;
  const OutputKind kind = output_kind(output);
  // A .npy written in place needs its count first: the table's, or that of
  // a first pass when a window or skipped chunks leave events out.
  std::uint64_t count = summary.events;
  if (kind == OutputKind::kNpy && out->in_place() && (window || options.skip_damaged)) {
    count = 0;
    const Status counted = decode_selected(
        *reader, chunks, input, window, options, false,
        [&count](const Event64Vec& events) -> Status {
          count += events.size();
          return Ok{};
        },
        nullptr);
    if (!counted.ok()) {
      print_failure(input, counted.error().message());
      return false;
    }
  }
  std::optional<EventFileWriter> writer = value_or_report(
      EventFileWriter::create(std::move(*out), kind, summary.sensor, count), output);
  if (!writer) return false;
  std::optional<Error> output_error;
  const Status decoded = decode_selected(
      *reader, chunks, input, window, options, true,
      [&writer](const Event64Vec& events) { return writer->write(events); }, &output_error);
  if (!decoded.ok()) {
    print_failure(output_error ? output : input, decoded.error().message());
    return false;
  }
  const Status finished = writer->finish();
  if (!finished.ok()) {
    print_failure(output, finished.error().message());
    return false;
  }
  return true;
}

bool describe_code_file(const std::string& path) {
  if (is_lossless_file(path)) {
    std::optional<LosslessReader> reader = value_or_report(LosslessReader::open(path), path);
    if (!reader) return false;
    const FileSummary& s = reader->summary();
    std::printf("%s\n", path.c_str());
    const char* code = s.version == lossless::kLosslessVersion            ? "fast"
                       : s.version == lossless::kSmallestLosslessVersion ? "smallest"
                       : s.version == 2                                  ? "earlier smallest"
                                                                         : "first";
    std::printf("  kind      lossless code (every event exact), version %u (%s code)\n",
                unsigned{s.version}, code);
    std::printf("  events    %" PRIu64 "\n", s.events);
    std::printf("  chunks    %zu of up to %u events\n", s.chunks.size(), s.chunk_events);
    if (s.chunks.empty()) {
      std::printf("  t         -\n");
    } else {
      std::uint64_t lo = s.chunks.front().t_min;
      std::uint64_t hi = s.chunks.front().t_max;
      for (const lossless::ChunkEntry& c : s.chunks) {
        lo = std::min(lo, c.t_min);
        hi = std::max(hi, c.t_max);
      }
      std::printf("  t         %" PRIu64 "..%" PRIu64 " us\n", lo, hi);
    }
    if (s.sensor.width == 0 && s.sensor.height == 0) {
      std::printf("  sensor    not stated\n");
    } else {
      std::printf("  sensor    %ux%u\n", unsigned{s.sensor.width}, unsigned{s.sensor.height});
    }
    std::printf("  bytes     %" PRIu64 " (%.3f bits/event)\n", s.file_bytes,
                s.events == 0 ? 0.0 : 8.0 * static_cast<double>(s.file_bytes) / static_cast<double>(s.events));
    return true;
  }
  const std::optional<std::vector<std::uint8_t>> bytes = value_or_report(io::read_whole_file(path), path);
  if (!bytes) return false;
  const std::optional<codefile::CodeFile> file = value_or_report(codefile::parse_code_file(*bytes), path);
  if (!file) return false;
  const codefile::Geometry& g = file->geometry;
  std::printf("%s\n", path.c_str());
  std::printf("  kind      occupancy code (lossy: occupied cells only)\n");
  std::printf("  events    %" PRIu64 "\n", file->event_count);
  std::printf("  frames    %zu\n", file->frames.size());
  std::printf("  t         %u..%u us\n", file->tmin, file->tmax);
  std::printf("  geometry  %ux%u sensor, %u time bins, depth %u\n", unsigned{g.width},
              unsigned{g.height}, unsigned{g.time_bins}, unsigned{g.depth});
  std::printf("  bytes     %zu\n", bytes->size());
  return true;
}

int check_lossless(const std::string& file, const std::string& recording, ReaderChoice reader_choice) {
  std::optional<LosslessReader> reader = value_or_report(LosslessReader::open(file), file);
  if (!reader) return kExitFailure;
  LosslessEncodeRequest request;
  request.input = recording;
  request.reader = reader_choice;
  std::optional<OpenedInput> input = value_or_report(open_input(request), recording);
  if (!input) return kExitFailure;
  Event64Vec block;
  std::size_t used = 0;
  std::uint64_t index = 0;
  std::string difference;
  const Status decoded = lossless::decode_chunks(
      *reader, every_chunk(reader->summary()), 1,
      {[&](std::size_t, const Event64Vec& events) -> Status {
         for (const Event64& e : events) {
           if (used == block.size()) {
             OVK_RETURN_IF_ERROR(input->source->next_block(block));
             used = 0;
             if (block.empty()) {
               difference = "the recording ends after " + std::to_string(index) + " events";
               return Error(ErrorKind::kInvalidData, difference);
             }
           }
           if (!(block[used] == e)) {
             difference = "event " + std::to_string(index) + " is " + event_text(e) +
                          " in the file, " + event_text(block[used]) + " in the recording";
             return Error(ErrorKind::kInvalidData, difference);
           }
           ++used;
           ++index;
         }
         return Ok{};
       },
       {}});
  if (decoded.ok() && used == block.size()) {
    const Status more = input->source->next_block(block);
    if (!more.ok()) {
      print_failure(recording, more.error().message());
      return kExitFailure;
    }
    if (!block.empty()) difference = "the file ends after " + std::to_string(index) + " events";
  }
  if (!difference.empty()) {
    std::printf("%s: differs from %s: %s\n", file.c_str(), recording.c_str(), difference.c_str());
    return kExitFailure;
  }
  if (!decoded.ok()) {
    print_failure(file, decoded.error().message());
    return kExitFailure;
  }
  std::printf("%s: identical to %s (%" PRIu64 " events, lossless)\n", file.c_str(), recording.c_str(),
              index);
  return kExitOk;
}

}  // namespace ovk::cli
