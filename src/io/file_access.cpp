#include "io/file_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace ovk::io {
namespace {

// strerror_r comes in two flavours: the XSI one returns an int and fills the
// buffer, the GNU one returns the text (which may or may not be the buffer).
// Overloading on the return type picks whichever the C library provides.
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* strerror_text(const char* result, const char* /*buffer*/) {
  return result;
}

// Size hint for a file opened at its current position: the bytes between the
// position and the end, or 0 when that cannot be known.
std::size_t size_hint(const FileHandle& file) {
  struct stat info{};
  if (::fstat(file.fd(), &info) != 0) return 0;
  const off_t position = ::lseek(file.fd(), 0, SEEK_CUR);
  if (position < 0 || info.st_size < position) return 0;
  return static_cast<std::size_t>(info.st_size - position);
}

// Resizes `buffer` to `size` bytes, or "out of memory".
Status try_resize(std::vector<std::uint8_t>& buffer, std::size_t size) {
  return catching_out_of_memory([&]() -> Status {
    buffer.resize(size);
    return Ok{};
  });
}

constexpr std::size_t kMinimumGrowth = 8192;

class RetryInterrupted final : public Interruptions {
 public:
  Status on_interrupt() const override { return Ok{}; }
};

// Runs `call` (a system call returning -1 with errno on failure) until it
// succeeds, fails otherwise than by EINTR, or `interrupts` ends it.
template <class Call>
auto retrying(const Interruptions& interrupts, Call call) -> Result<decltype(call())> {
  for (;;) {
    const auto result = call();
    if (result >= 0) return result;
    if (errno != EINTR) return os_error(errno);
    OVK_RETURN_IF_ERROR(interrupts.on_interrupt());
  }
}

}  // namespace

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

FileHandle::~FileHandle() {
  // A failed close of a file opened for reading loses no data; there is
  // nothing useful to do with its error.
  if (fd_ >= 0) ::close(fd_);
}

const Interruptions& retry_interrupted() noexcept {
  static constexpr RetryInterrupted kRetry;
  return kRetry;
}

int FileHandle::release() noexcept {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

std::string os_error_message(int errnum) {
  std::array<char, 256> buffer{};
  const char* text =
      strerror_text(::strerror_r(errnum, buffer.data(), buffer.size()), buffer.data());
  return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

Error os_error(int errnum) {
  return Error(ErrorKind::kOsError, os_error_message(errnum), errnum);
}

Result<FileHandle> open_for_reading(std::string_view path, const Interruptions& interrupts) {
  if (path.find('\0') != std::string_view::npos) {
    return Error(ErrorKind::kInvalidInput, "file name contained an unexpected NUL byte");
  }
  const std::string terminated(path);
  OVK_ASSIGN_OR_RETURN(const int fd, retrying(interrupts, [&] {
                         return ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC);
                       }));
  return FileHandle(fd);
}

Result<std::size_t> read_some(const FileHandle& file, std::span<std::uint8_t> buffer,
                              const Interruptions& interrupts) {
  OVK_ASSIGN_OR_RETURN(const ssize_t n, retrying(interrupts, [&] {
                         return ::read(file.fd(), buffer.data(), buffer.size());
                       }));
  return static_cast<std::size_t>(n);
}

Result<std::vector<std::uint8_t>> read_whole_file(std::string_view path,
                                                  const Interruptions& interrupts) {
  OVK_ASSIGN_OR_RETURN(const FileHandle file, open_for_reading(path, interrupts));

  std::vector<std::uint8_t> buffer;
  OVK_RETURN_IF_ERROR(try_resize(buffer, size_hint(file)));

  std::size_t filled = 0;
  for (;;) {
    if (filled == buffer.size()) {
      // The buffer is full, which for a regular file usually means the hint
      // was exact. Probe with a small read before growing so that reaching
      // the end does not double the buffer.
      std::array<std::uint8_t, 64> probe{};
      OVK_ASSIGN_OR_RETURN(const std::size_t n, read_some(file, probe, interrupts));
      if (n == 0) break;
      const std::size_t grown = filled + std::max(filled, kMinimumGrowth);
      if (grown < filled) return Error::out_of_memory();
      OVK_RETURN_IF_ERROR(try_resize(buffer, grown));
      std::memcpy(buffer.data() + filled, probe.data(), n);
      filled += n;
      continue;
    }
    OVK_ASSIGN_OR_RETURN(const std::size_t n,
                         read_some(file, std::span(buffer).subspan(filled), interrupts));
    if (n == 0) break;
    filled += n;
  }
  buffer.resize(filled);
  return buffer;
}

Result<EventVec> reserve_events(std::size_t count) {
  return catching_out_of_memory([&]() -> Result<EventVec> {
    EventVec events;
    events.reserve(count);
    return events;
  });
}

}  // namespace ovk::io
