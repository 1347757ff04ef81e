// Bytes written as small integers, e.g. bytes_of({0x01, 0xFF}), as a byte
// vector or (bytes_of<std::string>) as the text a file or reader takes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace ovk::testing_support {

template <class Bytes = std::vector<std::uint8_t>>
Bytes bytes_of(std::initializer_list<int> values) {
  Bytes out;
  for (const int v : values) out.push_back(static_cast<typename Bytes::value_type>(v));
  return out;
}

}  // namespace ovk::testing_support
