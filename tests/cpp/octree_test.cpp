#include "codec/octree.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "codec_test_support.h"

namespace ovk {
namespace {

using testing_support::Cell;
using testing_support::grid_with;
using testing_support::render;

TEST(Octree, EmptyGridGivesEmptyRootAtAnyDepth) {
  const VoxelGrid g = grid_with(8, 8, 8, {});
  for (int depth : {0, 1, 5, 255}) EXPECT_EQ(render(build_octree(g, depth)), "E");
}

TEST(Octree, DepthZeroGivesOneOccupiedLeaf) {
  EXPECT_EQ(render(build_octree(grid_with(8, 4, 2, {{7, 3, 1}}), 0)), "O");
}

TEST(Octree, SmallShapes) {
  EXPECT_EQ(render(build_octree(grid_with(2, 1, 1, {{1, 0, 0}}), 1)), "S[E,O]");
  for (int depth : {0, 1, 9}) {
    EXPECT_EQ(render(build_octree(grid_with(1, 1, 1, {{0, 0, 0}}), depth)), "O");
    EXPECT_EQ(render(build_octree(grid_with(1, 1, 1, {}), depth)), "E");
  }
  // t is not halved when it is 1; x and y are not halved when they are 1.
  EXPECT_EQ(build_octree(grid_with(4, 4, 1, {{0, 0, 0}}), 1).root().n_children, 4);
  EXPECT_EQ(render(build_octree(grid_with(1, 1, 8, {{0, 0, 7}}), 1)), "S[E,O]");
}

TEST(Octree, FullBoxStillSplits) {
  std::vector<Cell> all;
  for (std::uint64_t x = 0; x < 2; ++x)
    for (std::uint64_t y = 0; y < 2; ++y)
      for (std::uint64_t t = 0; t < 2; ++t) all.push_back({x, y, t});
  EXPECT_EQ(render(build_octree(grid_with(2, 2, 2, all), 1)), "S[O,O,O,O,O,O,O,O]");
}

TEST(Octree, ChildOrderIsXThenYThenT) {
  // One cell per octant; the octant at (x high, y low, t high) is position 5.
  const Octree tree = build_octree(grid_with(2, 2, 2, {{1, 0, 1}}), 1);
  EXPECT_EQ(render(tree), "S[E,E,E,E,E,O,E,E]");
}

TEST(Octree, StopsAtSingleCellsBelowALargeDepthLimit) {
  const Octree tree = build_octree(grid_with(16, 16, 16, {{5, 9, 14}}), 255);
  // Root plus four levels of eight children: the leaf is at depth 4.
  EXPECT_EQ(tree.nodes.size(), 1u + 4 * 8);
  std::size_t occupied = 0;
  for (const OctreeNode& n : tree.nodes) occupied += n.kind == NodeKind::kOccupied;
  EXPECT_EQ(occupied, 1u);
}

TEST(Octree, WorkedExample) {
  const VoxelGrid g = grid_with(4, 1, 2, {{1, 0, 0}, {3, 0, 1}});
  EXPECT_EQ(render(build_octree(g, 2)), "S[S[E,O],E,E,S[E,O]]");
  EXPECT_EQ(render(build_octree(g, 200)), "S[S[E,O],E,E,S[E,O]]");
  EXPECT_EQ(render(build_octree(g, 1)), "S[O,E,E,O]");
}

TEST(Octree, SplitAxisRule) {
  const AxisParts five = split_axis(5);
  EXPECT_EQ(five.count, 2);
  EXPECT_EQ(five.size[0], 2u);
  EXPECT_EQ(five.size[1], 3u);
  EXPECT_EQ(five.offset[1], 2u);
  EXPECT_EQ(split_axis(1).count, 1);
  EXPECT_EQ(split_axis(0).count, 1);
  EXPECT_EQ(split_axis(0).size[0], 1u);
}

// box_occupied against a cell-by-cell scan, on boxes that cross byte and word
// boundaries in every way.
TEST(Octree, BoxOccupiedMatchesCellScan) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 300; ++round) {
    const std::uint64_t wp = 1ull << (rng() % 4), hp = 1ull << (rng() % 4),
                        tp = 1ull << (rng() % 8);
    std::vector<Cell> cells;
    const int n = static_cast<int>(rng() % 4);
    for (int i = 0; i < n; ++i) cells.push_back({rng() % wp, rng() % hp, rng() % tp});
    const VoxelGrid g = grid_with(wp, hp, tp, cells);
    for (int q = 0; q < 20; ++q) {
      Box b;
      b.x0 = rng() % wp;
      b.y0 = rng() % hp;
      b.t0 = rng() % tp;
      b.dx = 1 + rng() % (wp - b.x0);
      b.dy = 1 + rng() % (hp - b.y0);
      b.dt = 1 + rng() % (tp - b.t0);
      if (rng() % 4 == 0) {  // whole rows of bins take the merged-run path
        b.t0 = 0;
        b.dt = tp;
      }
      bool expected = false;
      for (const Cell& c : cells) {
        expected |= c.x >= b.x0 && c.x < b.x0 + b.dx && c.y >= b.y0 && c.y < b.y0 + b.dy &&
                    c.t >= b.t0 && c.t < b.t0 + b.dt;
      }
      EXPECT_EQ(box_occupied(g, b), expected);
    }
  }
  EXPECT_FALSE(box_occupied(grid_with(2, 2, 2, {{0, 0, 0}}), Box{0, 0, 0, 0, 2, 2}));
}

// The occupancy-map builder gives exactly the tree that build_node yields box
// by box in breadth-first order.
TEST(Octree, BuilderMatchesBuildNodeBoxByBox) {
  std::mt19937_64 rng(31);
  for (int round = 0; round < 200; ++round) {
    const std::uint64_t wp = 1ull << (rng() % 5), hp = 1ull << (rng() % 5),
                        tp = 1ull << (rng() % 6);
    const auto max_depth = static_cast<std::uint8_t>(rng() % 7);
    std::vector<Cell> cells;
    for (std::uint64_t i = rng() % 12; i > 0; --i)
      cells.push_back({rng() % wp, rng() % hp, rng() % tp});
    const VoxelGrid g = grid_with(wp, hp, tp, cells);

    std::vector<NodeKind> expected;
    std::deque<std::pair<Box, std::uint8_t>> queue{{Box{0, 0, 0, wp, hp, tp}, 0}};
    while (!queue.empty()) {
      const auto [b, depth] = queue.front();
      queue.pop_front();
      expected.push_back(build_node(g, b, depth, max_depth));
      if (expected.back() != NodeKind::kSplit) continue;
      const AxisParts px = split_axis(b.dx), py = split_axis(b.dy), pt = split_axis(b.dt);
      for (int ix = 0; ix < px.count; ++ix)
        for (int iy = 0; iy < py.count; ++iy)
          for (int it = 0; it < pt.count; ++it)
            queue.push_back({Box{b.x0 + px.offset[ix], b.y0 + py.offset[iy], b.t0 + pt.offset[it],
                                 px.size[ix], py.size[iy], pt.size[it]},
                             static_cast<std::uint8_t>(depth + 1)});
    }
    std::vector<NodeKind> built;
    for (const OctreeNode& n : build_octree(g, max_depth).nodes) built.push_back(n.kind);
    ASSERT_EQ(built, expected);
  }
}

}  // namespace
}  // namespace ovk
