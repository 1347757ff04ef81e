// Writing a path into a message as a double-quoted string literal.
#pragma once

#include <string>
#include <string_view>

namespace ovk::io {

// `path` between double quotes, with escapes: \" \\ \n \r \t \0, and
// \u{hex} (lower case) for every other character that is not printable or
// that extends a grapheme (a combining mark shown on its own). Printable
// characters, the single quote included, stand as they are. Ill-formed UTF-8
// is shown as U+FFFD.
std::string quote_path_literal(std::string_view path);

}  // namespace ovk::io
