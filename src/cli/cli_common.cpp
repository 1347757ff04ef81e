#include "cli/cli_common.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <map>
#include <system_error>

#include "cli/output_file.h"
#include "cli/text_escape.h"
#include "codec/event_stats.h"
#include "io/file_access.h"
#include "io/file_write.h"
#include "io/recording_readers.h"

namespace ovk::cli {
namespace {

constexpr std::uint32_t kNmnistSensor = 34;
constexpr std::uint32_t kDvs128Sensor = 128;
constexpr std::uint64_t kLargestCoordinate = 65535;
// A list on the command line never expands to more values than this.
constexpr std::uint64_t kMaxListValues = 4096;

bool is_known_extension(std::string_view path) {
  const std::optional<std::string_view> extension = io::file_extension(path);
  if (!extension) return false;
  for (const std::string_view known : {"bin", "evb", "aedat", "csv", "txt"}) {
    if (*extension == known) return true;
  }
  return false;
}

// The reader load_events would pick, or nullopt when it would fail before
// choosing one (unknown extension, or a .bin whose size cannot be read).
std::optional<ReaderKind> reader_for_extension(const std::string& path) {
  const std::optional<std::string_view> extension = io::file_extension(path);
  if (!extension) return std::nullopt;
  if (*extension == "evb") return ReaderKind::kCompact;
  if (*extension == "aedat") return ReaderKind::kAedat2;
  if (*extension == "csv" || *extension == "txt") return ReaderKind::kCsv;
  if (*extension != "bin") return std::nullopt;
  // load_events' length rule, judged here from the size (read_recording
  // judges the bytes it decodes instead).
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error) return std::nullopt;
  return io::bin_holds_compact_records(size) ? ReaderKind::kCompact : ReaderKind::kNmnist;
}

// A ".bin" recording read as load_events reads it: once, the length rule
// judging the very bytes that are decoded, so a FIFO or a file that changes
// meanwhile is read consistently and the reader reported is the one used.
Result<Recording> read_bin_once(const std::string& path) {
  OVK_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> bytes, io::read_whole_file(path));
  const ReaderKind kind =
      io::bin_holds_compact_records(bytes.size()) ? ReaderKind::kCompact : ReaderKind::kNmnist;
  OVK_ASSIGN_OR_RETURN(EventVec events, kind == ReaderKind::kCompact ? io::decode_compact(bytes)
                                                                     : io::decode_nmnist(bytes));
  return Recording{kind, std::move(events)};
}

// Compact records read a block at a time into the event vector, without a
// copy of the whole file in memory. When the file is not a whole number of
// records, is not a regular file, or changes while it is read, read_compact
// reads it again and its outcome (events or message) is the result.
// Anything but a regular file goes straight to read_compact, so a FIFO or a
// device is opened once: a second open could wait for a writer that is gone.
bool regular_whole_records(const struct stat& info) {
  return S_ISREG(info.st_mode) &&
         static_cast<std::uint64_t>(info.st_size) % kCompactRecordBytes == 0;
}

Result<EventVec> read_compact_in_blocks(std::string_view path) {
  constexpr std::size_t kBlockBytes = kCompactRecordBytes << 17;
  struct stat info{};
  if (::stat(std::string(path).c_str(), &info) != 0 || !regular_whole_records(info)) {
    return io::read_compact(path);
  }
  const Result<io::FileHandle> file = io::open_for_reading(path);
  if (!file.ok() || ::fstat(file.value().fd(), &info) != 0 || !regular_whole_records(info)) {
    return io::read_compact(path);
  }
  const auto size = static_cast<std::uint64_t>(info.st_size);
  OVK_ASSIGN_OR_RETURN(EventVec events, io::reserve_events(size / kCompactRecordBytes));
  std::vector<std::uint8_t> block(kBlockBytes);
  std::size_t held = 0;  // bytes in `block`, fewer than one record after decoding
  for (std::uint64_t total = 0;;) {
    const Result<std::size_t> n = io::read_some(file.value(), std::span(block).subspan(held));
    if (!n.ok() || (n.value() == 0 && (held != 0 || total != size))) return io::read_compact(path);
    if (n.value() == 0) return events;
    total += n.value();
    if (total > size) return io::read_compact(path);
    held += n.value();
    const std::size_t whole = held - held % kCompactRecordBytes;
    OVK_ASSIGN_OR_RETURN(const EventVec decoded, io::decode_compact(std::span(block).first(whole)));
    events.insert(events.end(), decoded.begin(), decoded.end());
    std::copy(block.begin() + static_cast<std::ptrdiff_t>(whole),
              block.begin() + static_cast<std::ptrdiff_t>(held), block.begin());
    held -= whole;
  }
}

Result<EventVec> read_with(ReaderKind kind, std::string_view path) {
  switch (kind) {
    case ReaderKind::kCompact:
      return catching_out_of_memory([path] { return read_compact_in_blocks(path); });
    case ReaderKind::kNmnist:
      return io::read_nmnist(path);
    case ReaderKind::kAedat2:
      return io::read_aedat2(path);
    case ReaderKind::kCsv:
      return io::read_csv(path);
  }
  OVK_FAULT("unknown reader kind");
}

ReaderKind kind_of_choice(ReaderChoice choice) {
  switch (choice) {
    case ReaderChoice::kCompact:
      return ReaderKind::kCompact;
    case ReaderChoice::kNmnist:
      return ReaderKind::kNmnist;
    case ReaderChoice::kAedat2:
      return ReaderKind::kAedat2;
    case ReaderChoice::kCsv:
      return ReaderKind::kCsv;
    case ReaderChoice::kAuto:
      break;
  }
  OVK_FAULT("no single reader for the automatic choice");
}

std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end || value > max) return std::nullopt;
  return value;
}

Result<std::uint16_t> dimension_from_largest(std::uint16_t largest, const char* axis) {
  if (largest >= kLargestCoordinate) {
    return Error(ErrorKind::kInvalidInput, std::string("largest ") + axis +
                                               " is 65535, so the sensor size does not fit 16 "
                                               "bits; give --sensor WxH");
  }
  return static_cast<std::uint16_t>(largest + 1);
}

// Why an entry that is neither a folder nor a regular file is left out
// (links already followed), or nullopt when it is not worth a word.
std::optional<std::string> skip_reason(const std::filesystem::directory_entry& entry) {
  std::error_code error;
  const std::filesystem::file_status target = entry.status(error);
  if (entry.is_symlink(error)) {
    if (::access(entry.path().c_str(), F_OK) != 0 && errno == ELOOP) return "link loop";
    if (!std::filesystem::exists(target)) return "dangling link";
    if (std::filesystem::is_directory(target)) return "linked folder";
  }
  if (std::filesystem::is_other(target)) return "special file";
  return std::nullopt;
}

std::string folder_error(const std::error_code& error) {
  if (error == std::errc::permission_denied) return "permission denied";
  return "unreadable folder (" + error.message() + ")";
}

void walk_folder(const std::filesystem::path& folder, bool every_file,
                 std::vector<std::string>& out, std::vector<SkippedPath>* skipped) {
  std::error_code error;
  std::filesystem::directory_iterator it(folder, error);
  if (error) {
    if (skipped != nullptr) {
      skipped->push_back({folder.string(), folder_error(error)});
    } else {
      out.push_back(folder.string());  // reading it reports why it cannot be used
    }
    return;
  }
  std::vector<std::filesystem::directory_entry> entries;
  for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (error) break;
    entries.push_back(*it);
  }
  if (error && skipped != nullptr) skipped->push_back({folder.string(), folder_error(error)});
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
  for (const auto& entry : entries) {
    std::error_code status_error;
    if (entry.is_directory(status_error)) {
      // Linked folders are not followed: a link to a parent would never end.
      if (!entry.is_symlink(status_error)) {
        walk_folder(entry.path(), every_file, out, skipped);
      } else if (skipped != nullptr) {
        skipped->push_back({entry.path().string(), "linked folder"});
      }
    } else if (entry.is_regular_file(status_error)) {
      if (every_file || is_known_extension(entry.path().string())) {
        out.push_back(entry.path().string());
      }
    } else if (skipped != nullptr) {
      if (std::optional<std::string> reason = skip_reason(entry)) {
        skipped->push_back({entry.path().string(), std::move(*reason)});
      }
    }
  }
}

}  // namespace

std::string_view reader_name(ReaderKind kind) {
  switch (kind) {
    case ReaderKind::kCompact:
      return "compact";
    case ReaderKind::kNmnist:
      return "nmnist";
    case ReaderKind::kAedat2:
      return "aedat2";
    case ReaderKind::kCsv:
      return "csv";
  }
  OVK_FAULT("unknown reader kind");
}

void add_reader_option(CLI::App& command, ReaderChoice& choice) {
  static const std::map<std::string, ReaderChoice> kNames{{"auto", ReaderChoice::kAuto},
                                                          {"compact", ReaderChoice::kCompact},
                                                          {"nmnist", ReaderChoice::kNmnist},
                                                          {"aedat2", ReaderChoice::kAedat2},
                                                          {"csv", ReaderChoice::kCsv}};
  command
      .add_option_function<std::string>(
          "--reader", [&choice](const std::string& name) { choice = kNames.at(name); },
          "Recording format: auto (by extension, as load_events) or one reader for every file")
      ->check(CLI::IsMember({"auto", "compact", "nmnist", "aedat2", "csv"}))
      ->type_name("NAME")
      ->default_str("auto");
}

void add_sensor_option(CLI::App& command, std::optional<SensorSize>& sensor) {
  command
      .add_option_function<std::string>(
          "--sensor",
          [&sensor](const std::string& text) {
            sensor = parse_sensor_size(text);
            if (!sensor) throw CLI::ValidationError("--sensor", "expected WxH such as 346x260");
          },
          "Sensor size WxH; overrides the size taken from the recording")
      ->type_name("WxH");
}

std::optional<ReaderKind> reader_for_path(const std::string& path, ReaderChoice choice) {
  if (choice != ReaderChoice::kAuto) return kind_of_choice(choice);
  return reader_for_extension(path);
}

Result<Recording> read_recording(const std::string& path, ReaderChoice choice) {
  if (choice == ReaderChoice::kAuto && io::file_extension(path) == "bin") {
    return read_bin_once(path);
  }
  const std::optional<ReaderKind> kind = reader_for_path(path, choice);
  if (!kind) {
    // load_events fails here too; its message is the one to report.
    OVK_ASSIGN_OR_RETURN(EventVec events, io::load_events(path));
    return Recording{ReaderKind::kCompact, std::move(events)};
  }
  OVK_ASSIGN_OR_RETURN(EventVec events, read_with(*kind, path));
  return Recording{*kind, std::move(events)};
}

Result<SensorSize> sensor_size(const Recording& recording, const std::optional<SensorSize>& given) {
  if (given) return *given;
  if (recording.reader == ReaderKind::kNmnist) return SensorSize{kNmnistSensor, kNmnistSensor};
  if (recording.reader == ReaderKind::kAedat2) return SensorSize{kDvs128Sensor, kDvs128Sensor};
  const std::optional<EventStats> stats = event_stats(recording.events);
  if (!stats) return SensorSize{0, 0};
  OVK_ASSIGN_OR_RETURN(const std::uint16_t width, dimension_from_largest(stats->x_max, "x"));
  OVK_ASSIGN_OR_RETURN(const std::uint16_t height, dimension_from_largest(stats->y_max, "y"));
  return SensorSize{width, height};
}

std::optional<SensorSize> parse_sensor_size(std::string_view text) {
  const std::size_t cross = text.find('x');
  if (cross == std::string_view::npos) return std::nullopt;
  const auto width = parse_decimal(text.substr(0, cross), kLargestCoordinate);
  const auto height = parse_decimal(text.substr(cross + 1), kLargestCoordinate);
  if (!width || !height || *width == 0 || *height == 0) return std::nullopt;
  return SensorSize{static_cast<std::uint16_t>(*width), static_cast<std::uint16_t>(*height)};
}

std::optional<std::vector<std::uint64_t>> parse_number_list(std::string_view text,
                                                            std::uint64_t min, std::uint64_t max) {
  std::vector<std::uint64_t> values;
  const auto add = [&values](std::uint64_t v) {
    if (std::find(values.begin(), values.end(), v) == values.end()) values.push_back(v);
  };
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view item = text.substr(start, comma - start);
    const std::size_t dash = item.find('-');
    const auto first = parse_decimal(item.substr(0, dash), max);
    const auto last =
        dash == std::string_view::npos ? first : parse_decimal(item.substr(dash + 1), max);
    if (!first || !last || *first < min || *last < *first) return std::nullopt;
    if (*last - *first >= kMaxListValues || values.size() >= kMaxListValues) return std::nullopt;
    for (std::uint64_t v = *first;; ++v) {
      add(v);
      if (v == *last) break;
    }
    start = comma + 1;
  }
  return values;
}

std::vector<std::string> collect_recordings(const std::vector<std::string>& paths,
                                            ReaderChoice choice,
                                            std::vector<SkippedPath>* skipped) {
  std::vector<std::string> out;
  for (const std::string& path : paths) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      walk_folder(path, choice != ReaderChoice::kAuto, out, skipped);
    } else {
      out.push_back(path);
    }
  }
  return out;
}

void print_failure(std::string_view path, std::string_view message, std::FILE* out) {
  std::fflush(stdout);
  std::string line = escape_for_terminal(path);
  line.append(": ").append(escape_for_terminal(message)).push_back('\n');
  std::fwrite(line.data(), 1, line.size(), out);
}

bool write_output(const std::string& path, std::span<const std::uint8_t> bytes) {
  return write_output_file(path, OutputPolicy{.force = true, .allow_stdout = false, .inputs = {}}, bytes);
}

CLI::Validator output_extension_check(std::vector<std::string> extensions) {
  std::string message = "the output name must end in ";
  for (std::size_t i = 0; i < extensions.size(); ++i) {
    if (i > 0) message += i + 1 == extensions.size() ? " or " : ", ";
    message += "." + extensions[i];
  }
  return CLI::Validator(
      [extensions = std::move(extensions), message](const std::string& path) -> std::string {
        const std::optional<std::string_view> extension = io::file_extension(path);
        const bool known = extension && std::find(extensions.begin(), extensions.end(),
                                                  *extension) != extensions.end();
        return known ? std::string() : message;
      },
      "");
}

std::optional<std::vector<std::uint64_t>> parameter_values(std::string_view list,
                                                           const CodingParameter& parameter) {
  return parse_number_list(list, parameter.min, parameter.max);
}

CLI::Option* add_parameter_list_option(CLI::App& command, const CodingParameter& parameter,
                                       std::string& list, std::string_view example) {
  return command
      .add_option(parameter.flag, list, std::string(parameter.meaning) + ", e.g. " +
                                            std::string(example))
      ->check(CLI::Validator(
          [parameter](const std::string& text) -> std::string {
            if (parameter_values(text, parameter)) return {};
            return "expected values " + std::to_string(parameter.min) + ".." +
                   std::to_string(parameter.max) +
                   " as a list such as 1,4,16 or a range such as 6-12";
          },
          ""))
      ->type_name("LIST")
      ->capture_default_str();
}

}  // namespace ovk::cli
