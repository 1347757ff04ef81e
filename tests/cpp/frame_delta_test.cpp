#include "codec/frame_delta.h"

#include <gtest/gtest.h>

#include <random>
#include <span>

#include "codec_test_support.h"

namespace ovk {
namespace {

using testing_support::bytes_of;

// The run-length code through the production encoder: the xor with nothing
// is the data itself.
std::vector<std::uint8_t> rle_encode(std::span<const std::uint8_t> data) {
  return XorRunLengthEncoder().encode(data, {});
}

// The run-length code one byte at a time, the model the encoder is checked
// against.
std::vector<std::uint8_t> model_rle(std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < data.size();) {
    std::size_t run = 1;
    while (i + run < data.size() && run < 255 && data[i + run] == data[i]) ++run;
    out.push_back(static_cast<std::uint8_t>(run));
    out.push_back(data[i]);
    i += run;
  }
  return out;
}

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

// Nine distinct bytes, then a run that starts at the eighth byte of a group
// of eight and goes on past it, then a run that ends exactly at the ninth.
TEST(RunLength, SingleByteRunsNextToLongerOnes) {
  EXPECT_EQ(rle_encode(bytes_of({1, 2, 3, 4, 5, 6, 7, 8, 9})),
            bytes_of({1, 1, 1, 2, 1, 3, 1, 4, 1, 5, 1, 6, 1, 7, 1, 8, 1, 9}));
  EXPECT_EQ(rle_encode(bytes_of({1, 2, 3, 4, 5, 6, 7, 8, 8, 8, 0})),
            bytes_of({1, 1, 1, 2, 1, 3, 1, 4, 1, 5, 1, 6, 1, 7, 3, 8, 1, 0}));
  EXPECT_EQ(rle_encode(bytes_of({9, 9, 1, 2, 3, 4, 5, 6, 7, 8, 8})),
            bytes_of({2, 9, 1, 1, 1, 2, 1, 3, 1, 4, 1, 5, 1, 6, 1, 7, 2, 8}));
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

// Random bytes from a small alphabet make long runs; lengths sit around the
// 255-byte cut of a run.
std::vector<std::uint8_t> random_bytes(std::mt19937_64& rng, std::size_t n) {
  const unsigned alphabet = std::vector<unsigned>{1, 2, 3, 256}[rng() % 4];
  std::vector<std::uint8_t> out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng() % alphabet);
  return out;
}

std::size_t random_length(std::mt19937_64& rng) {
  static const std::size_t kLengths[] = {0, 1, 2, 7, 254, 255, 256, 257, 509, 510, 511, 512, 766};
  return rng() % 2 == 0 ? kLengths[rng() % std::size(kLengths)] : rng() % 800;
}

// One encoder for every pair, long ones and short ones mixed, so that what
// an earlier call left in its buffers would show.
TEST(XorRunLength, EncoderMatchesXorThenRunLength) {
  std::mt19937_64 rng(12);
  XorRunLengthEncoder encoder;
  for (int round = 0; round < 2000; ++round) {
    const auto a = random_bytes(rng, random_length(rng));
    auto b = random_bytes(rng, random_length(rng));
    if (rng() % 4 == 0) b = a;  // an all-zero delta
    const auto code = encoder.encode(a, b);
    ASSERT_EQ(code, model_rle(xor_delta(a, b))) << a.size() << " " << b.size();
    ASSERT_EQ(code.capacity(), code.size());
  }
}

// 600 zero bytes of delta cut into 255, 255 and 90; unequal lengths keep the
// longer one's tail.
TEST(XorRunLength, EncoderByValue) {
  XorRunLengthEncoder encoder;
  const std::vector<std::uint8_t> a(600, 0x5A);
  EXPECT_EQ(encoder.encode(a, a), bytes_of({255, 0, 255, 0, 90, 0}));
  EXPECT_EQ(encoder.encode(bytes_of({0xA0}), bytes_of({0xFF, 0x80})),
            bytes_of({1, 0x5F, 1, 0x80}));
  EXPECT_EQ(encoder.encode(bytes_of({1, 1, 1}), {}), bytes_of({3, 1}));
  EXPECT_TRUE(encoder.encode({}, {}).empty());
}

// Applying a code in place equals xor_delta with its expansion, also for
// codes with zero counts, an odd trailing byte, and expansions shorter or
// longer than the bytes.
TEST(XorRunLength, InPlaceDecodeMatchesXorOfExpansion) {
  std::mt19937_64 rng(34);
  for (int round = 0; round < 2000; ++round) {
    const auto bytes = random_bytes(rng, random_length(rng));
    std::vector<std::uint8_t> code =
        rng() % 2 == 0 ? rle_encode(random_bytes(rng, random_length(rng)))
                       : random_bytes(rng, rng() % 20);
    if (rng() % 8 == 0) code.push_back(static_cast<std::uint8_t>(rng()));
    std::vector<std::uint8_t> applied = bytes;
    xor_rle_decoded(applied, code);
    ASSERT_EQ(applied, xor_delta(bytes, rle_decode(code))) << bytes.size() << " " << code.size();
  }
}

TEST(XorRunLength, InPlaceDecodeByValue) {
  std::vector<std::uint8_t> bytes = bytes_of({0x0F, 0xF0, 0x33});
  xor_rle_decoded(bytes, bytes_of({2, 0xFF, 0, 7, 1, 0, 2, 0x01, 9}));
  EXPECT_EQ(bytes, bytes_of({0xF0, 0x0F, 0x33, 0x01, 0x01}));
}

}  // namespace
}  // namespace ovk
