#include "io/compact_writer.h"

namespace ovk::io {
namespace {

void store_u16_le(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void store_u32_le(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

}  // namespace

Status append_compact_records(EventSpan events, std::vector<std::uint8_t>& out) {
  const std::size_t start = out.size();
  OVK_RETURN_IF_ERROR(catching_out_of_memory([&]() -> Status {
    out.resize(start + events.size() * kCompactRecordBytes);
    return Ok{};
  }));
  std::uint8_t* record = out.data() + start;
  for (const Event& event : events) {
    store_u16_le(record, event.x);
    store_u16_le(record + 2, event.y);
    store_u32_le(record + 4, event.t);
    record[8] = event.p;
    record += kCompactRecordBytes;
  }
  return Ok{};
}

Result<std::vector<std::uint8_t>> encode_compact(EventSpan events) {
  std::vector<std::uint8_t> out;
  OVK_RETURN_IF_ERROR(append_compact_records(events, out));
  return out;
}

}  // namespace ovk::io
