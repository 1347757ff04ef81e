// Every file the `ovk` tool writes goes through OutputFile, so no command
// can destroy or empty an existing file the user did not ask to replace.
//
// The rules, as zstd and xz have them:
// - An existing output is refused unless the command was given -f/--force.
// - An output that is one of the command's inputs (the same device and
//   inode, whatever the names) is refused, even with --force.
// - A regular file is written to a temporary file beside it, flushed to the
//   disk and renamed over it, so it appears whole or not at all. A replaced
//   file keeps its permission bits (and owner, where allowed); a file with
//   other hard links is rewritten in place once the new content is complete,
//   so the links keep sharing it.
// - A symbolic link is written through: the file it points to is replaced.
// - A special file (a FIFO, a terminal or another device) is written in
//   place, never replaced, and needs no --force; "-" names standard output
//   where the command allows it.
// - While a temporary file exists it is registered, so SIGINT, SIGTERM and
//   SIGHUP remove it before the process dies of the signal (exit status
//   128 + signal in the shell); see install_signal_cleanup.
//
// Use:
//   OVK_ASSIGN_OR_RETURN(OutputFile out, OutputFile::open(path, policy));
//   OVK_RETURN_IF_ERROR(out.write(bytes));     // or fprintf(out.stream(), ...)
//   OVK_RETURN_IF_ERROR(out.commit());         // nothing is visible before this
// An OutputFile destroyed before commit() leaves the target as it was.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "codec/result.h"
#include "io/file_write.h"

namespace ovk::cli {

// What the user allowed for one output.
struct OutputPolicy {
  bool force = false;               // an existing regular file may be replaced
  bool allow_stdout = false;        // "-" names standard output
  std::vector<std::string> inputs;  // files the command reads; the output may be none of them
};

// Adds `-f,--force` ("replace an existing output file") to a subcommand.
void add_force_option(CLI::App& command, bool& force);

// The policy's checks alone (existing output, output among the inputs, a
// folder as output), for a command that wants to refuse before working.
// Messages are one line, to be reported against the output's path.
[[nodiscard]] Status check_output(const std::string& path, const OutputPolicy& policy);

class OutputFile {
 public:
  // Checks the policy and opens the output: a registered temporary file
  // for a regular file, the file itself for a special file, standard output
  // for "-".
  [[nodiscard]] static Result<OutputFile> open(const std::string& path,
                                               const OutputPolicy& policy);

  OutputFile(OutputFile&&) noexcept;
  OutputFile& operator=(OutputFile&&) noexcept;
  ~OutputFile();

  // Appends `bytes`, repeating short and interrupted writes.
  [[nodiscard]] Status write(std::span<const std::uint8_t> bytes);

  // A buffered stream on the same output, for row writers; what it holds is
  // flushed by commit(). Do not mix with write() without fflush in between.
  std::FILE* stream();

  // The descriptor written to (for copy_file_range); -1 once committed.
  int fd() const noexcept;

  // True for standard output and special files written in place.
  bool in_place() const noexcept;

  // The temporary file's path, for a writer that opens it by name (HDF5);
  // empty for an output written in place.
  std::string temporary_path() const;

  // Flushes everything, checks for write errors and, for a regular file,
  // puts the new content in place. The output is spent afterwards.
  [[nodiscard]] Status commit();

 private:
  struct State;
  explicit OutputFile(std::unique_ptr<State> state) noexcept;
  std::unique_ptr<State> state_;
};

// The policy check, then `bytes` written and committed; false after
// reporting the failure as "path: message".
bool write_output_file(const std::string& path, const OutputPolicy& policy,
                       std::span<const std::uint8_t> bytes);

// Installs the SIGINT, SIGTERM and SIGHUP handlers that remove the
// registered temporary files and then let the signal end the process (a
// signal ignored when the program started stays ignored). Call once, early,
// from the main thread: the cleanup runs there, and output files are opened
// and dropped there.
void install_signal_cleanup();

// The fixed table of live temporary files the handlers remove. A path that
// does not fit (longer than PATH_MAX, or the table full) is not registered;
// false then. Signals are blocked while the table changes.
bool register_temporary(const std::string& path);
void unregister_temporary(const std::string& path);

}  // namespace ovk::cli
