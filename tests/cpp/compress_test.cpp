#include "codec/compress.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "codec/frame_delta.h"
#include "codec/rans.h"
#include "codec/tree_bits.h"
#include "codec_test_support.h"
#include "reference_codec.h"

namespace ovk {
namespace {

using testing_support::bytes_of;

// Two events on a 4 x 1 grid with 2 time bins, at (x 1, t 0) and (x 3, t 100):
// cells (1, 0, bin 0) and (3, 0, bin 1), tree bits 1 1 0 0 1 0 1 0 1 at depth
// limit 2, a 7-byte stream.
const EventVec kTwoEvents = {{1, 0, 0, 0}, {3, 0, 100, 0}};

TEST(Compress, TwoEventsByValue) {
  const CompressOutput out = compress_events(kTwoEvents, 4, 1, 2, 2).value();
  EXPECT_EQ(out.bitstream, bytes_of({0x1C, 0x07, 0xA6, 0x2B, 0xF2, 0x00, 0x78}));
  EXPECT_EQ(out.record.n_events, 2u);
  EXPECT_EQ(out.record.raw_bytes, 18u);
  EXPECT_EQ(out.record.bitstream_bytes, 7u);
  EXPECT_EQ(out.record.n_bits, 9u);
  EXPECT_EQ(out.record.sparsity, 0.75);
}

TEST(Compress, EmptyInputRunsEveryStep) {
  const CompressOutput out = compress_events({}, 64, 64, 8, 4).value();
  // The empty grid's tree is a single 0 bit.
  EXPECT_EQ(out.bitstream, bytes_of({0xFF, 0x0F, 0x00, 0x08, 0x80, 0x00}));
  EXPECT_EQ(out.record.n_events, 0u);
  EXPECT_EQ(out.record.n_bits, 1u);
  EXPECT_EQ(out.record.sparsity, 1.0);
  EXPECT_EQ(out.record.compression_ratio(), 0.0);
  EXPECT_EQ(out.record.bits_per_event(), 48.0);
}

TEST(Compress, DeterministicApartFromTimes) {
  std::mt19937_64 rng(1);
  const EventVec events = testing_support::random_events(rng, 5000, 345, 259, 100000);
  const CompressOutput a = compress_events(events, 346, 260, 16, 8).value();
  const CompressOutput b = compress_events(events, 346, 260, 16, 8).value();
  EXPECT_EQ(a.bitstream, b.bitstream);
  EXPECT_EQ(a.record.n_bits, b.record.n_bits);
  EXPECT_EQ(a.record.sparsity, b.record.sparsity);
}

// The largest geometry costs what its one event costs: root and eight levels
// of eight children, the first child occupied each time.
TEST(Compress, LargestGeometryWithOneEvent) {
  const EventVec one = {{0, 0, 0, 0}};
  const CompressOutput out = compress_events(one, 65535, 65535, 65535, 8).value();
  EXPECT_EQ(out.record.n_bits, 1u + 8 * 8);
  EXPECT_EQ(out.record.sparsity, 1.0 - 1.0 / 281474976710656.0);
  std::vector<std::uint8_t> bits(9, 0x40);  // bit 8k + 1 of every byte: each group's first child
  bits[0] = 0xC0;                           // and the root's bit
  bits[8] = 0x00;                           // the 65th bit is the last group's last child
  EXPECT_EQ(rans_decode_bits(out.bitstream, out.record.n_bits), bits);
}

TEST(SplitFrames, FactorIsFramesMinusOne) {
  const EventVec a = {{0, 0, 0, 0}, {0, 0, 10, 0}, {0, 0, 20, 0}};
  EXPECT_EQ(split_frames(a, 2), (std::vector<std::uint64_t>{0, 0, 1}));
  const EventVec b = {{0, 0, 0, 0}, {0, 0, 10, 0}, {0, 0, 19, 0}};
  EXPECT_EQ(split_frames(b, 2), (std::vector<std::uint64_t>{0, 0, 1}));
  const EventVec same = {{0, 0, 5, 0}, {1, 1, 5, 0}};
  EXPECT_EQ(split_frames(same, 4), (std::vector<std::uint64_t>{0, 0}));
  const EventVec spread = {{0, 0, 100, 0}, {0, 0, 0, 0}, {0, 0, 50, 0}, {0, 0, 99, 0}};
  EXPECT_EQ(split_frames(spread, 3), (std::vector<std::uint64_t>{2, 0, 1, 1}));
}

TEST(CompressSequence, EmptyCases) {
  for (const auto& [events, frames] : std::vector<std::pair<EventVec, std::uint64_t>>{
           {kTwoEvents, 0}, {{}, 5}, {{}, 1ull << 62}}) {
    const SequenceOutput out = compress_sequence(events, 4, 1, 2, 2, frames).value();
    EXPECT_TRUE(out.frame_codes.empty());
    EXPECT_EQ(out.record.n_events, 0u);
    EXPECT_EQ(out.record.bitstream_bytes, 0u);
    EXPECT_EQ(out.record.n_bits, 0u);
    EXPECT_EQ(out.record.encode_us, 0u);
    EXPECT_EQ(out.record.sparsity, 1.0);
    EXPECT_EQ(out.record.bits_per_event(), 0.0);
  }
}

TEST(CompressSequence, OneFrameEqualsCompress) {
  std::mt19937_64 rng(3);
  const EventVec events = testing_support::random_events(rng, 3000, 127, 127, 50000);
  const CompressOutput single = compress_events(events, 128, 128, 8, 6).value();
  const SequenceOutput seq = compress_sequence(events, 128, 128, 8, 6, 1).value();
  ASSERT_EQ(seq.frame_codes.size(), 1u);
  EXPECT_EQ(seq.frame_codes[0], single.bitstream);
  EXPECT_EQ(seq.record.bitstream_bytes, single.record.bitstream_bytes);
  EXPECT_EQ(seq.record.n_bits, single.record.n_bits);
  EXPECT_EQ(seq.record.sparsity, single.record.sparsity);
  EXPECT_EQ(seq.record.raw_bytes, 9u * 3000);
  EXPECT_EQ(seq.frame_bit_counts, (std::vector<std::uint64_t>{single.record.n_bits}));
}

TEST(CompressSequence, EmptyLaterFramesCodeAsOneZeroPair) {
  // All events share one timestamp: frame 0 holds them, frames 1 and 2 are empty.
  const EventVec events = {{1, 0, 7, 0}};
  const SequenceOutput out = compress_sequence(events, 4, 1, 2, 2, 3).value();
  ASSERT_EQ(out.frame_codes.size(), 3u);
  // Frame 0's tree: root split into four, the first split again: bits
  // 1 1000 01 = 0xC2 (7 bits). Frame 1 (a lone 0 bit, byte 0x00) xors
  // against 0xC2; frame 2 against frame 1's 0x00.
  EXPECT_EQ(out.frame_codes[1], bytes_of({1, 0xC2}));
  EXPECT_EQ(out.frame_codes[2], bytes_of({1, 0}));
  EXPECT_EQ(out.record.n_bits, 9u);
  EXPECT_EQ(out.record.bitstream_bytes, out.frame_codes[0].size() + 4);
  EXPECT_DOUBLE_EQ(out.record.sparsity, (1.0 - 1.0 / 8 + 1.0 + 1.0) / 3);
}

TEST(CompressSequence, TooManyFramesIsOutOfMemoryBeforeAnyWork) {
  const auto r = compress_sequence(kTwoEvents, 4, 1, 2, 2, 1ull << 62);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::kOutOfMemory);
}

// Every frame code decodes back to that frame's packed tree bits: frame 0
// through rANS, later frames by undoing run-length and xor against the
// previous frame's bits.
TEST(CompressSequence, FrameCodesDecodeToEachFramesTreeBits) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 30; ++round) {
    const std::uint64_t n_frames = 1 + rng() % 9;
    const EventVec events =
        testing_support::random_events(rng, 1 + rng() % 400, 63, 31, 1 + rng() % 5000);
    const auto max_depth = static_cast<std::uint8_t>(rng() % 8);
    const SequenceOutput out = compress_sequence(events, 64, 32, 4, max_depth, n_frames).value();
    ASSERT_EQ(out.frame_codes.size(), n_frames);

    const std::vector<std::uint64_t> frame_of = split_frames(events, n_frames);
    std::vector<std::uint8_t> previous;
    std::uint64_t total_bits = 0;
    for (std::uint64_t k = 0; k < n_frames; ++k) {
      EventVec frame;
      for (std::size_t i = 0; i < events.size(); ++i)
        if (frame_of[i] == k) frame.push_back(events[i]);
      const PackedBits expected = reference::encode(frame, 64, 32, 4, max_depth).bits;
      ASSERT_EQ(out.frame_bit_counts[k], expected.bit_count);
      total_bits += expected.bit_count;
      std::vector<std::uint8_t> bits =
          k == 0 ? rans_decode_bits(out.frame_codes[0], expected.bit_count)
                 : xor_delta(previous, rle_decode(out.frame_codes[k]));
      // Decoded bits may carry zero bytes beyond the frame's own length.
      std::vector<std::uint8_t> head(bits.begin(), bits.begin() + expected.bytes.size());
      ASSERT_EQ(head, expected.bytes) << "frame " << k;
      for (std::size_t i = expected.bytes.size(); i < bits.size(); ++i) ASSERT_EQ(bits[i], 0);
      previous = bits;
    }
    EXPECT_EQ(out.record.n_bits, total_bits);
  }
}

}  // namespace
}  // namespace ovk
