#include "codec/voxel_grid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "codec_test_support.h"
#include "reference_codec.h"

namespace ovk {
namespace {

using testing_support::Cell;

std::vector<std::uint64_t> keys_of(EventSpan events, std::uint16_t width, std::uint16_t height,
                                   std::uint16_t time_bins) {
  return occupied_cell_keys(events, GridGeometry(width, height, time_bins), time_bins).value();
}

// Sorted distinct keys of hand-picked cells.
std::vector<std::uint64_t> keys_of_cells(const GridGeometry& g, const std::vector<Cell>& cells) {
  std::vector<std::uint64_t> keys;
  for (const Cell& c : cells) keys.push_back(g.key(c.x, c.y, c.t));
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

// On a 1 x 1 x time_bins grid a cell's key is its time bin.
std::vector<std::uint64_t> bins_of(const EventVec& events, std::uint16_t time_bins) {
  return keys_of(events, 1, 1, time_bins);
}

TEST(NextPowerOfTwo, SmallAndLargeValues) {
  const std::uint64_t expected[] = {1, 1, 2, 4, 4, 8};
  for (std::uint64_t n = 0; n < 6; ++n) EXPECT_EQ(next_power_of_two(n), expected[n]);
  EXPECT_EQ(next_power_of_two(640), 1024u);
  EXPECT_EQ(next_power_of_two(128), 128u);
  EXPECT_EQ(next_power_of_two(65535), 65536u);
}

TEST(GridGeometry, PaddedSizes) {
  const GridGeometry g(640, 480, 10);
  EXPECT_EQ(g.padded_width(), 1024u);
  EXPECT_EQ(g.padded_height(), 512u);
  EXPECT_EQ(g.padded_bins(), 16u);
  EXPECT_EQ(g.cell_count(), 1024u * 512 * 16);
  EXPECT_EQ(g.sparsity(0), 1.0);
  const GridGeometry one(0, 1, 0);
  EXPECT_EQ(one.cell_count(), 1u);
  EXPECT_EQ(one.single_cell_depth(), 0u);
  const GridGeometry huge(65535, 65535, 65535);
  EXPECT_EQ(huge.cell_count(), 1ull << 48);
  EXPECT_EQ(huge.sparsity(2), 1.0 - 2.0 / 281474976710656.0);
}

// Keys follow the tree's child order level by level: x bit, then y, then t,
// an axis that no longer halves giving no bit.
TEST(GridGeometry, KeyLayoutByValue) {
  const GridGeometry cube(2, 2, 2);
  for (std::uint64_t x = 0; x < 2; ++x)
    for (std::uint64_t y = 0; y < 2; ++y)
      for (std::uint64_t t = 0; t < 2; ++t) EXPECT_EQ(cube.key(x, y, t), 4 * x + 2 * y + t);
  // 4 x 1 x 2: level 0 halves x and t (x's high bit, then t), level 1 only x.
  const GridGeometry flat(4, 1, 2);
  EXPECT_EQ(flat.key(1, 0, 0), 0b001u);
  EXPECT_EQ(flat.key(3, 0, 1), 0b111u);
  EXPECT_EQ(flat.key(2, 0, 0), 0b100u);
  EXPECT_EQ(flat.key(0, 0, 1), 0b010u);
  EXPECT_EQ(flat.prefix_shift(0), 3u);
  EXPECT_EQ(flat.prefix_shift(1), 1u);
  EXPECT_EQ(flat.prefix_shift(2), 0u);
  // 1 x 1 x 8 keys are the bins themselves.
  EXPECT_EQ(GridGeometry(1, 1, 8).key(0, 0, 6), 6u);
}

// Width 4, height 1, 2 bins, events (x 1, t 0) and (x 3, t 100): bins 0 and 1,
// cells (1, 0, 0) and (3, 0, 1).
TEST(CellKeys, TwoEventsOnAFourByOneByTwoGrid) {
  const EventVec events = {{1, 0, 0, 0}, {3, 0, 100, 0}};
  EXPECT_EQ(keys_of(events, 4, 1, 2), (std::vector<std::uint64_t>{0b001, 0b111}));
  EXPECT_EQ(GridGeometry(4, 1, 2).sparsity(2), 0.75);
}

TEST(CellKeys, ZeroSizesGiveOneCell) {
  const EventVec events = {{5, 9, 7, 1}, {60000, 3, 99, 0}};
  EXPECT_EQ(keys_of(events, 0, 0, 0), (std::vector<std::uint64_t>{0}));
  EXPECT_TRUE(keys_of({}, 0, 0, 0).empty());
}

TEST(CellKeys, TimeBinning) {
  // One shared timestamp: range 1, every event in bin 0.
  EXPECT_EQ(bins_of({{0, 0, 50, 0}, {1, 0, 50, 0}}, 8), (std::vector<std::uint64_t>{0}));
  // One microsecond apart: tmin in bin 0, tmin + 1 in the last bin.
  EXPECT_EQ(bins_of({{0, 0, 10, 0}, {1, 0, 11, 0}}, 6), (std::vector<std::uint64_t>{0, 5}));
  // Four bins over 0..1000: 500 -> 1, 999 -> 2, only t = tmax reaches bin 3.
  EXPECT_EQ(bins_of({{0, 0, 500, 0}, {0, 0, 0, 0}}, 4), (std::vector<std::uint64_t>{0, 3}));
  const EventVec four = {{0, 0, 0, 0}, {1, 0, 500, 0}, {2, 0, 999, 0}, {3, 0, 1000, 0}};
  EXPECT_EQ(bins_of(four, 4), (std::vector<std::uint64_t>{0, 1, 2, 3}));
  // time_bins 0 and 1 put everything in bin 0.
  for (std::uint16_t bins : {0, 1}) EXPECT_EQ(bins_of(four, bins), (std::vector<std::uint64_t>{0}));
  // time_bins 5 pads to 8; bins 5..7 never fill.
  EventVec many;
  for (std::uint32_t t = 0; t <= 1000; ++t) many.push_back({0, 0, t, 0});
  EXPECT_EQ(bins_of(many, 5), (std::vector<std::uint64_t>{0, 1, 2, 3, 4}));
  // Timestamps compare unsigned: 2^32 - 1 is the largest.
  EXPECT_EQ(bins_of({{0, 0, 0xFFFFFFFFu, 0}, {0, 0, 1, 0}, {0, 0, 0, 0}}, 3),
            (std::vector<std::uint64_t>{0, 2}));
}

TEST(CellKeys, CoordinatesClampToPaddedSizes) {
  const EventVec events = {{700, 0, 0, 0}, {5000, 1, 0, 0}, {0, 500, 0, 0}, {1, 600, 0, 0}};
  const GridGeometry g(640, 480, 1);
  EXPECT_EQ(keys_of(events, 640, 480, 1),
            keys_of_cells(g, {{700, 0, 0}, {1023, 1, 0}, {0, 500, 0}, {1, 511, 0}}));
}

TEST(CellKeys, EventsInOneCellCountOnceWhateverTheirPolarity) {
  const EventVec events = {{2, 3, 0, 0}, {2, 3, 0, 1}, {2, 3, 0, 255}};
  EXPECT_EQ(keys_of(events, 4, 4, 1).size(), 1u);
}

// Random recordings over random geometries, including non-powers of two,
// coordinates past the padded sizes and repeated cells: exactly the
// reference's cells.
TEST(CellKeys, MatchReferenceCells) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 300; ++round) {
    const auto w = static_cast<std::uint16_t>(rng() % 40);
    const auto h = static_cast<std::uint16_t>(rng() % 40);
    const auto bins = static_cast<std::uint16_t>(rng() % 70);
    const EventVec events = testing_support::random_events(
        rng, rng() % 600, static_cast<std::uint16_t>(w + 8), static_cast<std::uint16_t>(h + 8),
        static_cast<std::uint32_t>(rng() % 100000));
    const GridGeometry g(w, h, bins);
    std::vector<Cell> expected;
    for (const auto& c : reference::grid_of(events, w, h, bins).cells)
      expected.push_back({c[0], c[1], c[2]});
    ASSERT_EQ(keys_of(events, w, h, bins), keys_of_cells(g, expected));
  }
}

TEST(CellKeys, RadixAndBitmapAgreeWithSortUnique) {
  std::mt19937_64 rng(9);
  for (int round = 0; round < 200; ++round) {
    const unsigned key_bits = static_cast<unsigned>(rng() % 21);
    const std::size_t n = rng() % 3 == 0 ? rng() % 5000 : rng() % 300;
    std::vector<std::uint64_t> keys(n);
    // Few distinct values in some rounds, so that repeats are common.
    const std::uint64_t spread = rng() % 2 ? (std::uint64_t{1} << key_bits) : 1 + rng() % 8;
    for (auto& k : keys) k = (rng() % spread) & ((std::uint64_t{1} << key_bits) - 1);
    std::vector<std::uint64_t> expected = keys;
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    std::vector<std::uint64_t> by_radix = keys;
    detail::sort_unique_by_radix(by_radix, key_bits);
    // The bitmap as CellKeyer fills it: each key set as it comes.
    detail::KeyBitmap bitmap(key_bits);
    for (const std::uint64_t k : keys) bitmap.set(k);
    ASSERT_EQ(by_radix, expected);
    ASSERT_EQ(bitmap.sorted_keys(keys.size()), expected);
  }
  // Wide keys take the radix path, with every digit in play.
  std::vector<std::uint64_t> wide(3000);
  for (auto& k : wide) k = rng() & ((1ull << 48) - 1);
  wide.push_back(wide[7]);
  std::vector<std::uint64_t> expected = wide;
  std::sort(expected.begin(), expected.end());
  expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
  detail::sort_unique_by_radix(wide, 48);
  EXPECT_EQ(wide, expected);
}

TEST(CellKeys, BitmapOnlyForSmallKeySpaces) {
  EXPECT_TRUE(detail::prefers_bitmap(1'000'000, 24));
  EXPECT_FALSE(detail::prefers_bitmap(10, 24));
  EXPECT_FALSE(detail::prefers_bitmap(1'000'000, 33));
  EXPECT_FALSE(detail::prefers_bitmap(std::uint64_t{1} << 40, 48));
}

TEST(Saturation, DoubleToUnsignedSaturates) {
  EXPECT_EQ(saturating_double_to_u64(-1.0), 0u);
  EXPECT_EQ(saturating_double_to_u64(std::nan("")), 0u);
  EXPECT_EQ(saturating_double_to_u64(2.9), 2u);
  EXPECT_EQ(saturating_double_to_u64(1e30), std::numeric_limits<std::uint64_t>::max());
}

}  // namespace
}  // namespace ovk
