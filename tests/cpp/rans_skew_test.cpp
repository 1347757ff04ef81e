// rANS on strongly skewed bit strings: a handful of ones among thousands of
// zeros, or of zeros among ones. The rare symbol then has a frequency of 1 in
// 4096, and decoding it takes two or three renormalisation bytes at once.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codec/rans.h"
#include "codec/tree_bits.h"

namespace ovk {
namespace {

std::vector<std::uint8_t> packed(const std::vector<bool>& bits) {
  std::vector<std::uint8_t> out((bits.size() + 7) / 8, 0);
  for (std::size_t i = 0; i < bits.size(); ++i) {
    if (bits[i]) out[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
  }
  return out;
}

// `n` bits of `background` with the opposite bit at `positions`.
std::vector<bool> skewed(std::size_t n, bool background, const std::vector<std::size_t>& positions) {
  std::vector<bool> bits(n, background);
  for (const std::size_t p : positions) bits[p] = !background;
  return bits;
}

void expect_round_trip(const std::vector<bool>& bits) {
  const std::vector<std::uint8_t> in = packed(bits);
  const std::vector<std::uint8_t> code = rans_encode_bits(in, bits.size());
  RansDecodeEnd end;
  EXPECT_EQ(rans_decode_bits(code, bits.size(), end), in);
  EXPECT_EQ(end.bytes_unread, 0u);
  EXPECT_EQ(end.bytes_missing, 0u);
  EXPECT_EQ(end.final_state, kRansLowerBound);
}

TEST(RansSkew, AFewOnesAmongZerosRoundTrip) {
  std::mt19937_64 rng(7);
  for (const std::size_t n : {2000u, 2047u, 4096u, 9001u, 20000u}) {
    SCOPED_TRACE(n);
    expect_round_trip(skewed(n, false, {0}));
    expect_round_trip(skewed(n, false, {n - 1}));
    expect_round_trip(skewed(n, false, {0, 1, 2, n / 2, n - 2, n - 1}));
    for (int round = 0; round < 6; ++round) {
      std::vector<std::size_t> positions;
      for (std::size_t k = 0, count = 1 + rng() % 5; k < count; ++k) positions.push_back(rng() % n);
      expect_round_trip(skewed(n, false, positions));
    }
  }
}

TEST(RansSkew, AFewZerosAmongOnesRoundTrip) {
  std::mt19937_64 rng(8);
  for (const std::size_t n : {2000u, 3333u, 8192u, 20000u}) {
    SCOPED_TRACE(n);
    expect_round_trip(skewed(n, true, {}));
    expect_round_trip(skewed(n, true, {n / 3}));
    for (int round = 0; round < 6; ++round) {
      std::vector<std::size_t> positions;
      for (std::size_t k = 0, count = 1 + rng() % 5; k < count; ++k) positions.push_back(rng() % n);
      expect_round_trip(skewed(n, true, positions));
    }
  }
}

TEST(RansSkew, TheRareSymbolHasTheSmallestFrequency) {
  // 20000 bits with one 1: p0 rounds to 4096 and is clamped to 4095; with
  // one 0 it rounds to 0 and is clamped to 1.
  const std::vector<std::uint8_t> code =
      rans_encode_bits(packed(skewed(20000, false, {1000})), 20000);
  EXPECT_EQ(code[0] | (code[1] << 8), 4095);
  const std::vector<std::uint8_t> ones = rans_encode_bits(packed(skewed(20000, true, {5})), 20000);
  EXPECT_EQ(ones[0] | (ones[1] << 8), 1);
}

}  // namespace
}  // namespace ovk
