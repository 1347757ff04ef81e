#include "io/file_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "io/file_access.h"

namespace ovk::io {
namespace {

// The temporary name: the target's folder, a dot, the target's name and a
// suffix unique to this process and call, so the rename never crosses file
// systems and concurrent writers never share a temporary file.
std::string temporary_name(std::string_view path) {
  static std::atomic<std::uint64_t> counter{0};
  const std::size_t slash = path.rfind('/');
  const std::string_view folder = slash == std::string_view::npos ? "" : path.substr(0, slash + 1);
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  std::string out(folder);
  out += '.';
  out += name;
  out += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  return out;
}

Status write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return Ok{};
}

}  // namespace

Status write_file_atomically(std::string_view path, std::span<const std::uint8_t> bytes) {
  if (path.find('\0') != std::string_view::npos) {
    return Error(ErrorKind::kInvalidInput, "file name contained an unexpected NUL byte");
  }
  std::string temp;
  int fd = -1;
  do {
    temp = temporary_name(path);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (fd < 0 && (errno == EEXIST || errno == EINTR));
  if (fd < 0) return os_error(errno);
  FileHandle file(fd);
  Status written = write_all(file.fd(), bytes);
  if (written.ok() && ::fsync(file.fd()) != 0) written = os_error(errno);
  if (written.ok() && ::close(file.release()) != 0) written = os_error(errno);
  if (written.ok() && ::rename(temp.c_str(), std::string(path).c_str()) != 0) {
    written = os_error(errno);
  }
  if (!written.ok()) ::unlink(temp.c_str());
  return written;
}

}  // namespace ovk::io
