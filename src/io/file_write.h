// Writing output files so that a failure never leaves a partial file: the
// bytes go to a temporary file in the target's folder, which is flushed and
// then renamed over the target.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "codec/result.h"
#include "io/file_access.h"

namespace ovk::io {

// A file written piece by piece that appears at its path whole or not at
// all. The pieces go to a temporary file beside the target; commit() flushes
// it to the disk and renames it over the target. A writer destroyed (or
// assigned over) before a successful commit removes its temporary file and
// leaves the target as it was. Move-only. Errors carry the operating
// system's message, as os_error_message gives it.
class AtomicFileWriter {
 public:
  // Creates the temporary file for `path`; nothing is visible at `path` yet.
  [[nodiscard]] static Result<AtomicFileWriter> create(std::string_view path);

  AtomicFileWriter(AtomicFileWriter&& other) noexcept;
  AtomicFileWriter& operator=(AtomicFileWriter&& other) noexcept;
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
  ~AtomicFileWriter();

  // Appends `bytes`, repeating short and interrupted writes.
  [[nodiscard]] Status write(std::span<const std::uint8_t> bytes);

  // The temporary file's descriptor, open for writing at the end of what has
  // been written, for callers that fill it by other means (copy_file_range).
  // -1 once committed.
  int fd() const noexcept { return file_.fd(); }

  // The temporary file's path; empty once committed.
  const std::string& temporary_path() const noexcept { return temporary_; }

  // Flushes the file to the disk, closes it and renames it over the target.
  // Whatever the outcome the writer is spent afterwards: on failure the
  // temporary file is removed and the target is left as it was.
  [[nodiscard]] Status commit();

 private:
  AtomicFileWriter(std::string target, std::string temporary, FileHandle file) noexcept
      : target_(std::move(target)), temporary_(std::move(temporary)), file_(std::move(file)) {}

  // Closes and removes the temporary file, if any.
  void discard() noexcept;

  void start_writeback() noexcept;

  std::string target_;
  std::string temporary_;
  FileHandle file_;
  std::uint64_t written_ = 0;         // bytes appended so far
  std::uint64_t writeback_from_ = 0;  // where the next writeback request starts
};

}  // namespace ovk::io
