#include "codec/rans.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codec/result.h"
#include "codec/tree_bits.h"
#include "codec_test_support.h"

namespace ovk {
namespace {

using testing_support::bytes_of;

std::vector<std::uint8_t> pack(const std::vector<int>& bits) {
  std::vector<std::uint8_t> out(packed_byte_count(bits.size()), 0);
  for (std::size_t i = 0; i < bits.size(); ++i)
    if (bits[i]) out[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
  return out;
}

// The coder exactly as the format defines it, with plain division.
std::vector<std::uint8_t> reference_encode(const std::vector<std::uint8_t>& bytes,
                                           std::uint64_t n) {
  if (n == 0) return {0x00, 0x08, 0x00, 0x00, 0x80, 0x00};
  std::uint64_t z = 0;
  for (std::uint64_t i = 0; i < n; ++i) z += !packed_bit(bytes.data(), i);
  const std::uint64_t q = (z * 4096 + n / 2) / n;
  const std::uint32_t p0 = q == 0 ? 1 : (q >= 4095 ? 4095 : static_cast<std::uint32_t>(q));
  std::vector<std::uint8_t> list;
  std::uint32_t x = 1u << 23;
  for (std::uint64_t i = n; i-- > 0;) {
    const bool s = packed_bit(bytes.data(), i);
    const std::uint32_t f = s ? 4096 - p0 : p0;
    const std::uint32_t c = s ? p0 : 0;
    while (x >= f * (1u << 19)) {
      list.push_back(static_cast<std::uint8_t>(x & 0xFF));
      x >>= 8;
    }
    x = (x / f) * 4096 + (x % f) + c;
  }
  std::vector<std::uint8_t> out = {static_cast<std::uint8_t>(p0),
                                   static_cast<std::uint8_t>(p0 >> 8)};
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<std::uint8_t>(x >> (8 * k)));
  out.insert(out.end(), list.rbegin(), list.rend());
  return out;
}

// The decoder exactly as the format defines it, a bit at a time; missing
// renormalisation bytes read as zero.
std::vector<std::uint8_t> reference_decode(const std::vector<std::uint8_t>& stream,
                                           std::uint64_t n) {
  const std::uint32_t p0 = stream[0] | (std::uint32_t{stream[1]} << 8);
  std::uint32_t x = 0;
  for (int k = 3; k >= 0; --k) x = (x << 8) | stream[2 + k];
  std::vector<std::uint8_t> out(packed_byte_count(n), 0);
  std::size_t pos = 6;
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint32_t r = x % 4096;
    const bool s = r >= p0;
    if (s) out[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
    x = (s ? 4096 - p0 : p0) * (x / 4096) + r - (s ? p0 : 0);
    while (x < (1u << 23)) x = (x << 8) | (pos < stream.size() ? stream[pos++] : 0u);
  }
  return out;
}

// Any well-formed header followed by arbitrary bytes, too many or too few of
// them, decodes as the bit-at-a-time model does.
TEST(Rans, ArbitraryStreamsDecodeAsTheReference) {
  std::mt19937_64 rng(4242);
  for (int round = 0; round < 3000; ++round) {
    const std::uint32_t p0 = 1 + static_cast<std::uint32_t>(rng() % 4095);
    const std::uint32_t x =
        (1u << 23) + static_cast<std::uint32_t>(rng() % ((1ull << 31) - (1u << 23)));
    std::vector<std::uint8_t> stream = {static_cast<std::uint8_t>(p0),
                                        static_cast<std::uint8_t>(p0 >> 8)};
    for (int k = 0; k < 4; ++k) stream.push_back(static_cast<std::uint8_t>(x >> (8 * k)));
    const std::size_t extra = rng() % 64;
    for (std::size_t k = 0; k < extra; ++k) stream.push_back(static_cast<std::uint8_t>(rng()));
    const std::uint64_t n = rng() % 700;
    ASSERT_EQ(rans_decode_bits(stream, n), reference_decode(stream, n))
        << "p0=" << p0 << " x=" << x << " n=" << n;
  }
}

// Streams pinned by value: bits 1 0 1 (p0 = 1365, no renormalisation byte); a
// lone 1 and a lone 0 (p0 clamped to 1 and to 4095); sixteen bits with twelve
// zeros (p0 = 3072, one renormalisation byte); and the nine tree bits
// 1 1 0 0 1 0 1 0 1 of two events on a 4 x 1 x 2 grid (p0 = 1820).
TEST(Rans, StreamsByValue) {
  EXPECT_EQ(rans_encode_bits(pack({1, 0, 1}), 3), bytes_of({0x55, 0x05, 0x00, 0x06, 0x60, 0x03}));
  EXPECT_EQ(rans_encode_bits(pack({1}), 1), bytes_of({0x01, 0x00, 0x01, 0x08, 0x80, 0x00}));
  EXPECT_EQ(rans_encode_bits(pack({0}), 1), bytes_of({0xFF, 0x0F, 0x00, 0x08, 0x80, 0x00}));
  EXPECT_EQ(rans_encode_bits(pack({1, 0, 1, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}), 16),
            bytes_of({0x00, 0x0C, 0x04, 0x4D, 0xC9, 0x0F, 0x00}));
  EXPECT_EQ(rans_encode_bits(bytes_of({0xCA, 0x80}), 9),
            bytes_of({0x1C, 0x07, 0xA6, 0x2B, 0xF2, 0x00, 0x78}));
}

TEST(Rans, ZeroBitsIsTheSixByteEmptyStream) {
  EXPECT_EQ(rans_encode_bits({}, 0), bytes_of({0x00, 0x08, 0x00, 0x00, 0x80, 0x00}));
  EXPECT_TRUE(rans_decode_bits({}, 0).empty());
  EXPECT_TRUE(rans_decode_bits(bytes_of({1, 2, 3}), 0).empty());
}

TEST(Rans, TrailingBitsBeyondTheCountAreNotRead) {
  EXPECT_EQ(rans_encode_bits(bytes_of({0xA0}), 3), rans_encode_bits(bytes_of({0xBF}), 3));
}

TEST(Rans, EveryLengthRoundTripsAndMatchesTheReference) {
  std::mt19937_64 rng(99);
  std::vector<std::uint64_t> lengths;
  for (std::uint64_t n = 0; n <= 200; ++n) lengths.push_back(n);
  for (std::uint64_t n : {1000, 4097, 65536, 300001}) lengths.push_back(n);
  for (const std::uint64_t n : lengths) {
    // Skewed and balanced sources, so both renormalisation paths run.
    for (const unsigned ones_per_256 : {0u, 3u, 128u, 250u, 256u}) {
      std::vector<std::uint8_t> bytes(packed_byte_count(n), 0);
      for (std::uint64_t i = 0; i < n; ++i)
        if ((rng() & 255) < ones_per_256)
          bytes[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
      const auto stream = rans_encode_bits(bytes, n);
      ASSERT_GE(stream.size(), kRansHeaderBytes);
      ASSERT_EQ(stream, reference_encode(bytes, n)) << "n=" << n;
      ASSERT_EQ(rans_decode_bits(stream, n), bytes) << "n=" << n;
    }
  }
}

TEST(Rans, MalformedInputIsAFaultNotAHang) {
  EXPECT_THROW((void)rans_encode_bits(bytes_of({0xFF}), 9), Fault);
  EXPECT_THROW((void)rans_decode_bits(bytes_of({0x00, 0x08, 0x00, 0x00, 0x80}), 1), Fault);
  // A state of 0 would renormalise forever.
  EXPECT_THROW((void)rans_decode_bits(bytes_of({0x00, 0x08, 0x00, 0x00, 0x00, 0x00}), 4), Fault);
  EXPECT_THROW((void)rans_decode_bits(bytes_of({0x00, 0x00, 0x00, 0x00, 0x80, 0x00}), 4), Fault);
  EXPECT_THROW((void)rans_decode_bits(bytes_of({0x00, 0x10, 0x00, 0x00, 0x80, 0x00}), 4), Fault);
  // A state of 2^31 or more is one the encoder never ends in.
  EXPECT_THROW((void)rans_decode_bits(bytes_of({0x00, 0x08, 0x00, 0x00, 0x00, 0x80}), 4), Fault);
}

// The header's bounds, each refusal by its message; the lowest and highest
// accepted values.
TEST(Rans, HeaderParsedOrRefusedByValue) {
  auto message = [](std::vector<std::uint8_t> stream) {
    const Result<RansHeader> header = parse_rans_header(stream);
    return header.ok() ? std::string("ok") : header.error().message();
  };
  EXPECT_EQ(message(bytes_of({0x01, 0x00, 0x00, 0x00, 0x80})),
            "rANS code shorter than its 6-byte header");
  EXPECT_EQ(message(bytes_of({0x00, 0x00, 0x00, 0x00, 0x80, 0x00})),
            "rANS header holds the probability 0, outside 1..4095");
  EXPECT_EQ(message(bytes_of({0x00, 0x10, 0x00, 0x00, 0x80, 0x00})),
            "rANS header holds the probability 4096, outside 1..4095");
  EXPECT_EQ(message(bytes_of({0x01, 0x00, 0xFF, 0xFF, 0x7F, 0x00})),
            "rANS header holds the state 8388607, outside 2^23..2^31-1");
  EXPECT_EQ(message(bytes_of({0x01, 0x00, 0x00, 0x00, 0x00, 0x80})),
            "rANS header holds the state 2147483648, outside 2^23..2^31-1");
  const Result<RansHeader> low = parse_rans_header(bytes_of({0x01, 0x00, 0x00, 0x00, 0x80, 0x00}));
  ASSERT_TRUE(low.ok());
  EXPECT_EQ(low.value().p0, 1u);
  EXPECT_EQ(low.value().state, 1u << 23);
  const Result<RansHeader> high =
      parse_rans_header(bytes_of({0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x7F, 0x42}));
  ASSERT_TRUE(high.ok());
  EXPECT_EQ(high.value().p0, 4095u);
  EXPECT_EQ(high.value().state, 0x7FFFFFFFu);
}

TEST(Rans, TruncatedStreamDecodesWithZeroBytes) {
  std::vector<std::uint8_t> bytes(64, 0x5A);
  auto stream = rans_encode_bits(bytes, 512);
  ASSERT_GT(stream.size(), 8u);
  stream.resize(8);
  EXPECT_EQ(rans_decode_bits(stream, 512).size(), 64u);
}

}  // namespace
}  // namespace ovk
