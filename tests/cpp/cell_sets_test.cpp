// The codec from a recording's cells, gathered a block at a time, against
// the codec on the whole recording: the same codes and the same records.
#include "codec/cell_sets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codec/compress.h"
#include "codec/context_compress.h"
#include "splitmix64.h"

namespace ovk {
namespace {

using testing_support::SplitMix64;

// A recording drawn from `seed`: times in any order (some repeated), a few
// coordinates past the sensor, clustered or spread out.
EventVec random_recording(std::uint64_t seed, std::size_t n, std::uint16_t width,
                          std::uint16_t height, std::uint32_t span) {
  SplitMix64 rng(seed);
  EventVec events(n);
  const std::uint32_t t0 = static_cast<std::uint32_t>(rng.below(1000));
  for (Event& e : events) {
    e.x = static_cast<std::uint16_t>(rng.below(width + 2u));
    e.y = static_cast<std::uint16_t>(rng.below(height + 2u));
    e.t = t0 + static_cast<std::uint32_t>(rng.below(std::uint64_t{span} + 1));
    e.p = static_cast<std::uint8_t>(rng.below(2));
  }
  if (seed % 2 == 0) {
    std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.t < b.t; });
  }
  return events;
}

// Calls `each` with the events in blocks of `block` (the last one shorter).
template <class Each>
void in_blocks(EventSpan events, std::size_t block, const Each& each) {
  for (std::size_t at = 0; at < events.size(); at += block)
    each(events.subspan(at, std::min(block, events.size() - at)));
}

// The cells as a sweep gathers them: a pass for the frames' time ranges,
// then passes of at most `per_pass` frames.
FrameCells gathered(EventSpan events, std::uint16_t width, std::uint16_t height,
                    std::uint16_t bins, std::uint64_t n_frames, std::size_t block,
                    std::uint64_t per_pass) {
  const TimeScale whole(events);
  const FrameSplit split(whole, n_frames);
  FrameTimeRanges ranges(split);
  in_blocks(events, block, [&](EventSpan b) { ranges.add(b); });
  const std::vector<TimeScale> scales = n_frames == 1 ? std::vector{whole} : ranges.scales();
  const GridGeometry geometry(width, height, bins);
  const CellKeyer keyer(geometry, bins);
  FrameCells cells;
  for (std::uint64_t first = 0; first < n_frames; first += per_pass) {
    CellGatherer gatherer(keyer, split, scales, first, std::min(per_pass, n_frames - first),
                          events.size());
    in_blocks(events, block, [&](EventSpan b) { gatherer.add(b); });
    gatherer.take_into(cells);
  }
  return cells;
}

void expect_same_record(const CompressionRecord& got, const CompressionRecord& want,
                        const std::string& where) {
  EXPECT_EQ(got.n_events, want.n_events) << where;
  EXPECT_EQ(got.raw_bytes, want.raw_bytes) << where;
  EXPECT_EQ(got.bitstream_bytes, want.bitstream_bytes) << where;
  EXPECT_EQ(got.n_bits, want.n_bits) << where;
  EXPECT_EQ(got.sparsity, want.sparsity) << where;  // the same double, bit for bit
}

struct Shape {
  std::size_t n;
  std::uint16_t width;
  std::uint16_t height;
  std::uint32_t span;
};

TEST(CellSets, CodesFromGatheredCellsEqualTheWholeRecordings) {
  const Shape shapes[] = {{1, 3, 3, 0},       {7, 1, 1, 5},           {500, 40, 30, 50'000},
                          {3000, 17, 9, 200}, {2000, 1280, 720, 4'000'000'000u}};
  std::uint64_t seed = 1;
  for (const Shape& shape : shapes) {
    for (int repeat = 0; repeat < 2; ++repeat, ++seed) {
      const EventVec events = random_recording(seed, shape.n, shape.width, shape.height, shape.span);
      for (const std::uint16_t bins : {1, 2, 7, 64}) {
        for (const std::uint64_t frames : {1, 2, 3, 10}) {
          const FrameCells cells =
              gathered(events, shape.width, shape.height, bins, frames, 1 + seed * 37 % 700, 1000);
          for (const std::uint8_t depth : {0, 3, 12}) {
            const std::string where = "seed " + std::to_string(seed) + ", " +
                                      std::to_string(bins) + " bins, " + std::to_string(frames) +
                                      " frames, depth " + std::to_string(depth);
            if (frames == 1) {
              for (const auto& [whole, from_cells] :
                   {std::pair{&compress_events, &compress_cells},
                    std::pair{&compress_events_context, &compress_cells_context}}) {
                const CompressOutput want =
                    whole(events, shape.width, shape.height, bins, depth).value();
                const CompressOutput got = from_cells(cells.frame(0), events.size(), shape.width,
                                                      shape.height, bins, depth)
                                               .value();
                EXPECT_EQ(got.bitstream, want.bitstream) << where;
                expect_same_record(got.record, want.record, where);
              }
              continue;
            }
            for (const auto& [whole, from_cells] :
                 {std::pair{&compress_sequence, &compress_sequence_cells},
                  std::pair{&compress_sequence_context, &compress_sequence_cells_context}}) {
              const SequenceOutput want =
                  whole(events, shape.width, shape.height, bins, depth, frames).value();
              const SequenceOutput got =
                  from_cells(cells, events.size(), shape.width, shape.height, bins, depth).value();
              EXPECT_EQ(got.frame_codes, want.frame_codes) << where;
              EXPECT_EQ(got.frame_bit_counts, want.frame_bit_counts) << where;
              expect_same_record(got.record, want.record, where);
            }
          }
        }
      }
    }
  }
}

TEST(CellSets, FramesGatheredInSeveralPassesEqualOnePass) {
  const EventVec events = random_recording(8, 4000, 50, 20, 1'000'000);
  const FrameCells one = gathered(events, 50, 20, 16, 10, 512, 10);
  for (const std::uint64_t per_pass : {1, 3, 4, 9}) {
    const FrameCells several = gathered(events, 50, 20, 16, 10, 512, per_pass);
    EXPECT_EQ(several.keys, one.keys) << per_pass;
    EXPECT_EQ(several.offsets, one.offsets) << per_pass;
  }
  EXPECT_EQ(one.size(), 10u);
}

TEST(CellSets, NoEventsGiveTheEmptyRecordsOfTheWholeCodec) {
  FrameCells none;
  none.offsets.push_back(0);
  const CompressOutput want = compress_events({}, 8, 8, 4, 5).value();
  const CompressOutput got = compress_cells(none.frame(0), 0, 8, 8, 4, 5).value();
  EXPECT_EQ(got.bitstream, want.bitstream);
  expect_same_record(got.record, want.record, "no events");
  const SequenceOutput sequence = compress_sequence_cells(none, 0, 8, 8, 4, 5).value();
  EXPECT_TRUE(sequence.frame_codes.empty());
  EXPECT_EQ(sequence.record.sparsity, 1.0);
}

TEST(DistinctKeys, EqualsASetAcrossManyMerges) {
  // More keys than one batch, so that batches merge into the keys so far.
  SplitMix64 rng(3);
  DistinctKeys keys(30, 0);  // too few keys expected for the bitmap
  std::vector<std::uint64_t> model;
  const std::size_t n = 3 * DistinctKeys::kMinBatch + 12345;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = rng.below(std::uint64_t{1} << 21) << 9;
    keys.add(key);
    model.push_back(key);
  }
  std::sort(model.begin(), model.end());
  model.erase(std::unique(model.begin(), model.end()), model.end());
  EXPECT_EQ(keys.take(), model);
  EXPECT_TRUE(keys.take().empty());
}

TEST(DistinctKeys, TheBitmapGivesWhatTheBatchesGive) {
  SplitMix64 rng(4);
  DistinctKeys bitmap(16, 1 << 20);  // many keys expected in a small space
  DistinctKeys batches(16, 0);
  for (int i = 0; i < 50'000; ++i) {
    const std::uint64_t key = rng.below(std::uint64_t{1} << 16) | 1;  // every even key absent
    bitmap.add(key);
    batches.add(key);
  }
  const std::vector<std::uint64_t> keys = batches.take();
  EXPECT_GT(keys.size(), 20'000u);
  EXPECT_EQ(bitmap.take(), keys);
}

TEST(FrameSplit, IsTheRuleOfSplitFrames) {
  const EventVec events = random_recording(11, 1000, 10, 10, 123'457);
  for (const std::uint64_t frames : {1, 2, 5, 64}) {
    const std::vector<std::uint64_t> want = split_frames(events, frames);
    const FrameSplit split(TimeScale(events), frames);
    for (std::size_t i = 0; i < events.size(); ++i)
      ASSERT_EQ(split.frame_of(events[i].t), want[i]) << frames << " frames, event " << i;
  }
}

TEST(FramesPerPass, FrameAndKeyShareSixtyFourBits) {
  EXPECT_EQ(frames_per_pass(48), std::uint64_t{1} << 16);
  EXPECT_EQ(frames_per_pass(20), std::uint64_t{1} << 44);
  EXPECT_EQ(frames_per_pass(0), std::uint64_t{1} << 63);
}

}  // namespace
}  // namespace ovk
