// CSV and plain-text recordings: one event per line, columns x, y, t, p. The
// file reader streams through one fixed buffer and holds a line only while it
// is parsed; the in-memory decoder walks the same lines over a byte span.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "io/csv_line.h"
#include "io/file_access.h"
#include "io/recording_readers.h"

namespace ovk::io {
namespace {

constexpr std::size_t kReadBufferBytes = 8192;

// Parses one line and appends its event, if it has one.
Status add_line(std::span<const std::uint8_t> line, EventVec& events) {
  OVK_ASSIGN_OR_RETURN(const std::optional<Event> event, parse_csv_line(line));
  if (event) events.push_back(*event);
  return Ok{};
}

Result<EventVec> stream_lines(const FileHandle& file, const Interruptions& interrupts) {
  std::array<std::uint8_t, kReadBufferBytes> buffer;
  std::size_t pos = 0;
  std::size_t end = 0;
  // Bytes of a line that crossed the end of the buffer; a line that lies
  // wholly inside the buffer is parsed in place.
  std::vector<std::uint8_t> pending;
  EventVec events;
  for (;;) {
    if (pos == end) {
      OVK_ASSIGN_OR_RETURN(end, read_some(file, buffer, interrupts));
      pos = 0;
      if (end == 0) {
        // End of file ends the last line, which may lack a line feed.
        if (!pending.empty()) {
          if (Status added = add_line(pending, events); !added.ok()) {
            return std::move(added).error();
          }
        }
        return events;
      }
    }
    const std::span<const std::uint8_t> available(buffer.data() + pos, end - pos);
    const auto newline = std::find(available.begin(), available.end(), std::uint8_t{'\n'});
    if (newline == available.end()) {
      pending.insert(pending.end(), available.begin(), available.end());
      pos = end;
      continue;
    }
    const std::size_t line_bytes = static_cast<std::size_t>(newline - available.begin()) + 1;
    if (pending.empty()) {
      if (Status added = add_line(available.first(line_bytes), events); !added.ok()) {
        return std::move(added).error();
      }
    } else {
      pending.insert(pending.end(), available.begin(), available.begin() + line_bytes);
      if (Status added = add_line(pending, events); !added.ok()) return std::move(added).error();
      pending.clear();
    }
    pos += line_bytes;
  }
}

Result<EventVec> decode_lines(std::span<const std::uint8_t> bytes) {
  EventVec events;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const std::span<const std::uint8_t> rest = bytes.subspan(pos);
    const auto newline = std::find(rest.begin(), rest.end(), std::uint8_t{'\n'});
    const std::size_t line_bytes =
        newline == rest.end() ? rest.size() : static_cast<std::size_t>(newline - rest.begin()) + 1;
    if (Status added = add_line(rest.first(line_bytes), events); !added.ok())
      return std::move(added).error();
    pos += line_bytes;
  }
  return events;
}

}  // namespace

// Growing the event vector or a long line can run out of memory; that ends
// the load with "out of memory" rather than an exception.
Result<EventVec> read_csv(std::string_view path, const Interruptions& interrupts) {
  OVK_ASSIGN_OR_RETURN(const FileHandle file, open_for_reading(path, interrupts));
  try {
    return stream_lines(file, interrupts);
  } catch (const std::bad_alloc&) {
    return Error::out_of_memory();
  } catch (const std::length_error&) {
    return Error::out_of_memory();
  }
}

Result<EventVec> decode_csv(std::span<const std::uint8_t> bytes) {
  try {
    return decode_lines(bytes);
  } catch (const std::bad_alloc&) {
    return Error::out_of_memory();
  } catch (const std::length_error&) {
    return Error::out_of_memory();
  }
}

}  // namespace ovk::io
