// Bytes in memory as a ByteInput, for feeding the readers of src/io/formats
// files built in a test or handed over by a fuzzer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "io/formats/byte_input.h"

namespace ovk::io {

class MemoryInput final : public ByteInput {
 public:
  explicit MemoryInput(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

  Result<std::size_t> read(std::span<std::uint8_t> out) override {
    const std::size_t n = std::min(out.size(), bytes_.size() - position_);
    if (n != 0) std::memcpy(out.data(), bytes_.data() + position_, n);
    position_ += n;
    return n;
  }

  Result<std::uint64_t> skip(std::uint64_t count) override {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(count, bytes_.size() - position_));
    position_ += n;
    return std::uint64_t{n};
  }

  std::optional<std::uint64_t> total_size() const override { return bytes_.size(); }
  std::uint64_t position() const override { return position_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t position_ = 0;
};

// Bytes owned by the input.
inline std::unique_ptr<ByteInput> memory_byte_input(std::vector<std::uint8_t> bytes) {
  return std::make_unique<MemoryInput>(std::move(bytes));
}

}  // namespace ovk::io
