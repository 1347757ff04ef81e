// One-call forms of the lossless chunk code for tests: each codes through
// a scratch of its own, as the first chunk of a file does.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lossless/chunk_codec.h"

namespace ovk::lossless {

inline void encode_chunk(Event64Span events, std::vector<std::uint8_t>& out,
                         unsigned version = kNewestChunkVersion) {
  ChunkScratch scratch;
  encode_chunk(events, out, version, scratch);
}

[[nodiscard]] inline Status decode_chunk(std::span<const std::uint8_t> code, std::size_t count,
                                         Event64Vec& events,
                                         unsigned version = kNewestChunkVersion) {
  ChunkScratch scratch;
  return decode_chunk(code, count, events, version, scratch);
}

}  // namespace ovk::lossless
