// Sequential bytes from a file (or a pipe), read through one buffer, with the
// total length when the source can tell it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "codec/result.h"
#include "io/file_access.h"

namespace ovk::io {

class ByteInput {
 public:
  virtual ~ByteInput() = default;

  // Fills as much of `buffer` as the source still holds; fewer bytes than
  // asked only at the end.
  [[nodiscard]] virtual Result<std::size_t> read(std::span<std::uint8_t> buffer) = 0;

  // Passes over `count` bytes; returns how many there were.
  [[nodiscard]] virtual Result<std::uint64_t> skip(std::uint64_t count) = 0;

  // Bytes from the start of the source to its end (regular files and memory).
  virtual std::optional<std::uint64_t> total_size() const = 0;

  // Bytes consumed so far.
  virtual std::uint64_t position() const = 0;
};

// A file opened read-only; pipes and other special files are read in order.
Result<std::unique_ptr<ByteInput>> open_byte_input(std::string_view path);

}  // namespace ovk::io
