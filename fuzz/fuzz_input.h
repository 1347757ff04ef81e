// Splits a fuzz input into typed parameters followed by a byte payload.
#pragma once

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

  std::span<const std::uint8_t> rest() const {
    return bytes_.subspan(std::min(pos_, bytes_.size()));
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

}  // namespace ovk::fuzz
