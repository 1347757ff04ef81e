#include "io/file_write.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

namespace ovk::io {
namespace {

// 64 random bits in hexadecimal. getrandom never fails for so few bytes once
// the system is up; should it, the process id still tells processes apart
// and the caller's exclusive create tries again.
std::string random_suffix() {
  std::uint64_t bits = static_cast<std::uint64_t>(::getpid());
  (void)::getrandom(&bits, sizeof bits, 0);
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
  return text;
}

// The temporary name: the target's folder, a dot, the target's name and a
// random suffix, so the rename never crosses file systems and concurrent
// writers never share a temporary file (it is created exclusively).
std::string temporary_name(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  const std::string_view folder = slash == std::string_view::npos ? "" : path.substr(0, slash + 1);
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  std::string out(folder);
  out += '.';
  out += name;
  out += ".tmp-" + random_suffix();
  return out;
}

}  // namespace

Result<AtomicFileWriter> AtomicFileWriter::create(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return Error(ErrorKind::kInvalidInput, "file name contained an unexpected NUL byte");
  }
  // A name already taken is drawn again, a bounded number of times.
  constexpr int kAttempts = 64;
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < kAttempts && fd < 0; ++attempt) {
    temporary = temporary_name(path);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST && errno != EINTR) break;
  }
  if (fd < 0) return os_error(errno);
  return AtomicFileWriter(std::string(path), std::move(temporary), FileHandle(fd));
}

AtomicFileWriter::AtomicFileWriter(AtomicFileWriter&& other) noexcept
    : target_(std::move(other.target_)),
      temporary_(std::exchange(other.temporary_, std::string())),
      file_(std::move(other.file_)),
      written_(std::exchange(other.written_, 0)),
      writeback_from_(std::exchange(other.writeback_from_, 0)) {}

AtomicFileWriter& AtomicFileWriter::operator=(AtomicFileWriter&& other) noexcept {
  if (this != &other) {
    discard();
    target_ = std::move(other.target_);
    temporary_ = std::exchange(other.temporary_, std::string());
    file_ = std::move(other.file_);
    written_ = std::exchange(other.written_, 0);
    writeback_from_ = std::exchange(other.writeback_from_, 0);
  }
  return *this;
}

AtomicFileWriter::~AtomicFileWriter() { discard(); }

void AtomicFileWriter::discard() noexcept {
  file_ = FileHandle();
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
}

Status AtomicFileWriter::write(std::span<const std::uint8_t> bytes) {
  if (!file_.is_open()) OVK_FAULT("write to an atomic file writer that holds no file");
  while (!bytes.empty()) {
    const ssize_t n = ::write(file_.fd(), bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
    written_ += static_cast<std::uint64_t>(n);
  }
  start_writeback();
  return Ok{};
}

// Asks the system to start writing what has piled up since the last request,
// without waiting for it: the disk then works while the caller goes on
// producing, and the sync at commit finds most of the file written.
void AtomicFileWriter::start_writeback() noexcept {
#if defined(__linux__)
  constexpr std::uint64_t kWritebackBytes = std::uint64_t{8} << 20;
  if (written_ - writeback_from_ < kWritebackBytes) return;
  (void)::sync_file_range(file_.fd(), static_cast<off64_t>(writeback_from_),
                          static_cast<off64_t>(written_ - writeback_from_), SYNC_FILE_RANGE_WRITE);
  writeback_from_ = written_;
#endif
}

Status AtomicFileWriter::commit() {
  if (!file_.is_open()) OVK_FAULT("commit of an atomic file writer that holds no file");
  Status done = Ok{};
  if (::fsync(file_.fd()) != 0) done = os_error(errno);
  if (done.ok() && ::close(file_.release()) != 0) done = os_error(errno);
  if (done.ok() && ::rename(temporary_.c_str(), target_.c_str()) != 0) done = os_error(errno);
  if (done.ok()) temporary_.clear();
  discard();
  return done;
}

}  // namespace ovk::io
