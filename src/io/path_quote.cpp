#include "io/path_quote.h"

#include <algorithm>
#include <cstdint>
#include <span>

#include "io/utf8.h"

namespace ovk::io {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

#include "io/unicode_tables.inc"

template <std::size_t N>
bool in_ranges(const CodePointRange (&ranges)[N], char32_t c) {
  // First range whose last code point is not below c; c is inside it or in
  // no range at all.
  const auto* it = std::lower_bound(std::begin(ranges), std::end(ranges), c,
                                    [](const CodePointRange& r, char32_t v) { return r.last < v; });
  return it != std::end(ranges) && it->first <= c;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void append_unicode_escape(std::string& out, char32_t c) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u{";
  int shift = 20;
  while (shift > 0 && ((c >> shift) & 0xF) == 0) shift -= 4;
  for (; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xF];
  out += '}';
}

bool is_printable_code_point(char32_t c) { return in_ranges(kPrintableRanges, c); }

bool is_grapheme_extend(char32_t c) { return in_ranges(kGraphemeExtendRanges, c); }

}  // namespace

std::string quote_path_literal(std::string_view path) {
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(path.data()),
                                            path.size());
  std::string out;
  out.reserve(path.size() + 2);
  out += '"';
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const Utf8Step step = decode_utf8_step(bytes, pos);
    pos += step.length;
    const char32_t c = step.code_point;
    switch (c) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (is_grapheme_extend(c) || !is_printable_code_point(c)) {
          append_unicode_escape(out, c);
        } else {
          append_utf8(out, c);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace ovk::io
