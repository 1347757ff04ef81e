// Byte-level transforms between the tree bits of consecutive frames: the
// exclusive-or delta (its own inverse) and the run-length code that stores it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ovk {

// result[i] = a[i] ^ b[i], the shorter input read as if zero-padded; the
// result has the longer input's length.
std::vector<std::uint8_t> xor_delta(std::span<const std::uint8_t> a,
                                    std::span<const std::uint8_t> b);

// The run-length code: pairs (count 1..255, value), runs longer than 255 cut
// into 255s and a rest. rle_decode expands the pairs in order; a count of 0
// adds nothing and a trailing odd byte is ignored.
std::vector<std::uint8_t> rle_decode(std::span<const std::uint8_t> code);

// The run-length code of xor_delta(a, b), for frame after frame: the delta
// and the longest code are written into buffers kept from one call to the
// next, and each returned code is allocated at its exact length.
class XorRunLengthEncoder {
 public:
  std::vector<std::uint8_t> encode(std::span<const std::uint8_t> a,
                                   std::span<const std::uint8_t> b);

 private:
  std::vector<std::uint8_t> delta_;
  std::vector<std::uint8_t> pairs_;
};

// bytes = xor_delta(bytes, rle_decode(code)), in place: the bytes grow
// (zero-padded) to the code's expanded length when that is longer, and runs
// of zeros leave them untouched.
void xor_rle_decoded(std::vector<std::uint8_t>& bytes, std::span<const std::uint8_t> code);

}  // namespace ovk
