// The sparse encode path against the reference model, byte for byte, on
// geometries from a single cell to the largest; and the costs that must
// follow the events: huge volumes with a few events run under an
// address-space cap, and frame counts are judged by what a frame costs.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <sstream>
#include <string>

#include "codec/compress.h"
#include "codec/memory_budget.h"
#include "codec/rans.h"
#include "codec/tree_bits.h"
#include "codec_test_support.h"
#include "reference_codec.h"

namespace ovk {
namespace {

using testing_support::encode_bits;

using testing_support::kUnderSanitizer;
using testing_support::passes_under_address_limit;

PackedBits bits_from_text(const std::string& text) {
  PackedBits out;
  out.bit_count = text.size();
  out.bytes.assign(packed_byte_count(text.size()), 0);
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] == '1') out.bytes[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
  return out;
}

void expect_same_as_reference(const EventVec& events, std::uint16_t w, std::uint16_t h,
                              std::uint16_t bins, std::uint8_t depth) {
  const reference::Code expected = reference::encode(events, w, h, bins, depth);
  const CompressOutput out = compress_events(events, w, h, bins, depth).value();
  std::ostringstream where;
  where << w << "x" << h << "x" << bins << " depth " << +depth << ", " << events.size()
        << " events";
  ASSERT_EQ(encode_bits(events, w, h, bins, depth), expected.bits) << where.str();
  ASSERT_EQ(out.bitstream, rans_encode_bits(expected.bits.bytes, expected.bits.bit_count))
      << where.str();
  ASSERT_EQ(out.record.n_bits, expected.bits.bit_count) << where.str();
  ASSERT_EQ(out.record.sparsity, expected.sparsity) << where.str();
}

// Sizes 0, 1, non-powers of two and very unequal axes; depths from 0 to past
// the deepest level; coordinates past the padded sizes; repeated cells and
// shared timestamps.
TEST(SparseCodec, MatchesReferenceOnRandomRecordings) {
  std::mt19937_64 rng(12345);
  const std::uint16_t sizes[] = {0, 1, 2, 3, 5, 7, 8, 13, 31, 64, 100, 65535};
  for (int round = 0; round < 400; ++round) {
    const std::uint16_t w = sizes[rng() % std::size(sizes)];
    const std::uint16_t h = sizes[rng() % std::size(sizes)];
    const std::uint16_t bins = sizes[rng() % std::size(sizes)];
    const auto depth = static_cast<std::uint8_t>(rng() % 19);
    const std::size_t n = rng() % 4 == 0 ? 0 : rng() % 120;
    const std::uint16_t reach_x = w > 60000 ? 65535 : static_cast<std::uint16_t>(w + 3);
    const std::uint16_t reach_y = h > 60000 ? 65535 : static_cast<std::uint16_t>(h + 3);
    const std::uint32_t span = rng() % 5 == 0 ? 0 : static_cast<std::uint32_t>(rng() % 1000000);
    EventVec events = testing_support::random_events(rng, n, reach_x, reach_y, span);
    if (!events.empty() && rng() % 3 == 0) events.push_back(events[rng() % events.size()]);
    expect_same_as_reference(events, w, h, bins, depth);
  }
}

TEST(SparseCodec, MatchesReferenceOnUnequalAxes) {
  std::mt19937_64 rng(99);
  const std::uint16_t shapes[][3] = {{1, 1, 65535}, {65535, 1, 1}, {65535, 65535, 1},
                                     {1, 65535, 2},  {3, 1, 65535}, {0, 0, 0}};
  for (const auto& s : shapes) {
    for (std::uint8_t depth : {0, 1, 2, 7, 15, 16, 17, 255}) {
      const EventVec events = testing_support::random_events(rng, 1 + rng() % 40, 65535, 65535,
                                                             static_cast<std::uint32_t>(rng()));
      expect_same_as_reference(events, s[0], s[1], s[2], depth);
    }
  }
}

TEST(SparseCodec, SmallDenseRecordingsTakeTheBitmapAndMatch) {
  // Many events on a small grid: the bitmap path sorts the keys.
  std::mt19937_64 rng(4);
  for (int round = 0; round < 20; ++round) {
    const EventVec events = testing_support::random_events(rng, 2000 + rng() % 2000, 9, 6, 5000);
    ASSERT_TRUE(detail::prefers_bitmap(events.size(), GridGeometry(8, 8, 16).key_bits()));
    expect_same_as_reference(events, 8, 8, 16, static_cast<std::uint8_t>(rng() % 6));
  }
}

// 65535 x 65535 x 65535 pads to 2^16 on every axis, so every level halves all
// three axes and a split node has eight children. Event A at (0, 0) and event
// B at (65535, 65535), later, fall in bins 0 and 65534: the root splits into
// children 0 (A) and 7 (B); below, A's path keeps taking child 0 and B's
// child 7 (all high halves) until the last level, where B's bin 65534 is even
// and it takes child 6. Volume-sized work or memory would not fit in the cap.
TEST(SparseCodec, LargestGeometryWithTwoEventsUnderAddressLimit) {
  std::ostringstream text;
  text << "1" << "10000001";
  for (int level = 2; level < 16; ++level) text << "10000000" << "00000001";
  text << "10000000" << "00000010";
  const PackedBits expected = bits_from_text(text.str());
  ASSERT_EQ(expected.bit_count, 1u + 8 + 15 * 16);
  const EventVec events = {{0, 0, 1000, 1}, {65535, 65535, 5000, 0}};
  const bool ok = passes_under_address_limit(256u << 20, [&] {
    const CompressOutput out = compress_events(events, 65535, 65535, 65535, 16).value();
    const SequenceOutput seq = compress_sequence(events, 65535, 65535, 65535, 20, 3).value();
    return encode_bits(events, 65535, 65535, 65535, 16) == expected &&
           out.record.n_bits == expected.bit_count &&
           out.bitstream == rans_encode_bits(expected.bytes, expected.bit_count) &&
           out.record.sparsity == 1.0 - 2.0 / 281474976710656.0 &&
           seq.frame_bit_counts == std::vector<std::uint64_t>{1 + 16 * 8, 1, 1 + 16 * 8};
  });
  EXPECT_TRUE(ok);
  // The same bits from the reference model.
  EXPECT_EQ(reference::encode(events, 65535, 65535, 65535, 16).bits, expected);
}

// A frame holds kFrameBookkeepingBytes until the caller has its code: counts whose
// frames cannot fit are refused at once, before anything is allocated.
TEST(SparseCodec, FrameCountJudgedByPerFrameCost) {
  const EventVec events = {{1, 0, 0, 0}, {3, 0, 100, 0}};
  const std::uint64_t fitting = memory_budget_bytes() / kFrameBookkeepingBytes;
  for (const std::uint64_t n : {fitting + 1, memory_budget_bytes() / 100, std::uint64_t{1} << 62}) {
    const auto r = compress_sequence(events, 4, 1, 2, 2, n);
    ASSERT_FALSE(r.ok()) << n;
    EXPECT_EQ(r.error().kind(), ErrorKind::kOutOfMemory);
  }
}

// Under a 1 GiB address-space cap: 10 million frames need 1.28 GB and are
// refused at once; one million fit, and every empty frame codes as one zero
// pair.
TEST(SparseCodec, FrameCountJudgedAgainstAddressLimit) {
  if (kUnderSanitizer) GTEST_SKIP() << "the sanitizer's shadow memory cannot live under a cap";
  const EventVec events = {{1, 0, 0, 0}, {3, 0, 100, 0}};
  const bool ok = passes_under_address_limit(1u << 30, [&] {
    const auto refused = compress_sequence(events, 4, 1, 2, 2, 10'000'000);
    if (refused.ok() || refused.error().kind() != ErrorKind::kOutOfMemory) return false;
    const SequenceOutput out = compress_sequence(events, 4, 1, 2, 2, 1'000'000).value();
    return out.frame_codes.size() == 1'000'000 && out.frame_codes[500'000] ==
           std::vector<std::uint8_t>{1, 0} && out.record.n_bits == 2 * 7 + 999'998;
  });
  EXPECT_TRUE(ok);
}

}  // namespace
}  // namespace ovk
