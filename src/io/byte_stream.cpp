#include "io/byte_stream.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

namespace ovk::io {

Result<ByteStream> ByteStream::open(std::string_view path, const Interruptions& interrupts) {
  OVK_ASSIGN_OR_RETURN(FileHandle file, open_for_reading(path, interrupts));
  struct stat info{};
  std::optional<std::uint64_t> size;
  if (::fstat(file.fd(), &info) == 0 && S_ISREG(info.st_mode)) {
    size = static_cast<std::uint64_t>(info.st_size);
  }
  return ByteStream(std::move(file), size, interrupts);
}

// A regular file smaller than the buffer gets a buffer of its own size (and
// a byte more, to see its end), so reading a small file costs what the file
// costs; the buffer grows to kBufferBytes when more is wanted or the file
// grew meanwhile.
std::size_t ByteStream::first_buffer_bytes() const noexcept {
  if (!regular_size_) return kBufferBytes;
  return static_cast<std::size_t>(
      std::clamp<std::uint64_t>(*regular_size_ + 1, kSmallestBufferBytes, kBufferBytes));
}

Result<std::span<const std::uint8_t>> ByteStream::fill(std::size_t want) {
  want = std::min(want, kBufferBytes);
  if (buffer_.empty()) {
    OVK_RETURN_IF_ERROR(catching_out_of_memory([&]() -> Status {
      buffer_.resize(first_buffer_bytes());
      return Ok{};
    }));
  }
  while (end_ - begin_ < want && !eof_) {
    if (end_ == buffer_.size()) {
      if (begin_ == 0) {
        OVK_RETURN_IF_ERROR(catching_out_of_memory([&]() -> Status {
          buffer_.resize(kBufferBytes);
          return Ok{};
        }));
      } else {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
      }
    }
    OVK_ASSIGN_OR_RETURN(const std::size_t n,
                         read_some(file_, std::span(buffer_).subspan(end_), *interrupts_));
    if (n == 0) eof_ = true;
    end_ += n;
  }
  return available();
}

Result<std::optional<std::string>> ByteStream::marked_line(std::uint8_t marker) {
  OVK_ASSIGN_OR_RETURN(std::span<const std::uint8_t> bytes, fill(1));
  if (bytes.empty() || bytes[0] != marker) return std::optional<std::string>();
  std::string line;
  for (;;) {
    const auto* newline = static_cast<const std::uint8_t*>(std::memchr(bytes.data(), '\n', bytes.size()));
    const std::size_t take = newline ? static_cast<std::size_t>(newline - bytes.data()) : bytes.size();
    const std::size_t keep = std::min(take, kLongestKeptLine - std::min(line.size(), kLongestKeptLine));
    line.append(reinterpret_cast<const char*>(bytes.data()), keep);
    consume(newline ? take + 1 : take);
    if (newline) break;
    OVK_ASSIGN_OR_RETURN(bytes, fill(1));
    if (bytes.empty()) break;  // a header line ended by the end of the file
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return std::optional<std::string>(std::move(line));
}

}  // namespace ovk::io
