#include "codec/octree.h"

#include <gtest/gtest.h>

#include "codec_test_support.h"

namespace ovk {
namespace {

using testing_support::Cell;
using testing_support::tree_of_cells;
using testing_support::render;

TEST(Octree, EmptyGridGivesEmptyRootAtAnyDepth) {
  for (int depth : {0, 1, 5, 255}) EXPECT_EQ(render(tree_of_cells(8, 8, 8, {}, depth)), "E");
}

TEST(Octree, DepthZeroGivesOneOccupiedLeaf) {
  EXPECT_EQ(render(tree_of_cells(8, 4, 2, {{7, 3, 1}}, 0)), "O");
}

TEST(Octree, SmallShapes) {
  EXPECT_EQ(render(tree_of_cells(2, 1, 1, {{1, 0, 0}}, 1)), "S[E,O]");
  for (int depth : {0, 1, 9}) {
    EXPECT_EQ(render(tree_of_cells(1, 1, 1, {{0, 0, 0}}, depth)), "O");
    EXPECT_EQ(render(tree_of_cells(1, 1, 1, {}, depth)), "E");
  }
  // t is not halved when it is 1; x and y are not halved when they are 1.
  EXPECT_EQ(tree_of_cells(4, 4, 1, {{0, 0, 0}}, 1).nodes[0].n_children, 4);
  EXPECT_EQ(render(tree_of_cells(1, 1, 8, {{0, 0, 7}}, 1)), "S[E,O]");
}

TEST(Octree, FullBoxStillSplits) {
  std::vector<Cell> all;
  for (std::uint64_t x = 0; x < 2; ++x)
    for (std::uint64_t y = 0; y < 2; ++y)
      for (std::uint64_t t = 0; t < 2; ++t) all.push_back({x, y, t});
  EXPECT_EQ(render(tree_of_cells(2, 2, 2, all, 1)), "S[O,O,O,O,O,O,O,O]");
}

TEST(Octree, ChildOrderIsXThenYThenT) {
  // One cell per octant; the octant at (x high, y low, t high) is position 5.
  const Octree tree = tree_of_cells(2, 2, 2, {{1, 0, 1}}, 1);
  EXPECT_EQ(render(tree), "S[E,E,E,E,E,O,E,E]");
}

TEST(Octree, StopsAtSingleCellsBelowALargeDepthLimit) {
  const Octree tree = tree_of_cells(16, 16, 16, {{5, 9, 14}}, 255);
  // Root plus four levels of eight children: the leaf is at depth 4.
  EXPECT_EQ(tree.nodes.size(), 1u + 4 * 8);
  std::size_t occupied = 0;
  for (const OctreeNode& n : tree.nodes) occupied += n.kind == NodeKind::kOccupied;
  EXPECT_EQ(occupied, 1u);
}

// A 4 x 1 x 2 grid with the cells (x 1, bin 0) and (x 3, bin 1): the root
// splits x and t into four children (x 0-1, t 0), (x 0-1, t 1), (x 2-3, t 0),
// (x 2-3, t 1); the first and last split again along x alone.
TEST(Octree, FourByOneByTwoGridWithTwoCells) {
  const std::vector<Cell> cells = {{1, 0, 0}, {3, 0, 1}};
  EXPECT_EQ(render(tree_of_cells(4, 1, 2, cells, 2)), "S[S[E,O],E,E,S[E,O]]");
  EXPECT_EQ(render(tree_of_cells(4, 1, 2, cells, 200)), "S[S[E,O],E,E,S[E,O]]");
  EXPECT_EQ(render(tree_of_cells(4, 1, 2, cells, 1)), "S[O,E,E,O]");
}

}  // namespace
}  // namespace ovk
