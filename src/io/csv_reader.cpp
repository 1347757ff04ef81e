// CSV and plain-text recordings: one event per line, columns x, y, t, p. The
// file reader streams through one fixed buffer and holds a line only while it
// is parsed (a line cut by the end of a read is gathered first).
#include <sys/stat.h>

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
// Room reserved beyond the extrapolated event count of a file.
constexpr double kReserveMargin = 1.05;

// Appends the event of a scanned line, if it has one.
Status take(const CsvLineScan& scan, EventVec& events) {
  if (scan.fault != CsvLineFault::kNone) return csv_line_error(scan.fault);
  if (scan.has_event) events.push_back(scan.event);
  return Ok{};
}

// Parses one line and appends its event, if it has one.
Status add_line(std::span<const std::uint8_t> line, EventVec& events) {
  return take(scan_csv_line(line), events);
}

// Length of the line at the start of `bytes`, its line feed included, or
// nullopt when `bytes` holds no line feed.
std::optional<std::size_t> line_length(std::span<const std::uint8_t> bytes) {
  const void* newline = std::memchr(bytes.data(), '\n', bytes.size());
  if (newline == nullptr) return std::nullopt;
  return static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - bytes.data()) + 1;
}

// Parses the complete line at the start of `bytes` (plain data lines
// directly, any other through the general line scan) and returns its length,
// or 0 when `bytes` holds no line feed.
Result<std::size_t> add_next_line(std::span<const std::uint8_t> bytes, EventVec& events) {
  CsvLineScan scan;
  if (const std::size_t plain = scan_plain_csv_line(bytes, scan); plain > 0) {
    OVK_RETURN_IF_ERROR(take(scan, events));
    return plain;
  }
  const std::optional<std::size_t> length = line_length(bytes);
  if (!length) return std::size_t{0};
  OVK_RETURN_IF_ERROR(add_line(bytes.first(*length), events));
  return *length;
}

// Parses every complete line of `available` (the first one after `pending`
// when the previous read cut a line) and returns the number of bytes used;
// the rest starts a line that continues in the next read.
Result<std::size_t> add_complete_lines(std::span<const std::uint8_t> available,
                                       std::vector<std::uint8_t>& pending, EventVec& events) {
  std::size_t pos = 0;
  if (!pending.empty()) {
    const std::optional<std::size_t> length = line_length(available);
    if (!length) return std::size_t{0};
    pending.insert(pending.end(), available.begin(),
                   available.begin() + static_cast<std::ptrdiff_t>(*length));
    OVK_RETURN_IF_ERROR(add_line(pending, events));
    pending.clear();
    pos = *length;
  }
  while (pos < available.size()) {
    OVK_ASSIGN_OR_RETURN(const std::size_t length, add_next_line(available.subspan(pos), events));
    if (length == 0) break;
    pos += length;
  }
  return pos;
}

// Reserves room for the events of the whole file, extrapolated from the
// share of it read so far, so that the vector is not copied as it grows.
// Only a hint: when the room cannot be had the vector grows as usual.
void reserve_for_file(const FileHandle& file, std::uint64_t bytes_read, EventVec& events) {
  struct stat info{};
  if (events.empty() || bytes_read == 0 || ::fstat(file.fd(), &info) != 0 || info.st_size <= 0)
    return;
  const double per_byte = static_cast<double>(events.size()) / static_cast<double>(bytes_read);
  const double expected = per_byte * static_cast<double>(info.st_size) * kReserveMargin;
  if (expected >= static_cast<double>(events.max_size())) return;
  (void)catching_out_of_memory([&]() -> Status {
    events.reserve(static_cast<std::size_t>(expected) + 1);
    return Ok{};
  });
}

Result<EventVec> stream_lines(const FileHandle& file, const Interruptions& interrupts) {
  std::vector<std::uint8_t> buffer(kReadBufferBytes);
  std::vector<std::uint8_t> pending;
  EventVec events;
  bool reserved = false;
  for (;;) {
    OVK_ASSIGN_OR_RETURN(const std::size_t end, read_some(file, buffer, interrupts));
    if (end == 0) {
      // End of file ends the last line, which may lack a line feed.
      if (!pending.empty()) OVK_RETURN_IF_ERROR(add_line(pending, events));
      return events;
    }
    const std::span<const std::uint8_t> available(buffer.data(), end);
    OVK_ASSIGN_OR_RETURN(const std::size_t used, add_complete_lines(available, pending, events));
    pending.insert(pending.end(), available.begin() + static_cast<std::ptrdiff_t>(used),
                   available.end());
    if (!reserved) {
      reserve_for_file(file, end, events);
      reserved = true;
    }
  }
}

}  // namespace

// Growing the event vector or a long line can run out of memory; that ends
// the load with "out of memory" rather than an exception.
Result<EventVec> read_csv(std::string_view path, const Interruptions& interrupts) {
  OVK_ASSIGN_OR_RETURN(const FileHandle file, open_for_reading(path, interrupts));
  return catching_out_of_memory([&] { return stream_lines(file, interrupts); });
}

}  // namespace ovk::io
