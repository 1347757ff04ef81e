#include "codec/frame_delta.h"

#include <algorithm>
#include <cstring>

namespace ovk {

std::vector<std::uint8_t> xor_delta(std::span<const std::uint8_t> a,
                                    std::span<const std::uint8_t> b) {
  const std::span<const std::uint8_t> longer = a.size() >= b.size() ? a : b;
  const std::span<const std::uint8_t> shorter = a.size() >= b.size() ? b : a;
  std::vector<std::uint8_t> out(longer.begin(), longer.end());
  for (std::size_t i = 0; i < shorter.size(); ++i) out[i] ^= shorter[i];
  return out;
}

std::vector<std::uint8_t> rle_encode(std::span<const std::uint8_t> data) {
  // Written through a pointer into the longest code (a pair for every byte),
  // then cut to the length used.
  std::vector<std::uint8_t> out(2 * data.size());
  std::uint8_t* next = out.data();
  const std::size_t size = data.size();
  std::size_t pos = 0;
  while (pos < size) {
    const std::uint8_t value = data[pos];
    const std::size_t limit = std::min<std::size_t>(255, size - pos);
    std::size_t run = 1;
    while (run < limit && data[pos + run] == value) ++run;
    *next++ = static_cast<std::uint8_t>(run);
    *next++ = value;
    pos += run;
  }
  out.resize(static_cast<std::size_t>(next - out.data()));
  return out;
}

std::vector<std::uint8_t> rle_decode(std::span<const std::uint8_t> code) {
  std::size_t total = 0;
  for (std::size_t i = 1; i < code.size(); i += 2) total += code[i - 1];
  std::vector<std::uint8_t> out(total);
  std::uint8_t* next = out.data();
  for (std::size_t i = 1; i < code.size(); i += 2) {
    if (code[i - 1] == 0) continue;  // adds nothing (and `next` may be null)
    std::memset(next, code[i], code[i - 1]);
    next += code[i - 1];
  }
  return out;
}

}  // namespace ovk
