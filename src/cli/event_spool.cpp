#include "cli/event_spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>

namespace ovk::cli {
namespace {

constexpr std::size_t kBufferEvents = std::size_t{1} << 16;

// The file never leaves the process that wrote it: fields in its byte order.
void put_record(const Event64& e, std::uint8_t* out) {
  std::memcpy(out, &e.t, 8);
  std::memcpy(out + 8, &e.x, 2);
  std::memcpy(out + 10, &e.y, 2);
  out[12] = e.p;
}

Event64 get_record(const std::uint8_t* in) {
  Event64 e;
  std::memcpy(&e.t, in, 8);
  std::memcpy(&e.x, in + 8, 2);
  std::memcpy(&e.y, in + 10, 2);
  e.p = in[12];
  return e;
}

Error spool_error(const std::string& what, int errnum) {
  return Error(ErrorKind::kOsError,
               "cannot " + what + " the temporary file that holds a pipe's events: " +
                   io::os_error_message(errnum),
               errnum);
}

// Reads the spool's records from the first on, a block at a time.
class SpoolSource final : public io::EventSource {
 public:
  SpoolSource(int fd, std::uint64_t events) : fd_(fd), left_(events) {}

  [[nodiscard]] Status next_block(Event64Vec& block) override {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left_, io::kSourceBlockEvents));
    block.resize(count);
    bytes_.resize(count * EventSpool::kRecordBytes);
    std::size_t done = 0;
    while (done < bytes_.size()) {
      const ssize_t n = ::pread(fd_, bytes_.data() + done, bytes_.size() - done,
                                static_cast<off_t>(offset_ + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        block.clear();
        return n < 0 ? spool_error("read", errno) : spool_error("read", EIO);
      }
      done += static_cast<std::size_t>(n);
    }
    for (std::size_t i = 0; i < count; ++i) {
      block[i] = get_record(bytes_.data() + i * EventSpool::kRecordBytes);
    }
    offset_ += bytes_.size();
    left_ -= count;
    return Ok{};
  }

 private:
  int fd_;
  std::uint64_t left_;
  std::uint64_t offset_ = 0;
  std::vector<std::uint8_t> bytes_;
};

}  // namespace

Result<EventSpool> EventSpool::create(const std::string& folder) {
  std::string where = folder;
  if (where.empty()) {
    const char* tmpdir = std::getenv("TMPDIR");
    where = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
  }
  std::string name = where + "/ovk-spool-XXXXXX";
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return spool_error("make", errno);
  io::FileHandle file(fd);
  if (::unlink(name.c_str()) != 0) return spool_error("unlink", errno);
  return EventSpool(std::move(file));
}

Status EventSpool::append(std::span<const Event64> events) {
  for (const Event64& e : events) {
    if (buffer_.size() >= kBufferEvents * kRecordBytes) OVK_RETURN_IF_ERROR(flush());
    const std::size_t at = buffer_.size();
    buffer_.resize(at + kRecordBytes);
    put_record(e, buffer_.data() + at);
    ++events_;
  }
  return Ok{};
}

Status EventSpool::flush() {
  std::span<const std::uint8_t> left(buffer_);
  while (!left.empty()) {
    const ssize_t n = ::write(file_.fd(), left.data(), left.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return spool_error("write", errno);
    left = left.subspan(static_cast<std::size_t>(n));
  }
  buffer_.clear();
  flushed_ = events_;
  return Ok{};
}

std::unique_ptr<io::EventSource> EventSpool::source() const {
  return std::make_unique<SpoolSource>(file_.fd(), flushed_);
}

}  // namespace ovk::cli
