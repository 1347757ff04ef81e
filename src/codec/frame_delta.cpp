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

namespace {

// Whether none of the bytes at[0 .. 8) equals the byte after it (9 bytes
// are read): each of the eight is then a run of one.
bool eight_single_runs(const std::uint8_t* at) noexcept {
  std::uint64_t here, after;
  std::memcpy(&here, at, 8);
  std::memcpy(&after, at + 1, 8);
  const std::uint64_t diff = here ^ after;  // a zero byte where neighbours are equal
  constexpr std::uint64_t kLow = 0x0101010101010101u, kHigh = 0x8080808080808080u;
  return ((diff - kLow) & ~diff & kHigh) == 0;
}

// Writes the run-length pairs of data[0 .. size) from `out` on (room for
// 2 * size bytes) and returns the end of what it wrote. Where no two
// neighbours are equal (deltas of unrelated trees), eight pairs at a time.
std::uint8_t* write_pairs(const std::uint8_t* data, std::size_t size, std::uint8_t* out) {
  const std::uint8_t* const end = data + size;
  while (data < end) {
    if (end - data >= 9 && eight_single_runs(data)) {
      for (int k = 0; k < 8; ++k) {
        out[2 * k] = 1;
        out[2 * k + 1] = data[k];
      }
      out += 16;
      data += 8;
      continue;
    }
    const std::uint8_t value = *data;
    const std::size_t left = static_cast<std::size_t>(end - data);
    const std::uint8_t* const stop = data + std::min<std::size_t>(255, left);
    const std::uint8_t* next = data + 1;
    while (next < stop && *next == value) ++next;
    *out++ = static_cast<std::uint8_t>(next - data);
    *out++ = value;
    data = next;
  }
  return out;
}

// Total length of the expanded pairs; a trailing odd byte is not a pair.
std::size_t expanded_size(std::span<const std::uint8_t> code) {
  std::size_t total = 0;
  for (std::size_t i = 1; i < code.size(); i += 2) total += code[i - 1];
  return total;
}

}  // namespace

std::vector<std::uint8_t> rle_decode(std::span<const std::uint8_t> code) {
  std::vector<std::uint8_t> out(expanded_size(code));
  std::uint8_t* next = out.data();
  for (std::size_t i = 1; i < code.size(); i += 2) {
    if (code[i - 1] == 0) continue;  // adds nothing (and `next` may be null)
    std::memset(next, code[i], code[i - 1]);
    next += code[i - 1];
  }
  return out;
}

std::vector<std::uint8_t> XorRunLengthEncoder::encode(std::span<const std::uint8_t> a,
                                                      std::span<const std::uint8_t> b) {
  const std::span<const std::uint8_t> longer = a.size() >= b.size() ? a : b;
  const std::span<const std::uint8_t> shorter = a.size() >= b.size() ? b : a;
  // Grown, never shrunk: only the first longer.size() bytes are used.
  if (delta_.size() < longer.size()) delta_.resize(longer.size());
  if (pairs_.size() < 2 * longer.size()) pairs_.resize(2 * longer.size());
  std::uint8_t* delta = delta_.data();
  if (!longer.empty()) std::memcpy(delta, longer.data(), longer.size());
  for (std::size_t i = 0; i < shorter.size(); ++i) delta[i] ^= shorter[i];
  const std::uint8_t* const begin = pairs_.data();
  const std::uint8_t* const end = write_pairs(delta, longer.size(), pairs_.data());
  return std::vector<std::uint8_t>(begin, end);
}

void xor_rle_decoded(std::vector<std::uint8_t>& bytes, std::span<const std::uint8_t> code) {
  const std::size_t total = expanded_size(code);
  if (total > bytes.size()) bytes.resize(total, 0);
  std::uint8_t* next = bytes.data();
  for (std::size_t i = 1; i < code.size(); i += 2) {
    const unsigned count = code[i - 1];
    const std::uint8_t value = code[i];
    if (count == 1) {
      *next ^= value;
    } else if (value != 0) {
      for (unsigned k = 0; k < count; ++k) next[k] ^= value;
    }
    next += count;
  }
}

}  // namespace ovk
