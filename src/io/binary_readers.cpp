// The three binary recording formats: compact 9-byte records, N-MNIST 5-byte
// records and AEDAT 2.0 (text header, then 8-byte records). Each decoder
// checks the size first, reserves the result at its final size and decodes in
// one pass, so a malformed file yields no partial result.
#include <cstddef>
#include <cstdint>
#include <string>

#include "io/file_access.h"
#include "io/recording_readers.h"

namespace ovk::io {
namespace {

constexpr std::size_t kNmnistRecordBytes = 5;
constexpr std::size_t kAedatRecordBytes = 8;

std::uint16_t load_u16_le(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t load_u32_le(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint32_t load_u32_be(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

Error size_error(const char* prefix, std::size_t size, const char* suffix) {
  return Error(ErrorKind::kInvalidData, prefix + std::to_string(size) + suffix);
}

// Offset of the first data byte: header lines start with '#' and end with
// (and include) the next line feed. Only lines at the very start count.
std::size_t aedat_data_offset(std::span<const std::uint8_t> bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size() && bytes[pos] == '#') {
    while (pos < bytes.size() && bytes[pos] != '\n') ++pos;
    // A header line that runs to the end of the file without a line feed
    // leaves pos at the end: the whole file is header and the data section
    // is empty, so such a file decodes to no events rather than an error.
    if (pos < bytes.size()) ++pos;
  }
  return pos;
}

}  // namespace

Result<EventVec> decode_compact(std::span<const std::uint8_t> bytes) {
  if (bytes.size() % kCompactRecordBytes != 0) {
    return size_error("Compact binary file size ", bytes.size(), " is not a multiple of 9");
  }
  OVK_ASSIGN_OR_RETURN(EventVec events, reserve_events(bytes.size() / kCompactRecordBytes));
  for (std::size_t offset = 0; offset < bytes.size(); offset += kCompactRecordBytes) {
    const std::uint8_t* record = bytes.data() + offset;
    events.push_back(Event{.x = load_u16_le(record),
                           .y = load_u16_le(record + 2),
                           .t = load_u32_le(record + 4),
                           .p = record[8]});
  }
  return events;
}

Result<EventVec> decode_nmnist(std::span<const std::uint8_t> bytes) {
  if (bytes.size() % kNmnistRecordBytes != 0) {
    return size_error("N-MNIST file size ", bytes.size(), " is not a multiple of 5");
  }
  OVK_ASSIGN_OR_RETURN(EventVec events, reserve_events(bytes.size() / kNmnistRecordBytes));
  for (std::size_t offset = 0; offset < bytes.size(); offset += kNmnistRecordBytes) {
    const std::uint8_t* record = bytes.data() + offset;
    // 23-bit big-endian timestamp below the polarity bit of byte 2.
    const std::uint32_t t = (static_cast<std::uint32_t>(record[2] & 0x7F) << 16) |
                            (static_cast<std::uint32_t>(record[3]) << 8) | record[4];
    events.push_back(Event{
        .x = record[0], .y = record[1], .t = t, .p = static_cast<std::uint8_t>(record[2] >> 7)});
  }
  return events;
}

Result<EventVec> decode_aedat2(std::span<const std::uint8_t> bytes) {
  const std::span<const std::uint8_t> data = bytes.subspan(aedat_data_offset(bytes));
  if (data.size() % kAedatRecordBytes != 0) {
    return size_error("AEDAT2 data section size ", data.size(), " is not a multiple of 8");
  }
  OVK_ASSIGN_OR_RETURN(EventVec events, reserve_events(data.size() / kAedatRecordBytes));
  for (std::size_t offset = 0; offset < data.size(); offset += kAedatRecordBytes) {
    const std::uint8_t* record = data.data() + offset;
    // DVS128 address: bit 0 polarity, bits 1-7 x, bits 8-14 y, the rest unused.
    const std::uint32_t address = load_u32_be(record);
    events.push_back(Event{.x = static_cast<std::uint16_t>((address >> 1) & 0x7F),
                           .y = static_cast<std::uint16_t>((address >> 8) & 0x7F),
                           .t = load_u32_be(record + 4),
                           .p = static_cast<std::uint8_t>(address & 1)});
  }
  return events;
}

Result<EventVec> read_compact(std::string_view path, const Interruptions& interrupts) {
  OVK_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> bytes, read_whole_file(path, interrupts));
  return decode_compact(bytes);
}

Result<EventVec> read_nmnist(std::string_view path, const Interruptions& interrupts) {
  OVK_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> bytes, read_whole_file(path, interrupts));
  return decode_nmnist(bytes);
}

Result<EventVec> read_aedat2(std::string_view path, const Interruptions& interrupts) {
  OVK_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> bytes, read_whole_file(path, interrupts));
  return decode_aedat2(bytes);
}

}  // namespace ovk::io
