// Splits a fuzz input into typed parameters followed by a byte payload.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

namespace ovk::fuzz {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

  // Little-endian integer from the next bytes; missing bytes read as zero.
  template <class T>
  T take() {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      const std::uint8_t b = pos_ < bytes_.size() ? bytes_[pos_++] : 0;
      value = static_cast<T>(value | (static_cast<T>(b) << (8 * i)));
    }
    return value;
  }

  // A grid side from one byte: 1..32 for most values, so that most inputs
  // stay small; bytes 0xF0 and up are followed by any 16-bit side (0 too).
  std::uint16_t take_side() {
    const auto b = take<std::uint8_t>();
    return b < 0xF0 ? static_cast<std::uint16_t>(1 + (b & 31)) : take<std::uint16_t>();
  }

  // A depth limit from one byte: 0..17 (around the deepest tree of a 2^16
  // side) for most values, the byte itself from 0xF0 up.
  std::uint8_t take_depth() {
    const auto b = take<std::uint8_t>();
    return b < 0xF0 ? static_cast<std::uint8_t>(b % 18) : b;
  }

  std::span<const std::uint8_t> rest() const {
    return bytes_.subspan(std::min(pos_, bytes_.size()));
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

}  // namespace ovk::fuzz
