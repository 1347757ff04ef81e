// CSV and plain-text recordings as a stream. Without a column order the
// lines are read exactly as the module's loader reads them (x, y, t, p); a
// header line of column names, or --columns, gives another order, and
// timestamps may then take 64 bits. Errors name the line.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "io/csv_line.h"
#include "io/event_sources.h"
#include "io/stream_source.h"

namespace ovk::io {
namespace {

// A line longer than this cannot be a recording's line.
constexpr std::size_t kLongestLine = std::size_t{16} << 20;

std::string_view trimmed(std::span<const std::uint8_t> line) {
  const std::span<const std::uint8_t> kept = trim_ascii(line);
  return {reinterpret_cast<const char*>(kept.data()), kept.size()};
}

std::vector<std::string_view> split_fields(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && is_csv_separator(static_cast<std::uint8_t>(text[pos]))) ++pos;
    const std::size_t start = pos;
    while (pos < text.size() && !is_csv_separator(static_cast<std::uint8_t>(text[pos]))) ++pos;
    if (pos > start) out.push_back(text.substr(start, pos - start));
  }
  return out;
}

// Columns named by a header line, when it names all four fields.
std::optional<CsvColumns> columns_of_header(std::string_view text) {
  CsvColumns columns;
  std::array<int, 4> seen{};
  for (const std::string_view name : split_fields(text)) {
    const int role = event_field_role(name);
    if (role >= 0 && seen[static_cast<std::size_t>(role)]++ > 0) return std::nullopt;
    columns.roles.push_back(static_cast<std::int8_t>(role));
  }
  for (const int n : seen) {
    if (n != 1) return std::nullopt;
  }
  return columns;
}

CsvLineFault parse_number(std::string_view field, std::uint64_t max, std::uint64_t& value) {
  if (!field.empty() && field.front() == '+') field.remove_prefix(1);
  if (field.empty()) return CsvLineFault::kInvalidDigit;
  value = 0;
  CsvLineFault fault = CsvLineFault::kNone;
  for (const char c : field) {
    const auto digit = static_cast<unsigned>(static_cast<unsigned char>(c)) - '0';
    if (digit > 9) return fault == CsvLineFault::kNone ? CsvLineFault::kInvalidDigit : fault;
    if (fault != CsvLineFault::kNone) continue;
    if (__builtin_mul_overflow(value, 10, &value) || __builtin_add_overflow(value, digit, &value) ||
        value > max) {
      fault = CsvLineFault::kTooLarge;
    }
  }
  return fault;
}

class CsvSource final : public EventSource {
 public:
  CsvSource(ByteStream stream, std::optional<CsvColumns> columns, bool fixed)
      : stream_(std::move(stream)), columns_(std::move(columns)), fixed_(fixed) {}

  Status next_block(Event64Vec& block) override {
    block.clear();
    while (!done_ && block.size() < kSourceBlockEvents) {
      const Status status = step(block);
      if (!status.ok()) {
        done_ = true;
        block.clear();
        return status;
      }
    }
    return Ok{};
  }

 private:
  Error line_error(const Error& error) const {
    return Error(error.kind(), "line " + std::to_string(line_) + ": " + error.message());
  }

  // Handles the lines in the buffer (or the last, unterminated one).
  Status step(Event64Vec& block) {
    OVK_ASSIGN_OR_RETURN(std::span<const std::uint8_t> bytes, stream_.fill(1));
    if (bytes.empty()) {
      done_ = true;
      if (!pending_.empty()) return take_line(pending_, block);
      return Ok{};
    }
    if (!pending_.empty()) {
      const void* nl = std::memchr(bytes.data(), '\n', bytes.size());
      const std::size_t n = nl ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nl) - bytes.data()) + 1
                               : bytes.size();
      if (pending_.size() + n > kLongestLine) {
        return line_error(Error(ErrorKind::kInvalidData, "line longer than 16 MiB"));
      }
      pending_.insert(pending_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
      stream_.consume(n);
      if (nl == nullptr) return Ok{};
      const std::vector<std::uint8_t> line = std::move(pending_);
      pending_.clear();
      return take_line(line, block);
    }
    std::size_t pos = 0;
    while (pos < bytes.size() && block.size() < kSourceBlockEvents) {
      const std::span<const std::uint8_t> rest = bytes.subspan(pos);
      if (!columns_) {
        CsvLineScan scan;
        if (const std::size_t plain = scan_plain_csv_line(rest, scan); plain > 0) {
          ++line_;
          if (scan.fault != CsvLineFault::kNone) return line_error(csv_line_error(scan.fault));
          block.push_back(Event64{scan.event.x, scan.event.y, scan.event.t, scan.event.p});
          seen_data_ = true;
          pos += plain;
          continue;
        }
      }
      const void* nl = std::memchr(rest.data(), '\n', rest.size());
      if (nl == nullptr) break;
      const auto n = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nl) - rest.data()) + 1;
      OVK_RETURN_IF_ERROR(take_line(rest.first(n), block));
      pos += n;
    }
    stream_.consume(pos);
    if (pos == 0 && block.size() < kSourceBlockEvents) {
      // A line that does not end in the buffer: gather it.
      pending_.assign(bytes.begin(), bytes.end());
      stream_.consume(bytes.size());
    }
    return Ok{};
  }

  Status take_line(std::span<const std::uint8_t> line, Event64Vec& block) {
    ++line_;
    if (!columns_) {
      const CsvLineScan scan = scan_csv_line(line);
      if (scan.fault != CsvLineFault::kNone) return line_error(csv_line_error(scan.fault));
      if (scan.has_event) {
        block.push_back(Event64{scan.event.x, scan.event.y, scan.event.t, scan.event.p});
        seen_data_ = true;
        return Ok{};
      }
      const std::string_view text = trimmed(line);
      if (!fixed_ && !seen_data_ && !text.empty() && text.front() != '#') {
        columns_ = columns_of_header(text);
        // The usual order needs nothing but the loader's own reading.
        if (columns_ && *columns_ == CsvColumns{{0, 1, 2, 3}}) columns_.reset();
      }
      return Ok{};
    }
    return take_columns(trimmed(line), block);
  }

  Status take_columns(std::string_view text, Event64Vec& block) {
    if (text.empty() || text.front() == '#') return Ok{};
    const char first = text.front();
    if (!(first >= '0' && first <= '9') && first != '+' && first != '-') return Ok{};
    static constexpr std::array<std::uint64_t, 4> kLargest{65535, 65535, ~std::uint64_t{0}, 255};
    const std::vector<std::int8_t>& roles = columns_->roles;
    std::array<std::uint64_t, 4> values{};
    // The fields are walked in place; a line with fewer fields than columns
    // is skipped whatever they hold, so a bad field counts only once the
    // line is known to have them all.
    CsvLineFault fault = CsvLineFault::kNone;
    std::size_t pos = 0;
    std::size_t field = 0;
    for (; field < roles.size(); ++field) {
      while (pos < text.size() && is_csv_separator(static_cast<std::uint8_t>(text[pos]))) ++pos;
      if (pos == text.size()) break;
      const std::size_t start = pos;
      while (pos < text.size() && !is_csv_separator(static_cast<std::uint8_t>(text[pos]))) ++pos;
      if (roles[field] < 0 || fault != CsvLineFault::kNone) continue;
      const auto role = static_cast<std::size_t>(roles[field]);
      fault = parse_number(text.substr(start, pos - start), kLargest[role], values[role]);
    }
    if (field < roles.size()) return Ok{};
    if (fault != CsvLineFault::kNone) return line_error(csv_line_error(fault));
    block.push_back(Event64{static_cast<std::uint16_t>(values[0]),
                            static_cast<std::uint16_t>(values[1]), values[2],
                            static_cast<std::uint8_t>(values[3])});
    return Ok{};
  }

  ByteStream stream_;
  std::optional<CsvColumns> columns_;
  bool fixed_;
  bool seen_data_ = false;
  bool done_ = false;
  std::uint64_t line_ = 0;
  std::vector<std::uint8_t> pending_;
};

}  // namespace

int event_field_role(std::string_view name) {
  // "x@1280": a name with the sensor's size after it.
  name = name.substr(0, name.find('@'));
  std::string lower;
  for (const char c : name) lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
  if (lower == "x") return 0;
  if (lower == "y") return 1;
  if (lower == "t" || lower == "ts" || lower == "time" || lower == "timestamp" ||
      lower == "t_us" || lower == "timestamp_us") {
    return 2;
  }
  if (lower == "p" || lower == "pol" || lower == "polarity" || lower == "on") return 3;
  return -1;
}

std::optional<CsvColumns> parse_csv_columns(std::string_view text) {
  CsvColumns columns;
  std::array<int, 4> seen{};
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string_view name = text.substr(start, comma - start);
    int role = -1;
    if (name == "x") role = 0;
    else if (name == "y") role = 1;
    else if (name == "t") role = 2;
    else if (name == "p") role = 3;
    else if (name != "_") return std::nullopt;
    if (role >= 0 && seen[static_cast<std::size_t>(role)]++ > 0) return std::nullopt;
    columns.roles.push_back(static_cast<std::int8_t>(role));
    if (comma == text.size()) break;
    start = comma + 1;
  }
  for (const int n : seen) {
    if (n != 1) return std::nullopt;
  }
  return columns;
}

Result<SourcePtr> open_csv_source(std::string_view path, const ReaderOptions& options) {
  std::optional<CsvColumns> columns;
  if (!options.csv_columns.empty()) {
    columns = parse_csv_columns(options.csv_columns);
    if (!columns) {
      return Error(ErrorKind::kInvalidInput, "bad CSV column order: " + options.csv_columns);
    }
    if (*columns == CsvColumns{{0, 1, 2, 3}}) columns.reset();
  }
  OVK_ASSIGN_OR_RETURN(ByteStream stream, ByteStream::open(path));
  auto source = std::make_unique<CsvSource>(std::move(stream), std::move(columns),
                                            !options.csv_columns.empty());
  return SourcePtr(std::move(source));
}

}  // namespace ovk::io
