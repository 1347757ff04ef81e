#include "codec/frame_delta.h"

#include <algorithm>

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
  std::vector<std::uint8_t> out;
  out.reserve(2 * data.size());  // the longest code: a pair for every byte
  std::size_t pos = 0;
  while (pos < data.size()) {
    const std::uint8_t value = data[pos];
    std::size_t run = 1;
    while (run < 255 && pos + run < data.size() && data[pos + run] == value) ++run;
    out.push_back(static_cast<std::uint8_t>(run));
    out.push_back(value);
    pos += run;
  }
  return out;
}

std::vector<std::uint8_t> rle_decode(std::span<const std::uint8_t> code) {
  std::size_t total = 0;
  for (std::size_t i = 1; i < code.size(); i += 2) total += code[i - 1];
  std::vector<std::uint8_t> out;
  out.reserve(total);
  for (std::size_t i = 1; i < code.size(); i += 2) out.insert(out.end(), code[i - 1], code[i]);
  return out;
}

}  // namespace ovk
