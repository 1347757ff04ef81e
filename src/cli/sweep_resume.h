// `ovk sweep --resume -o FILE`: the sweep appends to FILE and skips the
// recordings whose rows it already holds. Each recording's rows are flushed
// when it finishes, so an interrupted sweep loses only the recordings in
// progress; what it left half written (a cut last line, or a recording
// with some of its rows) is cut away before new rows are appended. FILE is
// locked (flock) while the sweep runs, so two sweeps never append to it at
// once.
#pragma once

#include <cstdio>
#include <memory>
#include <set>
#include <string>

#include "codec/result.h"

namespace ovk::cli {

struct StdioCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

struct ResumedOutput {
  std::unique_ptr<std::FILE, StdioCloser> file;  // locked, positioned at its end
  std::set<std::string> done;                    // recordings with all their rows
  bool needs_csv_header = false;                 // a csv file that has no header yet
};

// Opens (or creates) `path` for appending rows. `csv_header` is the header
// record the sweep writes, line feed included, or empty for jsonl;
// `rows_per_recording` is the number of rows a measured recording has.
// Fails when `path` is not a regular file, another sweep holds it, or it
// holds rows this sweep would not write (another header, a complete line
// that is not a row, more rows for a recording than it has).
Result<ResumedOutput> open_for_resume(const std::string& path, const std::string& csv_header,
                                      std::size_t rows_per_recording);

}  // namespace ovk::cli
