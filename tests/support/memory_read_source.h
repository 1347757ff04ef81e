// Lossless files held in memory (built by a test, handed over by a fuzzer or
// a benchmark), opened by the same reader as files on disk.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "lossless/lossless_file.h"

namespace ovk::lossless {

// Bytes the caller keeps alive while the reader lives.
class MemoryReadSource final : public ReadSource {
 public:
  explicit MemoryReadSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::uint64_t size() const override { return bytes_.size(); }

  Result<std::size_t> read_some(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    if (offset >= bytes_.size()) return std::size_t{0};
    const std::size_t n = std::min<std::size_t>(out.size(), bytes_.size() - offset);
    std::memcpy(out.data(), bytes_.data() + offset, n);
    return n;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

[[nodiscard]] inline Result<LosslessReader> read_from_memory(std::span<const std::uint8_t> bytes) {
  return LosslessReader::from_source(std::make_unique<MemoryReadSource>(bytes));
}

}  // namespace ovk::lossless
