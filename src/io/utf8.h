// UTF-8 decoding shared by the text reader (validation and trimming) and the
// quoting of paths in messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ovk::io {

// One step of decoding: the code point that starts at a position and the
// number of bytes it takes. An ill-formed sequence has valid == false, the
// code point U+FFFD and the length of its maximal well-formed prefix (at
// least 1), so decoding can resume right after it.
struct Utf8Step {
  char32_t code_point;
  std::size_t length;
  bool valid;
};

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// Decodes the sequence starting at bytes[pos]. Requires pos < bytes.size();
// never looks past the end of `bytes`.
Utf8Step decode_utf8_step(std::span<const std::uint8_t> bytes, std::size_t pos);

// True when all of `bytes` is well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated sequence).
bool is_valid_utf8(std::span<const std::uint8_t> bytes);

}  // namespace ovk::io
