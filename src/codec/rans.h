// Static two-symbol rANS coder with byte-wise renormalisation.
//
// Stream layout, little-endian:
//   offset 0, 2 bytes: p0, probability of a 0 bit in units of 1/4096 (1..4095)
//   offset 2, 4 bytes: the encoder's final state = the decoder's initial state (>= 2^23)
//   offset 6, k bytes: renormalisation bytes, in the order the decoder reads them
// The bit count is not stored; the decoder must be given it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/result.h"

namespace ovk {

inline constexpr std::uint32_t kRansScaleBits = 12;
inline constexpr std::uint32_t kRansScale = 1u << kRansScaleBits;  // M = 4096
inline constexpr std::uint32_t kRansLowerBound = 1u << 23;         // L
inline constexpr std::uint32_t kRansStateLimit = 1u << 31;         // L * 2^8: states lie below
inline constexpr unsigned kRansByteBits = 8;                        // renormalisation unit
inline constexpr std::size_t kRansHeaderBytes = 6;

// The header of a stream: p0 in 1..4095 and a state in 2^23 .. 2^31 - 1 (the
// encoder's final states all lie there; below 2^23 decoding could loop
// forever). A stream shorter than its header, or a header the encoder never
// writes, fails with kInvalidData saying which.
struct RansHeader {
  std::uint32_t p0 = 0;
  std::uint32_t state = 0;
};
Result<RansHeader> parse_rans_header(std::span<const std::uint8_t> stream);

// Codes bits 0 .. bit_count - 1 of `bytes` (MSB first). Bits past bit_count
// are never read. bit_count > 8 * bytes.size() is an internal fault.
std::vector<std::uint8_t> rans_encode_bits(std::span<const std::uint8_t> bytes,
                                           std::uint64_t bit_count);

// Decodes bit_count bits into ceil(bit_count / 8) bytes, MSB first, trailing
// bits zero. Missing renormalisation bytes read as zero. A header that
// parse_rans_header refuses is an internal fault: callers holding streams
// from outside check it first.
std::vector<std::uint8_t> rans_decode_bits(std::span<const std::uint8_t> stream,
                                           std::uint64_t bit_count);

// rans_decode_bits that also tells how the stream ended. A stream the
// encoder wrote is read to its last byte and leaves the decoder in the
// encoder's starting state (kRansLowerBound); anything else is not such a
// stream (bytes left over, or bytes missing).
struct RansDecodeEnd {
  std::uint64_t bytes_unread = 0;   // renormalisation bytes never read
  std::uint64_t bytes_missing = 0;  // reads past the end (taken as zero)
  std::uint32_t final_state = 0;
};
std::vector<std::uint8_t> rans_decode_bits(std::span<const std::uint8_t> stream,
                                           std::uint64_t bit_count, RansDecodeEnd& end);

}  // namespace ovk
