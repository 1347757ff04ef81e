// The Python literals a NumPy .npy header is written in: dictionaries with
// string keys, lists, tuples, strings, integers, True, False and None. Its
// bytes are hostile: nesting is bounded and every malformed text is an error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "codec/result.h"

namespace ovk::io {

struct PyLiteral {
  enum class Kind : std::uint8_t { kNone, kBool, kInt, kString, kList, kTuple, kDict };

  Kind kind = Kind::kNone;
  std::int64_t number = 0;         // kBool (0 or 1) and kInt
  std::string text;                // kString
  std::vector<PyLiteral> items;    // kList, kTuple, and kDict's values
  std::vector<std::string> keys;   // kDict's keys, in the order written

  // The value of `key` in a dictionary, or nullptr.
  const PyLiteral* find(std::string_view key) const noexcept;
};

// Parses `text`, which must hold one literal and nothing else but spaces,
// tabs and line feeds. Integers must fit 64 bits (a trailing L, as Python 2
// wrote, is allowed); nesting deeper than 32 levels is refused.
[[nodiscard]] Result<PyLiteral> parse_python_literal(std::string_view text);

}  // namespace ovk::io
