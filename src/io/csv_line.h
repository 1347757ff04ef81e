// The handling of one line of a CSV or plain-text recording, shared by the
// streaming file reader and the in-memory decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "codec/event.h"
#include "codec/result.h"

namespace ovk::io {

// The characters that separate the fields of a line: commas, spaces, tabs.
inline constexpr bool is_csv_separator(std::uint8_t c) noexcept {
  return c == ',' || c == ' ' || c == '\t';
}

// The line without the ASCII white space (space, \t \n \v \f \r) at its ends.
std::span<const std::uint8_t> trim_ascii(std::span<const std::uint8_t> line) noexcept;

// Why a line ends the load, if it does.
enum class CsvLineFault : std::uint8_t {
  kNone,
  kInvalidUtf8,   // "stream did not contain valid UTF-8"
  kInvalidDigit,  // "invalid digit found in string"
  kTooLarge,      // "number too large to fit in target type"
};

// The outcome of one line: a fault, or an event (has_event) for a data line,
// or neither for a skipped line.
struct CsvLineScan {
  CsvLineFault fault = CsvLineFault::kNone;
  bool has_event = false;
  Event event;
};

// Takes one line as read, with or without its line feed. Gives the event of
// a data line, nothing for a line that is skipped (blank, comment, header, or
// fewer than four fields), or the fault that ends the load: invalid UTF-8
// anywhere in the line, or a bad number in one of the first four fields (the
// first bad field decides). Allocates nothing.
CsvLineScan scan_csv_line(std::span<const std::uint8_t> line) noexcept;

// The common form of a data line, recognised without trimming or UTF-8
// decoding: four runs of ASCII digits (at most 19 each) separated by runs of
// commas, spaces and tabs, then "\n" or "\r\n". Returns the length of that
// line with its line feed and sets `scan` exactly as scan_csv_line would; 0
// when the bytes do not start with a line of that form (or hold no line
// feed), which scan_csv_line then handles.
std::size_t scan_plain_csv_line(std::span<const std::uint8_t> bytes, CsvLineScan& scan) noexcept;

// The load error of a fault other than kNone.
Error csv_line_error(CsvLineFault fault);

// True for the characters of the Unicode White_Space property.
bool is_unicode_white_space(char32_t c);

}  // namespace ovk::io
