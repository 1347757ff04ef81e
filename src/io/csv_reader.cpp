// CSV and plain-text recordings: one event per line, columns x, y, t, p. The
// file reader streams through one fixed buffer and holds a line only while it
// is parsed (a line cut by the end of a read is gathered first); the
// in-memory decoder walks the same lines over a byte span.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "io/csv_line.h"
#include "io/file_access.h"
#include "io/recording_readers.h"

namespace ovk::io {
namespace {

// Large enough that the system calls cost little next to the parsing; a
// line that crosses the end of the buffer is gathered in `pending`.
constexpr std::size_t kReadBufferBytes = 1 << 16;

// Parses one line and appends its event, if it has one.
Status add_line(std::span<const std::uint8_t> line, EventVec& events) {
  OVK_ASSIGN_OR_RETURN(const std::optional<Event> event, parse_csv_line(line));
  if (event) events.push_back(*event);
  return Ok{};
}

// Length of the line at the start of `bytes`, its line feed included, or
// nullopt when `bytes` holds no line feed.
std::optional<std::size_t> line_length(std::span<const std::uint8_t> bytes) {
  const void* newline = std::memchr(bytes.data(), '\n', bytes.size());
  if (newline == nullptr) return std::nullopt;
  return static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - bytes.data()) + 1;
}

// Parses every complete line of `available` (lines wholly inside it in
// place, the first one after `pending` if a line was cut by the previous
// read) and returns the number of bytes used; the rest starts a line that
// continues in the next read.
Result<std::size_t> add_complete_lines(std::span<const std::uint8_t> available,
                                       std::vector<std::uint8_t>& pending, EventVec& events) {
  std::size_t pos = 0;
  while (const std::optional<std::size_t> length = line_length(available.subspan(pos))) {
    const std::span<const std::uint8_t> line = available.subspan(pos, *length);
    if (pending.empty()) {
      OVK_RETURN_IF_ERROR(add_line(line, events));
    } else {
      pending.insert(pending.end(), line.begin(), line.end());
      OVK_RETURN_IF_ERROR(add_line(pending, events));
      pending.clear();
    }
    pos += *length;
  }
  return pos;
}

Result<EventVec> stream_lines(const FileHandle& file) {
  std::vector<std::uint8_t> buffer(kReadBufferBytes);
  std::vector<std::uint8_t> pending;
  EventVec events;
  for (;;) {
    OVK_ASSIGN_OR_RETURN(const std::size_t end, read_some(file, buffer));
    if (end == 0) {
      // End of file ends the last line, which may lack a line feed.
      if (!pending.empty()) OVK_RETURN_IF_ERROR(add_line(pending, events));
      return events;
    }
    const std::span<const std::uint8_t> available(buffer.data(), end);
    OVK_ASSIGN_OR_RETURN(const std::size_t used, add_complete_lines(available, pending, events));
    pending.insert(pending.end(), available.begin() + static_cast<std::ptrdiff_t>(used),
                   available.end());
  }
}

Result<EventVec> decode_lines(std::span<const std::uint8_t> bytes) {
  EventVec events;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const std::span<const std::uint8_t> rest = bytes.subspan(pos);
    const std::size_t length = line_length(rest).value_or(rest.size());
    OVK_RETURN_IF_ERROR(add_line(rest.first(length), events));
    pos += length;
  }
  return events;
}

}  // namespace

// Growing the event vector or a long line can run out of memory; that ends
// the load with "out of memory" rather than an exception.
Result<EventVec> read_csv(std::string_view path) {
  OVK_ASSIGN_OR_RETURN(const FileHandle file, open_for_reading(path));
  return catching_out_of_memory([&file] { return stream_lines(file); });
}

Result<EventVec> decode_csv(std::span<const std::uint8_t> bytes) {
  return catching_out_of_memory([bytes] { return decode_lines(bytes); });
}

}  // namespace ovk::io
