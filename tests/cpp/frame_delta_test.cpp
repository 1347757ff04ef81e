#include "codec/frame_delta.h"

#include <gtest/gtest.h>

#include <random>

#include "codec_test_support.h"

namespace ovk {
namespace {

using testing_support::bytes_of;

TEST(XorDelta, LengthsAndValues) {
  EXPECT_TRUE(xor_delta({}, {}).empty());
  EXPECT_EQ(xor_delta({}, bytes_of({1, 2})), bytes_of({1, 2}));
  EXPECT_EQ(xor_delta(bytes_of({1, 2}), {}), bytes_of({1, 2}));
  EXPECT_EQ(xor_delta(bytes_of({0xA0}), bytes_of({0xFF, 0x80})), bytes_of({0x5F, 0x80}));
  EXPECT_EQ(xor_delta(bytes_of({7, 7, 7}), bytes_of({7, 7, 7})), bytes_of({0, 0, 0}));
}

TEST(XorDelta, IsItsOwnInverseUpToZeroPadding) {
  const auto a = bytes_of({0x12, 0x34, 0x56});
  const auto longer = bytes_of({0xFF, 0x00, 0x0F, 0xF0});
  EXPECT_EQ(xor_delta(a, xor_delta(a, longer)), longer);
  const auto shorter = bytes_of({0xAB});
  EXPECT_EQ(xor_delta(a, xor_delta(a, shorter)), bytes_of({0xAB, 0, 0}));
}

// No bytes, 600 zeros (cut into runs of 255, 255 and 90), one byte, and runs
// that alternate.
TEST(RunLength, CodesByValue) {
  EXPECT_TRUE(rle_encode({}).empty());
  EXPECT_EQ(rle_encode(std::vector<std::uint8_t>(600, 0)), bytes_of({255, 0, 255, 0, 90, 0}));
  EXPECT_EQ(rle_encode(bytes_of({0})), bytes_of({1, 0}));
  EXPECT_EQ(rle_encode(bytes_of({5, 5, 6, 5})), bytes_of({2, 5, 1, 6, 1, 5}));
}

TEST(RunLength, DecodeSkipsZeroCountsAndAnOddTrailingByte) {
  EXPECT_EQ(rle_decode(bytes_of({0, 9, 2, 4, 7})), bytes_of({4, 4}));
  EXPECT_TRUE(rle_decode(bytes_of({3})).empty());
}

TEST(RunLength, RoundTrips) {
  std::mt19937_64 rng(5);
  for (std::size_t n : {0, 1, 255, 256, 511, 1000}) {
    for (int alphabet : {1, 2, 256}) {
      std::vector<std::uint8_t> data(n);
      for (auto& b : data) b = static_cast<std::uint8_t>(rng() % alphabet);
      EXPECT_EQ(rle_decode(rle_encode(data)), data) << n << " " << alphabet;
    }
  }
}

}  // namespace
}  // namespace ovk
