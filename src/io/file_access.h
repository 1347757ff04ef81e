// File access shared by the recording readers: opening a path given as UTF-8
// text, reading a whole file into memory, the wording of operating-system
// failures, and the allocations whose failure is reported as "out of memory".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/event.h"
#include "codec/result.h"

namespace ovk::io {

// Owns an open file descriptor and closes it when destroyed. Move-only.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int fd) noexcept : fd_(fd) {}
  FileHandle(FileHandle&& other) noexcept : fd_(other.release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle();

  int fd() const noexcept { return fd_; }
  bool is_open() const noexcept { return fd_ >= 0; }
  // Gives up ownership without closing; returns the descriptor.
  int release() noexcept;

 private:
  int fd_ = -1;
};

// The system's description of error number `errnum`, then " (os error N)".
std::string os_error_message(int errnum);

// Error of category kOsError whose message is os_error_message(errnum).
Error os_error(int errnum);

// Opens `path` read-only with close-on-exec. The text goes to the operating
// system unchanged; a path holding a NUL character fails before any system
// call with "file name contained an unexpected NUL byte".
Result<FileHandle> open_for_reading(std::string_view path);

// One read(2) into `buffer`, repeated while interrupted by a signal. Returns
// the number of bytes read, 0 at end of file.
Result<std::size_t> read_some(const FileHandle& file, std::span<std::uint8_t> buffer);

// All bytes of the file at `path`. The first reservation is sized from
// fstat/lseek; a reservation that cannot be made fails with "out of memory".
Result<std::vector<std::uint8_t>> read_whole_file(std::string_view path);

// An empty event vector with room for `count` events, or "out of memory".
Result<EventVec> reserve_events(std::size_t count);

}  // namespace ovk::io
