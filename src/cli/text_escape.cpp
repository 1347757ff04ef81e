#include "cli/text_escape.h"

#include <cstdint>
#include <cstdio>
#include <span>

#include "io/utf8.h"

namespace ovk::cli {
namespace {

void append_hex_escape(std::string& out, std::uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "\\x%02x", byte);
  out += text;
}

bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

}  // namespace

std::string escape_for_terminal(std::string_view text) {
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size());
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < bytes.size();) {
    const io::Utf8Step step = io::decode_utf8_step(bytes, pos);
    if (step.valid && !is_control(step.code_point)) {
      out.append(text.substr(pos, step.length));
    } else if (step.valid && step.code_point == '\n') {
      out += "\\n";
    } else if (step.valid && step.code_point == '\r') {
      out += "\\r";
    } else if (step.valid && step.code_point == '\t') {
      out += "\\t";
    } else {
      for (std::size_t i = 0; i < step.length; ++i) append_hex_escape(out, bytes[pos + i]);
    }
    pos += step.length;
  }
  return out;
}

}  // namespace ovk::cli
