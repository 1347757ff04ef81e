// Byte-level transforms between the tree bits of consecutive frames: the
// exclusive-or delta (its own inverse) and the run-length code that stores it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace ovk {

// result[i] = a[i] ^ b[i], the shorter input read as if zero-padded; the
// result has the longer input's length.
std::vector<std::uint8_t> xor_delta(std::span<const std::uint8_t> a,
                                    std::span<const std::uint8_t> b);

// Pairs (count 1..255, value); runs longer than 255 are cut into 255s and a rest.
std::vector<std::uint8_t> rle_encode(std::span<const std::uint8_t> data);

// Expands the pairs in order; a count of 0 adds nothing and a trailing odd
// byte is ignored.
std::vector<std::uint8_t> rle_decode(std::span<const std::uint8_t> code);

}  // namespace ovk
