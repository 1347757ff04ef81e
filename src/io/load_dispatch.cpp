// Choice of reader by file extension.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/file_access.h"
#include "io/path_quote.h"
#include "io/recording_readers.h"

namespace ovk::io {
namespace {

Error unknown_extension(std::string_view path) {
  return Error(ErrorKind::kInvalidInput, "Unknown file extension: " + quote_path_literal(path) +
                                             ". Supported: .bin, .evb, .aedat, .csv, .txt");
}

}  // namespace

std::optional<std::string_view> file_extension(std::string_view path) {
  // Last component, passing over empty components (repeated or trailing
  // slashes) and "." components.
  std::optional<std::string_view> last;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(start, end - start);
    if (!component.empty() && component != ".") last = component;
    start = end + 1;
  }
  if (!last || *last == "..") return std::nullopt;
  const std::size_t dot = last->rfind('.');
  // No dot, or only a leading one as in ".csv": a hidden file, no extension.
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  return last->substr(dot + 1);
}

bool bin_holds_compact_records(std::uint64_t length) noexcept {
  return length % kCompactRecordBytes == 0 && length % 5 != 0;
}

Result<EventVec> load_events(std::string_view path, const Interruptions& interrupts) {
  const std::optional<std::string_view> extension = file_extension(path);
  if (!extension) return unknown_extension(path);
  if (*extension == "bin") {
    // The file is read once and the bytes judged are the bytes decoded, so a
    // FIFO or a file that grows meanwhile is read consistently.
    OVK_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> bytes, read_whole_file(path, interrupts));
    return bin_holds_compact_records(bytes.size()) ? decode_compact(bytes) : decode_nmnist(bytes);
  }
  if (*extension == "evb") return read_compact(path, interrupts);
  if (*extension == "aedat") return read_aedat2(path, interrupts);
  if (*extension == "csv" || *extension == "txt") return read_csv(path, interrupts);
  return unknown_extension(path);
}

}  // namespace ovk::io
