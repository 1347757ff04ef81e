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
#include "cli/parsed_option.h"
#include "cli/text_escape.h"
#include "codec/event_stats.h"
#include "io/file_access.h"
#include "io/file_write.h"
#include "io/recording_readers.h"

namespace ovk::cli {
namespace {

constexpr std::uint64_t kLargestCoordinate = 65535;
// A list on the command line never expands to more values than this.
constexpr std::uint64_t kMaxListValues = 4096;

std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end || value > max) return std::nullopt;
  return value;
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
      if (every_file || io::has_known_extension(entry.path().string())) {
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

void add_sensor_option(CLI::App& command, std::optional<SensorSize>& sensor) {
  add_parsed_option(command, "--sensor", sensor, parse_sensor_size, "expected WxH such as 346x260",
                    "Sensor size WxH; overrides the size taken from the recording")
      ->type_name("WxH");
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
                                            const ReaderChoice& choice,
                                            std::vector<SkippedPath>* skipped) {
  std::vector<std::string> out;
  for (const std::string& path : paths) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      walk_folder(path, choice.format != nullptr, out, skipped);
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
