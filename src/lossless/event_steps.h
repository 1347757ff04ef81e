// What the lossless chunk codes take from an event and the one before it:
// the magnitude of a step and its bit length, and the key of a pixel in
// their per-pixel tables.
#pragma once

#include <cstdint>

namespace ovk::lossless {

// The bit length of `value` (0 for 0), as std::bit_width, but without the
// branch on zero that it compiles to for processors without lzcnt: on event
// data whether a step is zero is a coin toss, and a mispredicted branch
// costs more than the select.
inline unsigned bit_length(std::uint64_t value) {
  const auto top = static_cast<unsigned>(63 - __builtin_clzll(value | 1U));
  return top + 1 - static_cast<unsigned>(value == 0);
}

// The magnitude of a 64-bit step read as signed (2^63 for the most negative).
inline std::uint64_t magnitude_of(std::uint64_t step) {
  return (step >> 63) != 0 ? 0 - step : step;
}

// The magnitude of a 16-bit step read as signed (up to 32,768).
inline std::uint64_t magnitude16(std::uint16_t step) {
  const auto s = static_cast<std::int16_t>(step);
  return static_cast<std::uint64_t>(s < 0 ? -static_cast<std::int32_t>(s) : s);
}

// A pixel's place in a table of 2^18 entries: the low 9 bits of x and of y
// (exact for sensors up to 512 x 512; larger ones share entries).
inline std::uint32_t pixel_key(std::uint16_t x, std::uint16_t y) {
  return ((static_cast<std::uint32_t>(x) & 511U) << 9) | (y & 511U);
}

}  // namespace ovk::lossless
