// The handling of one line of a CSV or plain-text recording, shared by the
// streaming file reader and the in-memory decoder.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "codec/event.h"
#include "codec/result.h"

namespace ovk::io {

// Takes one line as read, with or without its line feed. Returns the event of
// a data line, nullopt for a line that is skipped (blank, comment, header, or
// fewer than four fields), or the error that ends the load: invalid UTF-8
// anywhere in the line, or a bad number in one of the first four fields.
Result<std::optional<Event>> parse_csv_line(std::span<const std::uint8_t> line);

// True for the characters of the Unicode White_Space property.
bool is_unicode_white_space(char32_t c);

}  // namespace ovk::io
