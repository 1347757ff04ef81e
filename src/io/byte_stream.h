// A file read front to back through one fixed buffer: the readers' hot loops
// decode straight from the buffered bytes, and memory stays the buffer's
// size whatever the file's length. Works on FIFOs and devices as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/result.h"
#include "io/file_access.h"

namespace ovk::io {

class ByteStream {
 public:
  static constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
  static constexpr std::size_t kSmallestBufferBytes = 4096;

  [[nodiscard]] static Result<ByteStream> open(std::string_view path,
                                               const Interruptions& interrupts = retry_interrupted());

  // Bytes read and not yet consumed.
  std::span<const std::uint8_t> available() const noexcept {
    return std::span(buffer_).subspan(begin_, end_ - begin_);
  }
  // Reads until at least `want` bytes (at most kBufferBytes) are available
  // or the file ends; returns what is available then.
  [[nodiscard]] Result<std::span<const std::uint8_t>> fill(std::size_t want = 1);
  void consume(std::size_t n) noexcept {
    begin_ += n;
    consumed_ += n;
  }
  // True once the end of the file was read and every byte consumed.
  bool finished() const noexcept { return eof_ && begin_ == end_; }
  // Bytes consumed since the start of the file.
  std::uint64_t consumed() const noexcept { return consumed_; }
  // The file's size when it is a regular file.
  std::optional<std::uint64_t> regular_size() const noexcept { return regular_size_; }

  // Reads a line starting with `marker` at the current position, consumes
  // it with its line feed and returns its text (at most kLongestKeptLine
  // bytes are kept; the rest of a longer line is passed over). nullopt when
  // the next byte is not `marker` (nothing consumed).
  static constexpr std::size_t kLongestKeptLine = 4096;
  [[nodiscard]] Result<std::optional<std::string>> marked_line(std::uint8_t marker);

 private:
  ByteStream(FileHandle file, std::optional<std::uint64_t> size, const Interruptions& interrupts)
      : file_(std::move(file)), regular_size_(size), interrupts_(&interrupts) {}
  std::size_t first_buffer_bytes() const noexcept;

  FileHandle file_;
  std::optional<std::uint64_t> regular_size_;
  const Interruptions* interrupts_;
  std::vector<std::uint8_t> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool eof_ = false;
  std::uint64_t consumed_ = 0;
};

// Little-endian loads from a byte pointer.
inline std::uint16_t load_le16(const std::uint8_t* p) noexcept {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t load_le32(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint32_t load_be32(const std::uint8_t* p) noexcept {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

}  // namespace ovk::io
