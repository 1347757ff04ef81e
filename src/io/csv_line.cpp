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

Error invalid_digit() { return Error(ErrorKind::kInvalidData, "invalid digit found in string"); }

Error too_large() {
  return Error(ErrorKind::kInvalidData, "number too large to fit in target type");
}

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

std::span<const std::uint8_t> trim_ascii(std::span<const std::uint8_t> line) {
  std::size_t begin = 0;
  std::size_t end = line.size();
  while (begin < end && is_ascii_white_space(line[begin])) ++begin;
  while (end > begin && is_ascii_white_space(line[end - 1])) --end;
  return line.subspan(begin, end - begin);
}

bool is_separator(std::uint8_t c) { return c == ',' || c == ' ' || c == '\t'; }

// Splits at commas, spaces and tabs, dropping empty pieces, and keeps at most
// the first kColumns fields. Returns the number of fields kept.
std::size_t split_fields(std::string_view text, std::array<std::string_view, kColumns>& fields) {
  std::size_t count = 0;
  std::size_t pos = 0;
  while (count < kColumns) {
    while (pos < text.size() && is_separator(static_cast<std::uint8_t>(text[pos]))) ++pos;
    if (pos == text.size()) break;
    const std::size_t start = pos;
    while (pos < text.size() && !is_separator(static_cast<std::uint8_t>(text[pos]))) ++pos;
    fields[count++] = text.substr(start, pos - start);
  }
  return count;
}

// An optional '+' then one or more ASCII digits, at most `max`. Digits are
// taken left to right and the first failure met decides the message.
Result<std::uint64_t> parse_unsigned(std::string_view field, std::uint64_t max) {
  if (!field.empty() && field.front() == '+') field.remove_prefix(1);
  if (field.empty()) return invalid_digit();
  std::uint64_t value = 0;
  for (const char c : field) {
    if (c < '0' || c > '9') return invalid_digit();
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > max) return too_large();
  }
  return value;
}

template <class T>
Result<T> parse_field(std::string_view field) {
  OVK_ASSIGN_OR_RETURN(const std::uint64_t value,
                       parse_unsigned(field, std::numeric_limits<T>::max()));
  return static_cast<T>(value);
}

}  // namespace

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

Result<std::optional<Event>> parse_csv_line(std::span<const std::uint8_t> line) {
  std::span<const std::uint8_t> trimmed;
  if (is_ascii(line)) {
    // Plain ASCII is valid UTF-8, and its only white space is tab, line
    // feed, vertical tab, form feed, carriage return and space: the line
    // ending goes with the trimming.
    trimmed = trim_ascii(line);
  } else {
    if (!is_valid_utf8(line)) {
      return Error(ErrorKind::kInvalidData, "stream did not contain valid UTF-8");
    }
    if (!line.empty() && line.back() == '\n') line = line.first(line.size() - 1);
    if (!line.empty() && line.back() == '\r') line = line.first(line.size() - 1);
    trimmed = trim(line);
  }
  const std::string_view text(reinterpret_cast<const char*>(trimmed.data()), trimmed.size());

  if (text.empty()) return std::optional<Event>();  // blank line
  const char first = text.front();
  if (first == '#') return std::optional<Event>();  // comment
  if (!(first >= '0' && first <= '9') && first != '+' && first != '-') {
    return std::optional<Event>();  // header line, such as column names
  }

  std::array<std::string_view, kColumns> fields;
  if (split_fields(text, fields) < kColumns) return std::optional<Event>();

  Event event;
  OVK_ASSIGN_OR_RETURN(event.x, parse_field<std::uint16_t>(fields[0]));
  OVK_ASSIGN_OR_RETURN(event.y, parse_field<std::uint16_t>(fields[1]));
  OVK_ASSIGN_OR_RETURN(event.t, parse_field<std::uint32_t>(fields[2]));
  OVK_ASSIGN_OR_RETURN(event.p, parse_field<std::uint8_t>(fields[3]));
  return std::optional<Event>(event);
}

}  // namespace ovk::io
