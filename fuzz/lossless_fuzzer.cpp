// The lossless decoder fed arbitrary bytes. The first input byte picks
// whether the rest is a whole lossless file (header, table, trailer, then
// every chunk) or, with even first byte, one chunk's code whose event count
// is the next two bytes. Whatever the bytes, reading ends in events or an
// error: never a crash, a hang or an allocation the input cannot justify;
// and events a chunk code yields code again to the same events.
#include <cstdint>
#include <span>
#include <vector>

#include "lossless/chunk_codec.h"
#include "lossless/lossless_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  ovk::Event64Vec events;
  if ((data[0] & 1) != 0) {
    const auto reader = ovk::lossless::LosslessReader::from_bytes(rest);
    if (!reader.ok()) return 0;
    for (std::size_t i = 0; i < reader.value().summary().chunks.size(); ++i) {
      (void)reader.value().decode_chunk(i, events);
    }
    return 0;
  }
  if (rest.size() < 2) return 0;
  const std::size_t count = rest[0] | (std::size_t{rest[1]} << 8);
  if (!ovk::lossless::decode_chunk(rest.subspan(2), count, events).ok()) return 0;
  std::vector<std::uint8_t> again;
  ovk::lossless::encode_chunk(events, again);
  ovk::Event64Vec back;
  if (!ovk::lossless::decode_chunk(again, count, back).ok() || back != events) __builtin_trap();
  return 0;
}
