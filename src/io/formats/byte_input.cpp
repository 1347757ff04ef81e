#include "io/formats/byte_input.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace ovk::io {
namespace {

// Reads through a 1 MiB buffer so that the many small headers of a packet
// stream cost no system call each; large reads bypass it.
class FileInput final : public ByteInput {
 public:
  FileInput(FileHandle file, std::optional<std::uint64_t> size)
      : file_(std::move(file)), size_(size) {}

  Result<std::size_t> read(std::span<std::uint8_t> out) override {
    std::size_t done = take_buffered(out);
    while (done < out.size()) {
      const auto rest = out.subspan(done);
      if (rest.size() >= kBufferBytes) {
        OVK_ASSIGN_OR_RETURN(const std::size_t n, read_some(file_, rest));
        if (n == 0) break;
        done += n;
        position_ += n;
        continue;
      }
      OVK_ASSIGN_OR_RETURN(const bool more, refill());
      if (!more) break;
      done += take_buffered(rest);
    }
    return done;
  }

  Result<std::uint64_t> skip(std::uint64_t count) override {
    std::uint64_t done = 0;
    while (done < count) {
      if (start_ == end_) {
        OVK_ASSIGN_OR_RETURN(const bool more, refill());
        if (!more) break;
      }
      const std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(count - done, end_ - start_));
      start_ += n;
      position_ += n;
      done += n;
    }
    return done;
  }

  std::optional<std::uint64_t> total_size() const override { return size_; }
  std::uint64_t position() const override { return position_; }

 private:
  static constexpr std::size_t kBufferBytes = std::size_t{1} << 20;

  std::size_t take_buffered(std::span<std::uint8_t> out) {
    const std::size_t n = std::min(out.size(), end_ - start_);
    if (n != 0) std::memcpy(out.data(), buffer_.data() + start_, n);
    start_ += n;
    position_ += n;
    return n;
  }

  Result<bool> refill() {
    if (buffer_.empty()) {
      OVK_RETURN_IF_ERROR(catching_out_of_memory([&]() -> Status {
        buffer_.resize(kBufferBytes);
        return Ok{};
      }));
    }
    OVK_ASSIGN_OR_RETURN(const std::size_t n, read_some(file_, buffer_));
    start_ = 0;
    end_ = n;
    return n != 0;
  }

  FileHandle file_;
  std::optional<std::uint64_t> size_;
  std::vector<std::uint8_t> buffer_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
  std::uint64_t position_ = 0;
};

}  // namespace

Result<std::unique_ptr<ByteInput>> open_byte_input(std::string_view path) {
  OVK_ASSIGN_OR_RETURN(FileHandle file, open_for_reading(path));
  struct stat info{};
  if (::fstat(file.fd(), &info) != 0) return os_error(errno);
  std::optional<std::uint64_t> size;
  if (S_ISREG(info.st_mode)) size = static_cast<std::uint64_t>(info.st_size);
  return std::unique_ptr<ByteInput>(std::make_unique<FileInput>(std::move(file), size));
}

}  // namespace ovk::io
