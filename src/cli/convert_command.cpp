// `ovk convert PATH -o OUT.npy|OUT.evb|OUT.csv`: rewrites one recording as a
// NumPy structured array, compact records or CSV text. The output appears
// whole or not at all (written to a temporary file, then renamed).
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/event_encoders.h"
#include "io/compact_writer.h"
#include "io/file_access.h"
#include "io/recording_readers.h"

namespace ovk::cli {
namespace {

struct ConvertOptions {
  std::string input;
  std::string output;
  ReaderChoice reader = ReaderChoice::kAuto;
};

Result<std::vector<std::uint8_t>> encode_for(std::string_view output, EventSpan events) {
  const std::optional<std::string_view> extension = io::file_extension(output);
  if (extension == "npy") return encode_npy(events);
  if (extension == "csv") return encode_csv(events);
  return io::encode_compact(events);
}

// Compact input to .npy or .evb: the records are already the output's body,
// so the file is read straight in behind the header, without events in
// between. nullopt when the input is not a whole number of compact records
// or cannot be read; the general path then reports what the reader says.
std::optional<std::vector<std::uint8_t>> pass_compact_records(const std::string& input, bool npy) {
  const Result<io::FileHandle> file = io::open_for_reading(input);
  struct stat info{};
  if (!file.ok() || ::fstat(file.value().fd(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  const auto size = static_cast<std::uint64_t>(info.st_size);
  if (size % kCompactRecordBytes != 0) return std::nullopt;
  const std::string header = npy ? npy_header(size / kCompactRecordBytes) : std::string();
  std::vector<std::uint8_t> out;
  const Status sized = catching_out_of_memory([&]() -> Status {
    out.resize(header.size() + size);
    return Ok{};
  });
  if (!sized.ok()) return std::nullopt;
  std::copy(header.begin(), header.end(), out.begin());
  for (std::size_t filled = header.size(); filled < out.size();) {
    const Result<std::size_t> n = io::read_some(file.value(), std::span(out).subspan(filled));
    if (!n.ok() || n.value() == 0) return std::nullopt;  // failed or shrank: read it again
    filled += n.value();
  }
  std::uint8_t extra = 0;
  const Result<std::size_t> more = io::read_some(file.value(), std::span(&extra, 1));
  if (!more.ok() || more.value() != 0) return std::nullopt;  // grew meanwhile
  return out;
}

// N-MNIST input to .npy or .evb: decoded a block of records at a time
// straight into the output, so the events of the whole recording are never
// held at once. nullopt when the reader would fail; the general path then
// reports what it says.
std::optional<std::vector<std::uint8_t>> transcode_nmnist_records(const std::string& input,
                                                                  bool npy) {
  constexpr std::size_t kNmnistRecordBytes = 5;
  constexpr std::size_t kBlockRecords = 1 << 16;
  const Result<std::vector<std::uint8_t>> bytes = io::read_whole_file(input);
  if (!bytes.ok() || bytes.value().size() % kNmnistRecordBytes != 0) return std::nullopt;
  const std::span<const std::uint8_t> records(bytes.value());
  const std::size_t count = records.size() / kNmnistRecordBytes;
  const std::string header = npy ? npy_header(count) : std::string();
  std::vector<std::uint8_t> out;
  const Status encoded = catching_out_of_memory([&]() -> Status {
    out.reserve(header.size() + count * kCompactRecordBytes);
    out.assign(header.begin(), header.end());
    for (std::size_t first = 0; first < count; first += kBlockRecords) {
      const std::size_t n = std::min(kBlockRecords, count - first);
      OVK_ASSIGN_OR_RETURN(
          const EventVec events,
          io::decode_nmnist(records.subspan(first * kNmnistRecordBytes, n * kNmnistRecordBytes)));
      OVK_RETURN_IF_ERROR(io::append_compact_records(events, out));
    }
    return Ok{};
  });
  if (!encoded.ok()) return std::nullopt;
  return out;
}

// The output file's bytes, or nullopt after reporting the failure against
// the file it concerns (the input for reading, the output for encoding).
std::optional<std::vector<std::uint8_t>> output_bytes(const ConvertOptions& options) {
  const std::optional<std::string_view> extension = io::file_extension(options.output);
  const std::optional<ReaderKind> reader = reader_for_path(options.input, options.reader);
  if (extension != "csv" && reader == ReaderKind::kCompact) {
    if (auto bytes = pass_compact_records(options.input, extension == "npy")) return bytes;
  }
  if (extension != "csv" && reader == ReaderKind::kNmnist) {
    if (auto bytes = transcode_nmnist_records(options.input, extension == "npy")) return bytes;
  }
  const std::optional<Recording> recording =
      value_or_report(read_recording(options.input, options.reader), options.input);
  if (!recording) return std::nullopt;
  return value_or_report(encode_for(options.output, recording->events), options.output);
}

bool convert(const ConvertOptions& options) {
  const std::optional<std::vector<std::uint8_t>> bytes = output_bytes(options);
  return bytes && write_output(options.output, *bytes);
}

}  // namespace

void add_convert_command(CLI::App& app, int& status) {
  auto options = std::make_shared<ConvertOptions>();
  CLI::App* command = app.add_subcommand(
      "convert", "Write a recording as .npy (x u2, y u2, t u4, p u1), .evb (compact) or .csv");
  command->add_option("path", options->input, "The recording to read")
      ->required()
      ->type_name("PATH");
  command->add_option("-o,--output", options->output, "OUT.npy, OUT.evb or OUT.csv")
      ->required()
      ->type_name("OUT")
      ->check(output_extension_check({"npy", "evb", "csv"}));
  add_reader_option(*command, options->reader);
  command->footer("Example: ovk convert 1.bs2 --reader nmnist -o 1.npy");
  command->callback([options, &status] {
    if (!convert(*options)) status = kExitFailure;
  });
}

}  // namespace ovk::cli
