// `ovk convert PATH -o OUT.npy|OUT.evb|OUT.csv`: rewrites one recording as a
// NumPy structured array, compact records or CSV text. The output appears
// whole or not at all (written to a temporary file, then renamed).
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/event_encoders.h"
#include "io/compact_writer.h"
#include "io/file_write.h"
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

// Reads, encodes and writes; a failure is reported against the file it
// concerns (the input for reading, the output for encoding and writing).
bool convert(const ConvertOptions& options) {
  const Result<Recording> recording = read_recording(options.input, options.reader);
  if (!recording.ok()) {
    print_failure(options.input, recording.error().message());
    return false;
  }
  const Result<std::vector<std::uint8_t>> bytes =
      encode_for(options.output, recording.value().events);
  const Status written =
      bytes.ok() ? io::write_file_atomically(options.output, bytes.value()) : Status(bytes.error());
  if (!written.ok()) print_failure(options.output, written.error().message());
  return written.ok();
}

std::string check_output_extension(const std::string& path) {
  const std::optional<std::string_view> extension = io::file_extension(path);
  if (extension == "npy" || extension == "evb" || extension == "csv") return {};
  return "the output name must end in .npy, .evb or .csv";
}

}  // namespace

void add_convert_command(CLI::App& app, int& status) {
  auto options = std::make_shared<ConvertOptions>();
  CLI::App* command = app.add_subcommand(
      "convert", "Write a recording as .npy (x u2, y u2, t u4, p u1), .evb (compact) or .csv");
  command->add_option("path", options->input, "The recording to read")->required()->type_name("PATH");
  command->add_option("-o,--output", options->output, "OUT.npy, OUT.evb or OUT.csv")
      ->required()
      ->type_name("OUT")
      ->check(CLI::Validator(check_output_extension, "OUT.npy|OUT.evb|OUT.csv"));
  add_reader_option(*command, options->reader);
  command->footer("Example: ovk convert 1.bs2 --reader nmnist -o 1.npy");
  command->callback([options, &status] {
    if (!convert(*options)) status = kExitFailure;
  });
}

}  // namespace ovk::cli
