#include "io/csv_line.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <limits>
#include <string_view>

#include "io/utf8.h"

namespace ovk::io {
namespace {

constexpr std::size_t kColumns = 4;
// More decimal digits than this might not fit 64 bits.
constexpr std::ptrdiff_t kMostPlainDigits = 19;

constexpr std::array<std::uint64_t, kColumns> kLargest{
    std::numeric_limits<std::uint16_t>::max(), std::numeric_limits<std::uint16_t>::max(),
    std::numeric_limits<std::uint32_t>::max(), std::numeric_limits<std::uint8_t>::max()};

// Removes leading and trailing white space. The line is valid UTF-8, so it
// decodes cleanly; multi-byte white space is recognised as well.
std::span<const std::uint8_t> trim(std::span<const std::uint8_t> line) {
  std::size_t begin = line.size();
  std::size_t end = 0;
  std::size_t pos = 0;
  while (pos < line.size()) {
    const Utf8Step step = decode_utf8_step(line, pos);
    if (!is_unicode_white_space(step.code_point)) {
      if (begin == line.size()) begin = pos;
      end = pos + step.length;
    }
    pos += step.length;
  }
  if (begin == line.size()) return {};
  return line.subspan(begin, end - begin);
}

bool is_ascii(std::span<const std::uint8_t> bytes) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  std::uint64_t seen = 0;
  std::size_t pos = 0;
  for (; pos + sizeof seen <= bytes.size(); pos += sizeof seen) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes.data() + pos, sizeof word);
    seen |= word;
  }
  for (; pos < bytes.size(); ++pos) seen |= bytes[pos];
  return (seen & kHighBits) == 0;
}

bool is_ascii_white_space(std::uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Parses the field that starts at `pos` and moves `pos` to its end (the next
// separator or the end of the text): an optional '+' then one or more ASCII
// digits, at most `max`. Digits are taken left to right and the first
// failure met decides the fault.
CsvLineFault scan_field(std::string_view text, std::size_t& pos, std::uint64_t max,
                        std::uint64_t& value) {
  if (text[pos] == '+') ++pos;
  const std::size_t digits_start = pos;
  CsvLineFault fault = CsvLineFault::kNone;
  value = 0;
  for (; pos < text.size() && !is_csv_separator(static_cast<std::uint8_t>(text[pos])); ++pos) {
    if (fault != CsvLineFault::kNone) continue;
    const auto digit = static_cast<unsigned>(static_cast<unsigned char>(text[pos])) - '0';
    if (digit > 9) {
      fault = CsvLineFault::kInvalidDigit;
      continue;
    }
    value = value * 10 + digit;  // value <= max < 2^32 before this step: no overflow
    if (value > max) fault = CsvLineFault::kTooLarge;
  }
  if (pos == digits_start) return CsvLineFault::kInvalidDigit;  // empty, or "+" alone
  return fault;
}

// The event of four field values that are known to fit.
CsvLineScan event_of(const std::array<std::uint64_t, kColumns>& values) {
  return {CsvLineFault::kNone, true,
          Event{.x = static_cast<std::uint16_t>(values[0]),
                .y = static_cast<std::uint16_t>(values[1]),
                .t = static_cast<std::uint32_t>(values[2]),
                .p = static_cast<std::uint8_t>(values[3])}};
}

// Splits the trimmed text of a data line at commas, spaces and tabs (empty
// pieces dropped) and parses the first kColumns fields as they are found. A
// line with fewer fields is skipped whatever they hold, so a bad field is
// reported only once the line is known to have them all.
CsvLineScan scan_fields(std::string_view text) {
  std::array<std::uint64_t, kColumns> values{};
  CsvLineFault first_fault = CsvLineFault::kNone;
  std::size_t count = 0;
  std::size_t pos = 0;
  while (count < kColumns) {
    while (pos < text.size() && is_csv_separator(static_cast<std::uint8_t>(text[pos]))) ++pos;
    if (pos == text.size()) break;
    const CsvLineFault fault = scan_field(text, pos, kLargest[count], values[count]);
    if (first_fault == CsvLineFault::kNone) first_fault = fault;
    ++count;
  }
  if (count < kColumns) return {};
  if (first_fault != CsvLineFault::kNone) return {first_fault, false, {}};
  return event_of(values);
}

}  // namespace

std::span<const std::uint8_t> trim_ascii(std::span<const std::uint8_t> line) noexcept {
  std::size_t begin = 0;
  std::size_t end = line.size();
  while (begin < end && is_ascii_white_space(line[begin])) ++begin;
  while (end > begin && is_ascii_white_space(line[end - 1])) --end;
  return line.subspan(begin, end - begin);
}

bool is_unicode_white_space(char32_t c) {
  switch (c) {
    case 0x09:  // tab
    case 0x0A:  // line feed
    case 0x0B:  // vertical tab
    case 0x0C:  // form feed
    case 0x0D:  // carriage return
    case 0x20:  // space
    case 0x85:  // next line
    case 0xA0:  // no-break space
    case 0x1680:
    case 0x2028:  // line separator
    case 0x2029:  // paragraph separator
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

CsvLineScan scan_csv_line(std::span<const std::uint8_t> line) noexcept {
  std::span<const std::uint8_t> trimmed;
  if (is_ascii(line)) {
    // Plain ASCII is valid UTF-8, and its only white space is tab, line
    // feed, vertical tab, form feed, carriage return and space: the line
    // ending goes with the trimming.
    trimmed = trim_ascii(line);
  } else {
    if (!is_valid_utf8(line)) return {CsvLineFault::kInvalidUtf8, false, {}};
    if (!line.empty() && line.back() == '\n') line = line.first(line.size() - 1);
    if (!line.empty() && line.back() == '\r') line = line.first(line.size() - 1);
    trimmed = trim(line);
  }
  const std::string_view text(reinterpret_cast<const char*>(trimmed.data()), trimmed.size());
  if (text.empty()) return {};  // blank line
  const char first = text.front();
  if (first == '#') return {};  // comment
  if (!(first >= '0' && first <= '9') && first != '+' && first != '-') {
    return {};  // header line, such as column names
  }
  return scan_fields(text);
}

std::size_t scan_plain_csv_line(std::span<const std::uint8_t> bytes, CsvLineScan& scan) noexcept {
  const std::uint8_t* p = bytes.data();
  const std::uint8_t* const end = p + bytes.size();
  std::array<std::uint64_t, kColumns> values{};
  for (std::size_t column = 0; column < kColumns; ++column) {
    if (column > 0) {
      const std::uint8_t* const separators = p;
      while (p < end && is_csv_separator(*p)) ++p;
      if (p == separators) return 0;
    }
    const std::uint8_t* const digits = p;
    std::uint64_t value = 0;
    for (unsigned digit = 0; p < end && (digit = static_cast<unsigned>(*p) - '0') <= 9; ++p) {
      value = value * 10 + digit;
    }
    if (p == digits || p - digits > kMostPlainDigits) return 0;
    values[column] = value;
  }
  if (p < end && *p == '\r') ++p;
  if (p == end || *p != '\n') return 0;
  const auto length = static_cast<std::size_t>(p + 1 - bytes.data());
  // Only digits: a field above its largest value is the first failure.
  for (std::size_t column = 0; column < kColumns; ++column) {
    if (values[column] > kLargest[column]) {
      scan = {CsvLineFault::kTooLarge, false, {}};
      return length;
    }
  }
  scan = event_of(values);
  return length;
}

Error csv_line_error(CsvLineFault fault) {
  switch (fault) {
    case CsvLineFault::kInvalidUtf8:
      return Error(ErrorKind::kInvalidData, "stream did not contain valid UTF-8");
    case CsvLineFault::kInvalidDigit:
      return Error(ErrorKind::kInvalidData, "invalid digit found in string");
    case CsvLineFault::kTooLarge:
      return Error(ErrorKind::kInvalidData, "number too large to fit in target type");
    case CsvLineFault::kNone:
      break;
  }
  OVK_FAULT("no error for a line without a fault");
}

}  // namespace ovk::io
