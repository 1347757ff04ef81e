// `ovk convert PATH -o OUT.npy|OUT.evb|OUT.csv`: rewrites one recording as a
// NumPy structured array, compact records or CSV text. The output appears
// whole or not at all (written to a temporary file, then renamed). Compact
// and N-MNIST input to .npy or .evb is streamed through fixed-size buffers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/event_encoders.h"
#include "cli/folder_batch.h"
#include "io/compact_writer.h"
#include "io/file_access.h"
#include "io/file_write.h"
#include "io/recording_readers.h"

namespace ovk::cli {
namespace {

struct ConvertOptions {
  std::string input;
  std::string output;
  ReaderChoice reader = ReaderChoice::kAuto;
  std::vector<std::string> inputs;  // PATH...: one recording, or the folder mode's
  FolderBatchOptions folder;
  std::string to = "npy";  // the folder mode's output extension
};

Result<std::vector<std::uint8_t>> encode_for(std::string_view output, EventSpan events) {
  const std::optional<std::string_view> extension = io::file_extension(output);
  if (extension == "npy") return encode_npy(events);
  if (extension == "csv") return encode_csv(events);
  return io::encode_compact(events);
}

// How a streamed conversion ended.
enum class Streamed {
  kWritten,    // the output is in place
  kFailed,     // the output could not be written; the failure was reported
  kUnsuitable  // nothing was written: the general path reads the input again
};

constexpr std::size_t kNmnistRecordBytes = 5;
// The fixed buffers of the streamed conversions hold this many records.
constexpr std::size_t kBlockRecords = std::size_t{1} << 16;

// An input opened for streaming: a regular file of whole records, so its
// size gives the count of records before any is read.
struct WholeRecords {
  io::FileHandle file;
  std::uint64_t size = 0;
};

// A FIFO or device is not opened here at all: opening a FIFO takes its
// writer, and the general path has to read what it sends.
std::optional<WholeRecords> open_whole_records(const std::string& input,
                                               std::size_t record_bytes) {
  struct stat named{};
  if (input.find('\0') != std::string::npos || ::stat(input.c_str(), &named) != 0 ||
      !S_ISREG(named.st_mode)) {
    return std::nullopt;
  }
  Result<io::FileHandle> file = io::open_for_reading(input);
  struct stat info{};
  if (!file.ok() || ::fstat(file.value().fd(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  const auto size = static_cast<std::uint64_t>(info.st_size);
  if (size % record_bytes != 0) return std::nullopt;
  return WholeRecords{std::move(file).value(), size};
}

// A buffer of `size` bytes, or nullopt when it cannot be allocated.
std::optional<std::vector<std::uint8_t>> buffer_of(std::size_t size) {
  std::vector<std::uint8_t> buffer;
  const Status made = catching_out_of_memory([&]() -> Status {
    buffer.resize(size);
    return Ok{};
  });
  if (!made.ok()) return std::nullopt;
  return buffer;
}

// Fills `buffer` from the input's position; false when reading fails or
// the file ends first.
bool read_exactly(const io::FileHandle& file, std::span<std::uint8_t> buffer) {
  while (!buffer.empty()) {
    const Result<std::size_t> n = io::read_some(file, buffer);
    if (!n.ok() || n.value() == 0) return false;
    buffer = buffer.subspan(n.value());
  }
  return true;
}

// True when the input's position is its end, so it did not grow while it
// was read.
bool at_end(const io::FileHandle& file) {
  std::uint8_t extra = 0;
  const Result<std::size_t> more = io::read_some(file, std::span(&extra, 1));
  return more.ok() && more.value() == 0;
}

// The outcome of moving the input's records to the output: true when all
// of them went and the input still had the size it had when opened; false
// when it did not or could not be read (nothing is reported, the general
// path reads it again); an error when the output could not be written.
using Moved = Result<bool>;

// Copies bytes [from, size) of the input to the output through a buffer.
Moved copy_through_buffer(const WholeRecords& input, std::uint64_t from,
                          io::AtomicFileWriter& out) {
  if (::lseek(input.file.fd(), static_cast<off_t>(from), SEEK_SET) < 0) return false;
  std::optional<std::vector<std::uint8_t>> buffer =
      buffer_of(kBlockRecords * kCompactRecordBytes);
  if (!buffer) return false;
  for (std::uint64_t done = from; done < input.size;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer->size(), input.size - done));
    const std::span<std::uint8_t> block = std::span(*buffer).first(n);
    if (!read_exactly(input.file, block)) return false;
    OVK_RETURN_IF_ERROR(out.write(block));
    done += n;
  }
  return at_end(input.file);
}

// Compact records are already the output's body: they are copied inside the
// kernel (copy_file_range), without passing through this process. Where the
// file systems cannot do that, or the copy fails, the rest goes through a
// buffer, which also tells a failed read from a failed write.
Moved copy_records(const WholeRecords& input, io::AtomicFileWriter& out) {
  std::uint64_t done = 0;
  while (done < input.size) {
    auto offset = static_cast<loff_t>(done);
    const std::uint64_t chunk = std::min<std::uint64_t>(input.size - done, std::uint64_t{1} << 30);
    const ssize_t n = ::copy_file_range(input.file.fd(), &offset, out.fd(), nullptr,
                                        static_cast<std::size_t>(chunk), 0);
    if (n == 0) return false;  // shrank meanwhile
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    done += static_cast<std::uint64_t>(n);
  }
  return copy_through_buffer(input, done, out);
}

// N-MNIST records are decoded a block at a time from a fixed read buffer
// into a fixed block of compact records, which is written out.
Moved transcode_nmnist_records(const WholeRecords& input, io::AtomicFileWriter& out) {
  std::optional<std::vector<std::uint8_t>> records = buffer_of(kBlockRecords * kNmnistRecordBytes);
  std::optional<std::vector<std::uint8_t>> block = buffer_of(kBlockRecords * kCompactRecordBytes);
  if (!records || !block) return false;
  for (std::uint64_t done = 0; done < input.size;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(records->size(), input.size - done));
    const std::span<std::uint8_t> read = std::span(*records).first(n);
    if (!read_exactly(input.file, read)) return false;
    const Result<EventVec> events = io::decode_nmnist(read);
    block->clear();
    if (!events.ok() || !io::append_compact_records(events.value(), *block).ok()) return false;
    OVK_RETURN_IF_ERROR(out.write(*block));
    done += n;
  }
  return at_end(input.file);
}

Streamed report_output_failure(const std::string& output, const Error& error) {
  print_failure(output, error.message());
  return Streamed::kFailed;
}

// Compact or N-MNIST input to .npy or .evb, streamed from the input to the
// output file without holding the recording. Any input the reader might
// reject (not a regular file of whole records, or one that changes while it
// is read) is left to the general path, which reports what the reader says.
Streamed stream_records(const ConvertOptions& options, ReaderKind reader, bool npy) {
  const bool compact = reader == ReaderKind::kCompact;
  std::optional<WholeRecords> input =
      open_whole_records(options.input, compact ? kCompactRecordBytes : kNmnistRecordBytes);
  if (!input) return Streamed::kUnsuitable;
  Result<io::AtomicFileWriter> writer = io::AtomicFileWriter::create(options.output);
  if (!writer.ok()) return report_output_failure(options.output, writer.error());
  const std::uint64_t count = input->size / (compact ? kCompactRecordBytes : kNmnistRecordBytes);
  const std::string header = npy ? npy_header(count) : std::string();
  const Status started = writer.value().write(
      std::span(reinterpret_cast<const std::uint8_t*>(header.data()), header.size()));
  if (!started.ok()) return report_output_failure(options.output, started.error());
  const Moved moved = compact ? copy_records(*input, writer.value())
                              : transcode_nmnist_records(*input, writer.value());
  if (!moved.ok()) return report_output_failure(options.output, moved.error());
  if (!moved.value()) return Streamed::kUnsuitable;  // the writer removes its file
  const Status committed = writer.value().commit();
  if (!committed.ok()) return report_output_failure(options.output, committed.error());
  return Streamed::kWritten;
}

// The output file's bytes from the recording as the reader gives it, or
// nullopt after reporting the failure against the file it concerns (the
// input for reading, the output for encoding).
std::optional<std::vector<std::uint8_t>> output_bytes(const ConvertOptions& options) {
  const std::optional<Recording> recording =
      value_or_report(read_recording(options.input, options.reader), options.input);
  if (!recording) return std::nullopt;
  return value_or_report(encode_for(options.output, recording->events), options.output);
}

bool convert(const ConvertOptions& options) {
  const std::optional<std::string_view> extension = io::file_extension(options.output);
  const std::optional<ReaderKind> reader = reader_for_path(options.input, options.reader);
  if (extension != "csv" && (reader == ReaderKind::kCompact || reader == ReaderKind::kNmnist)) {
    const Streamed streamed = stream_records(options, *reader, extension == "npy");
    if (streamed != Streamed::kUnsuitable) return streamed == Streamed::kWritten;
  }
  const std::optional<std::vector<std::uint8_t>> bytes = output_bytes(options);
  return bytes && write_output(options.output, *bytes);
}

}  // namespace

void add_convert_command(CLI::App& app, int& status) {
  auto options = std::make_shared<ConvertOptions>();
  CLI::App* command = app.add_subcommand(
      "convert", "Write a recording as .npy (x u2, y u2, t u4, p u1), .evb (compact) or .csv");
  command->add_option("path", options->inputs, "The recording to read (folder mode: recordings or folders)")
      ->required()
      ->type_name("PATH");
  command->add_option("-o,--output", options->output, "OUT.npy, OUT.evb or OUT.csv")
      ->type_name("OUT")
      ->check(output_extension_check({"npy", "evb", "csv"}));
  add_reader_option(*command, options->reader);
  add_folder_batch_options(*command, options->folder);
  command->add_option("--to", options->to, "With --output-dir: the outputs' format")
      ->check(CLI::IsMember({"npy", "evb", "csv"}))
      ->type_name("npy|evb|csv")
      ->capture_default_str();
  command->footer(
      "Example: ovk convert 1.bs2 --reader nmnist -o 1.npy\n"
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
