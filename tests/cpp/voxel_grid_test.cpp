#include "codec/voxel_grid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace ovk {
namespace {

std::uint64_t bin_of(const VoxelGrid& g, std::uint64_t x, std::uint64_t y) {
  // The only set bin of pixel (x, y); fails the test if there is not exactly one.
  std::uint64_t found = g.padded_bins;
  for (std::uint64_t b = 0; b < g.padded_bins; ++b) {
    if (g.test((x * g.padded_height + y) * g.padded_bins + b)) {
      EXPECT_EQ(found, g.padded_bins) << "two bins set";
      found = b;
    }
  }
  return found;
}

TEST(NextPowerOfTwo, SmallAndLargeValues) {
  const std::uint64_t expected[] = {1, 1, 2, 4, 4, 8};
  for (std::uint64_t n = 0; n < 6; ++n) EXPECT_EQ(next_power_of_two(n), expected[n]);
  EXPECT_EQ(next_power_of_two(640), 1024u);
  EXPECT_EQ(next_power_of_two(128), 128u);
  EXPECT_EQ(next_power_of_two(65535), 65536u);
}

TEST(VoxelGrid, WorkedExampleIsOneByte0x84) {
  const EventVec events = {{1, 0, 0, 0}, {3, 0, 100, 0}};
  const VoxelGrid g = build_voxel_grid(events, 4, 1, 2).value();
  EXPECT_EQ(g.padded_width, 4u);
  EXPECT_EQ(g.padded_height, 1u);
  EXPECT_EQ(g.padded_bins, 2u);
  ASSERT_EQ(g.bits.size(), 1u);
  EXPECT_EQ(g.bits.data()[0], 0x84);
  EXPECT_EQ(g.occupied, 2u);
  EXPECT_DOUBLE_EQ(g.sparsity(), 0.75);
}

TEST(VoxelGrid, PaddedSizesAndBitmapLength) {
  const VoxelGrid g = build_voxel_grid({}, 640, 480, 10).value();
  EXPECT_EQ(g.padded_width, 1024u);
  EXPECT_EQ(g.padded_height, 512u);
  EXPECT_EQ(g.padded_bins, 16u);
  EXPECT_EQ(g.bits.size(), 1048576u);
  EXPECT_EQ(g.occupied, 0u);
  EXPECT_EQ(g.sparsity(), 1.0);
}

TEST(VoxelGrid, ZeroSizesGiveOneCell) {
  const EventVec events = {{5, 9, 7, 1}, {60000, 3, 99, 0}};
  const VoxelGrid g = build_voxel_grid(events, 0, 0, 0).value();
  EXPECT_EQ(g.cell_count(), 1u);
  EXPECT_EQ(g.occupied, 1u);
  EXPECT_EQ(build_voxel_grid({}, 0, 0, 0).value().occupied, 0u);
}

TEST(VoxelGrid, TimeBinning) {
  // Single event or one shared timestamp: range 1, every event in bin 0.
  const VoxelGrid same = build_voxel_grid(EventVec{{0, 0, 50, 0}, {1, 0, 50, 0}}, 2, 1, 8).value();
  EXPECT_EQ(bin_of(same, 0, 0), 0u);
  EXPECT_EQ(bin_of(same, 1, 0), 0u);

  // One microsecond apart: tmin in bin 0, tmin + 1 in the last bin.
  const VoxelGrid apart = build_voxel_grid(EventVec{{0, 0, 10, 0}, {1, 0, 11, 0}}, 2, 1, 6).value();
  EXPECT_EQ(bin_of(apart, 0, 0), 0u);
  EXPECT_EQ(bin_of(apart, 1, 0), 5u);

  // Four bins over 0..1000: only t = tmax reaches the last bin.
  const EventVec four = {{0, 0, 0, 0}, {1, 0, 500, 0}, {2, 0, 999, 0}, {3, 0, 1000, 0}};
  const VoxelGrid g4 = build_voxel_grid(four, 4, 1, 4).value();
  EXPECT_EQ(bin_of(g4, 0, 0), 0u);
  EXPECT_EQ(bin_of(g4, 1, 0), 1u);
  EXPECT_EQ(bin_of(g4, 2, 0), 2u);
  EXPECT_EQ(bin_of(g4, 3, 0), 3u);

  // time_bins 0 and 1 put everything in bin 0.
  for (std::uint16_t bins : {0, 1}) {
    const VoxelGrid g = build_voxel_grid(four, 4, 1, bins).value();
    for (std::uint64_t x = 0; x < 4; ++x) EXPECT_EQ(bin_of(g, x, 0), 0u);
  }

  // time_bins 5 pads to 8; bins 5..7 never fill.
  EventVec many;
  for (std::uint32_t t = 0; t <= 1000; ++t) many.push_back({0, 0, t, 0});
  const VoxelGrid g5 = build_voxel_grid(many, 1, 1, 5).value();
  EXPECT_EQ(g5.padded_bins, 8u);
  EXPECT_EQ(g5.bits.data()[0], 0x1F);
  EXPECT_EQ(g5.occupied, 5u);
}

TEST(VoxelGrid, CoordinatesClampToPaddedSizes) {
  const EventVec events = {{700, 0, 0, 0}, {5000, 1, 0, 0}, {0, 500, 0, 0}, {1, 600, 0, 0}};
  const VoxelGrid g = build_voxel_grid(events, 640, 480, 1).value();
  EXPECT_TRUE(g.test(700 * 512 + 0));
  EXPECT_TRUE(g.test(1023 * 512 + 1));
  EXPECT_TRUE(g.test(0 * 512 + 500));
  EXPECT_TRUE(g.test(1 * 512 + 511));
  EXPECT_EQ(g.occupied, 4u);
}

TEST(VoxelGrid, EventsInOneCellCountOnceWhateverTheirPolarity) {
  const EventVec events = {{2, 3, 0, 0}, {2, 3, 0, 1}, {2, 3, 0, 255}};
  const VoxelGrid g = build_voxel_grid(events, 4, 4, 1).value();
  EXPECT_EQ(g.occupied, 1u);
}

TEST(VoxelGrid, ImpossibleGeometryIsOutOfMemoryNotACrash) {
  const EventVec events = {{0, 0, 0, 0}};
  const Result<VoxelGrid> r = build_voxel_grid(events, 65535, 65535, 65535);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::kOutOfMemory);
  EXPECT_EQ(r.error().message(), "out of memory");
}

TEST(VoxelGrid, DoubleToUnsignedSaturates) {
  EXPECT_EQ(saturating_double_to_u64(-1.0), 0u);
  EXPECT_EQ(saturating_double_to_u64(std::nan("")), 0u);
  EXPECT_EQ(saturating_double_to_u64(2.9), 2u);
  EXPECT_EQ(saturating_double_to_u64(1e30), std::numeric_limits<std::uint64_t>::max());
}

}  // namespace
}  // namespace ovk
