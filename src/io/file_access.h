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

// What a blocking open or read does when a signal interrupts it (EINTR). A
// caller whose signal handlers run outside the handler itself (an interpreter
// that only flags the signal) decides there whether the operation goes on.
class Interruptions {
 public:
  // Ok to repeat the interrupted call; an error ends the operation with it.
  virtual Status on_interrupt() const = 0;

 protected:
  ~Interruptions() = default;
};

// Repeats every interrupted call: the choice of a program whose signal
// handlers do their work inside the handler, or that has none.
const Interruptions& retry_interrupted() noexcept;

// The system's description of error number `errnum`, then " (os error N)".
std::string os_error_message(int errnum);

// Error of category kOsError whose message is os_error_message(errnum).
Error os_error(int errnum);

// Opens `path` read-only with close-on-exec. The text goes to the operating
// system unchanged; a path holding a NUL character fails before any system
// call with "file name contained an unexpected NUL byte". An open blocked
// (on a FIFO without a writer, say) and interrupted asks `interrupts`.
Result<FileHandle> open_for_reading(std::string_view path,
                                    const Interruptions& interrupts = retry_interrupted());

// One read(2) into `buffer`; an interrupted read asks `interrupts`. Returns
// the number of bytes read, 0 at end of file.
Result<std::size_t> read_some(const FileHandle& file, std::span<std::uint8_t> buffer,
                              const Interruptions& interrupts = retry_interrupted());

// All bytes of the file at `path`. The first reservation is sized from
// fstat/lseek; a reservation that cannot be made fails with "out of memory".
Result<std::vector<std::uint8_t>> read_whole_file(
    std::string_view path, const Interruptions& interrupts = retry_interrupted());

// An empty event vector with room for `count` events, or "out of memory".
Result<EventVec> reserve_events(std::size_t count);

}  // namespace ovk::io
