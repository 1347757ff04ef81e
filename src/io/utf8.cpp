#include "io/utf8.h"

namespace ovk::io {

Utf8Step decode_utf8_step(std::span<const std::uint8_t> bytes, std::size_t pos) {
  const std::uint8_t lead = bytes[pos];
  if (lead < 0x80) return {lead, 1, true};

  // Well-formed sequences (Unicode Table 3-7): the lead byte fixes the length
  // and the range allowed for the second byte; later bytes are 80..BF.
  std::size_t need = 0;
  char32_t value = 0;
  std::uint8_t second_low = 0x80;
  std::uint8_t second_high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) second_low = 0xA0;   // no overlong forms
    if (lead == 0xED) second_high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    value = lead & 0x07;
    if (lead == 0xF0) second_low = 0x90;   // no overlong forms
    if (lead == 0xF4) second_high = 0x8F;  // nothing above U+10FFFF
  } else {
    return {kReplacementCharacter, 1, false};
  }

  std::size_t length = 1;
  for (std::size_t i = 1; i <= need; ++i) {
    if (pos + i >= bytes.size()) return {kReplacementCharacter, length, false};
    const std::uint8_t byte = bytes[pos + i];
    const std::uint8_t low = i == 1 ? second_low : 0x80;
    const std::uint8_t high = i == 1 ? second_high : 0xBF;
    if (byte < low || byte > high) return {kReplacementCharacter, length, false};
    value = (value << 6) | (byte & 0x3F);
    ++length;
  }
  return {value, length, true};
}

bool is_valid_utf8(std::span<const std::uint8_t> bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    if (bytes[pos] < 0x80) {
      ++pos;
      continue;
    }
    const Utf8Step step = decode_utf8_step(bytes, pos);
    if (!step.valid) return false;
    pos += step.length;
  }
  return true;
}

}  // namespace ovk::io
