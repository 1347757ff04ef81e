#include "cli/sweep_resume.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "cli/row_table.h"
#include "io/file_access.h"

namespace ovk::cli {
namespace {

constexpr std::size_t kReadBlock = std::size_t{1} << 20;
constexpr std::size_t kAppendBuffer = std::size_t{1} << 20;
// No row comes near this; a longer line is not one.
constexpr std::size_t kLongestRecord = std::size_t{16} << 20;

Error invalid(std::string message) { return Error(ErrorKind::kInvalidInput, std::move(message)); }
Error system_error(int code) { return io::os_error(code); }

// What the rows already in the file tell.
class RowScan {
 public:
  RowScan(const std::string& csv_header, std::size_t rows_per_recording)
      : header_(csv_header), rows_per_recording_(rows_per_recording) {}

  // One complete record (line feed included) starting at `offset`.
  Status add(std::string_view record, std::uint64_t offset, std::uint64_t line) {
    end_ = offset + record.size();
    record.remove_suffix(1);
    if (!header_.empty() && line == 1) {
      if (std::string(record) + "\n" != header_) {
        return invalid("its header is not the one this sweep writes (other --baselines?)");
      }
      header_seen_ = true;
      return Ok{};
    }
    const std::optional<std::string> path = path_of(record);
    if (!path) return invalid("line " + std::to_string(line) + " is not a row of ovk sweep");
    if (*path != last_path_) {
      last_path_ = *path;
      last_start_ = offset;
    }
    if (++rows_[*path] > rows_per_recording_) {
      return invalid(*path + " has more rows than this sweep writes for a recording "
                             "(resume with the options of the sweep that wrote the file)");
    }
    return Ok{};
  }

  // Where the file's complete rows end; a recording with only some of its
  // rows, necessarily the last one written, is left out.
  std::uint64_t keep_bytes() const {
    if (!last_path_.empty() && rows_.at(last_path_) < rows_per_recording_) return last_start_;
    return end_;
  }

  // Every recording but the last written has all its rows, or the file was
  // written by a sweep with other options.
  Result<std::set<std::string>> done() const {
    std::set<std::string> out;
    for (const auto& [path, rows] : rows_) {
      if (rows == rows_per_recording_) {
        out.insert(path);
      } else if (path != last_path_) {
        return invalid(path + " has fewer rows than this sweep writes for a recording "
                              "(resume with the options of the sweep that wrote the file)");
      }
    }
    return out;
  }

  bool header_seen() const { return header_seen_; }

 private:
  std::optional<std::string> path_of(std::string_view record) const {
    if (header_.empty()) {
      const std::optional<Row> row = parse_json_row(record);
      const Cell* path = row ? find_cell(*row, "path") : nullptr;
      if (path == nullptr || !path->is_string) return std::nullopt;
      return path->text;
    }
    const std::optional<std::vector<std::string>> fields = split_csv_record(record);
    if (!fields || fields->size() < 2) return std::nullopt;
    return fields->front();
  }

  std::string header_;
  std::size_t rows_per_recording_;
  std::map<std::string, std::size_t> rows_;
  std::string last_path_;
  std::uint64_t last_start_ = 0;
  std::uint64_t end_ = 0;
  bool header_seen_ = false;
};

// Reads the whole file a block at a time, handing each complete record to
// `scan`; a last record without its line feed is left for truncation.
Status scan_records(int fd, RowScan& scan, bool csv) {
  std::string pending;
  std::uint64_t offset = 0;
  std::uint64_t line = 0;
  std::vector<char> block(kReadBlock);
  for (;;) {
    const ssize_t n = ::read(fd, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return system_error(errno);
    if (n == 0) return Ok{};
    pending.append(block.data(), static_cast<std::size_t>(n));
    std::size_t used = 0;
    while (const std::optional<std::size_t> length =
               record_length(std::string_view(pending).substr(used), csv)) {
      OVK_RETURN_IF_ERROR(scan.add(std::string_view(pending).substr(used, *length), offset, ++line));
      offset += *length;
      used += *length;
    }
    pending.erase(0, used);
    if (pending.size() > kLongestRecord) {
      return invalid("line " + std::to_string(line + 1) + " is not a row of ovk sweep");
    }
  }
}

}  // namespace

Result<ResumedOutput> open_for_resume(const std::string& path, const std::string& csv_header,
                                      std::size_t rows_per_recording) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return system_error(errno);
  ResumedOutput out;
  out.file.reset(::fdopen(fd, "r+"));
  if (!out.file) {
    const int code = errno;
    ::close(fd);
    return system_error(code);
  }
  struct stat info{};
  if (::fstat(fd, &info) != 0) return system_error(errno);
  if (!S_ISREG(info.st_mode)) return invalid("--resume needs a regular file to append to");
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return invalid("another sweep is writing this file");
    return system_error(errno);
  }
  const bool csv = !csv_header.empty();
  RowScan scan(csv_header, rows_per_recording);
  OVK_RETURN_IF_ERROR(scan_records(fd, scan, csv));
  OVK_ASSIGN_OR_RETURN(out.done, scan.done());
  const std::uint64_t keep = scan.keep_bytes();
  if (::ftruncate(fd, static_cast<off_t>(keep)) != 0) return system_error(errno);
  std::setvbuf(out.file.get(), nullptr, _IOFBF, kAppendBuffer);
  if (std::fseek(out.file.get(), 0, SEEK_END) != 0) return system_error(errno);
  out.needs_csv_header = csv && !scan.header_seen();
  return out;
}

}  // namespace ovk::cli
