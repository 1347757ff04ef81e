// The lossless decoder fed arbitrary bytes. The first input byte picks
// whether the rest is a whole lossless file (header, table, trailer, then
// every chunk) or, with even first byte, one chunk's code whose event count
// is the next two bytes, in the fast code (version 3) or, with bit 3 set,
// the smallest one (version 4 with bit 4 set too, else version 2). Whatever
// the bytes, reading ends in events or an error: never a crash, a hang or
// an allocation the input cannot justify;
// and events a chunk code yields code again to the same events (checked for
// a quarter of the chunk inputs of up to 1,024 events: those whose first
// byte has bits 1 and 2 clear; coding a chunk costs several times what
// decoding it does).
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "lossless/chunk_codec.h"
#include "lossless/lossless_file.h"
#include "memory_read_source.h"

namespace {

// Events allowed per byte of a chunk's code: far more than any recording
// codes to, and an event count beyond it would only size the output.
constexpr std::size_t kEventsPerCodeByte = 64;
// Events a chunk input may ask for: past the recent-pixel ring (4,096
// events), so that the ring wraps; longer chunks take no other path.
constexpr std::size_t kMaxChunkEvents = 4608;
// Chunks up to which the events decoded are coded again and compared.
constexpr std::size_t kMaxRecodedEvents = 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  // Kept from input to input, as a reader keeps its buffers from chunk to
  // chunk: a fresh one for each input costs more than a small chunk's
  // decoding.
  static ovk::Event64Vec events, back;
  static std::vector<std::uint8_t> again;
  static ovk::lossless::ChunkScratch scratch;
  const unsigned version = (data[0] & 8) == 0 ? 3U : ((data[0] & 16) != 0 ? 4U : 2U);
  if ((data[0] & 1) != 0) {
    const auto reader = ovk::lossless::read_from_memory(rest);
    if (!reader.ok()) return 0;
    for (std::size_t i = 0; i < reader.value().summary().chunks.size(); ++i) {
      (void)reader.value().decode_chunk(i, events, scratch);
    }
    return 0;
  }
  if (rest.size() < 2) return 0;
  const std::span<const std::uint8_t> code = rest.subspan(2);
  const std::size_t count =
      (rest[0] | (std::size_t{rest[1]} << 8)) %
      (std::min(kEventsPerCodeByte * code.size(), kMaxChunkEvents) + 1);
  if (!ovk::lossless::decode_chunk(code, count, events, version, scratch).ok()) return 0;
  if ((data[0] & 6) != 0 || count > kMaxRecodedEvents) return 0;
  again.clear();
  ovk::lossless::encode_chunk(events, again, version, scratch);
  if (!ovk::lossless::decode_chunk(again, count, back, version, scratch).ok() || back != events) {
    __builtin_trap();
  }
  return 0;
}
