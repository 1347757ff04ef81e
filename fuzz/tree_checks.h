// Checks shared by the codec fuzz targets. The two tree readers production
// uses, decode_tree_into (the module's drivers) and decode_leaf_boxes (code
// files), are checked against each other on the same bits, and against the
// reference reader of the tests (reference::decode_tree).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "codec/octree.h"
#include "codec/tree_bits.h"
#include "codec/voxel_grid.h"
#include "codefile/code_file.h"
#include "codefile/leaf_boxes.h"
#include "reference_tree_reader.h"

// A failed check names itself and aborts, which libFuzzer reports as a crash.
#define OVK_FUZZ_CHECK(condition)                                                        \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace ovk::fuzz {

// The occupied leaves of a decoded tree over power-of-two padded sizes, in
// breadth-first order, worked out from the arena alone: each node's box
// follows from its parent's and its place among the children.
inline codefile::LeafBoxes occupied_leaves(const Octree& tree, std::uint64_t wp, std::uint64_t hp,
                                           std::uint64_t tp) {
  struct Box {
    std::uint16_t x0, y0, t0;
    std::uint8_t depth;
  };
  auto side = [](std::uint64_t padded, unsigned depth) {
    return depth >= 64 || (padded >> depth) == 0 ? std::uint64_t{1} : padded >> depth;
  };
  codefile::LeafBoxes out;
  // Kept from call to call: a fresh buffer of a large tree's size costs
  // more under the sanitizers than the walk.
  static std::vector<Box> boxes;
  boxes.assign(tree.nodes.size(), Box{});
  std::size_t next_child = 1;
  for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
    const OctreeNode& node = tree.nodes[i];
    const Box& box = boxes[i];
    const std::uint64_t dx = side(wp, box.depth), dy = side(hp, box.depth),
                        dt = side(tp, box.depth);
    if (node.kind == NodeKind::kOccupied) {
      out.origins.push_back({box.x0, box.y0, box.t0});
      out.dx = dx;
      out.dy = dy;
      out.dt = dt;
    }
    if (node.kind != NodeKind::kSplit) continue;
    const reference::AxisParts px = reference::split_axis(dx), py = reference::split_axis(dy),
                               pt = reference::split_axis(dt);
    OVK_FUZZ_CHECK(node.n_children == px.count * py.count * pt.count);
    for (int ix = 0; ix < px.count; ++ix)
      for (int iy = 0; iy < py.count; ++iy)
        for (int it = 0; it < pt.count; ++it) {
          OVK_FUZZ_CHECK(next_child < boxes.size());
          boxes[next_child++] = {static_cast<std::uint16_t>(box.x0 + px.offset[ix]),
                                 static_cast<std::uint16_t>(box.y0 + py.offset[iy]),
                                 static_cast<std::uint16_t>(box.t0 + pt.offset[it]),
                                 static_cast<std::uint8_t>(box.depth + 1)};
        }
  }
  OVK_FUZZ_CHECK(next_child == boxes.size());
  return out;
}

// A tree no recording codes to, which the code file's reader refuses
// though the arena readers take it: a split node whose children are all
// empty (an occupied box holds an occupied cell), or an occupied leaf
// starting in the padding of the time axis (events fall in bins 0 ..
// time_bins - 1).
inline bool impossible_tree(const Octree& tree, const codefile::LeafBoxes& leaves,
                            const codefile::Geometry& geometry) {
  std::size_t next_child = 1;
  for (const OctreeNode& node : tree.nodes) {
    if (node.kind != NodeKind::kSplit) continue;
    bool any = false;
    for (std::size_t c = next_child; c < next_child + node.n_children; ++c)
      any = any || tree.nodes[c].kind != NodeKind::kEmpty;
    if (!any) return true;
    next_child += node.n_children;
  }
  const std::uint64_t bins = std::max<std::uint64_t>(geometry.time_bins, 1);
  for (const codefile::BoxOrigin& o : leaves.origins)
    if (o.t0 >= bins) return true;
  return false;
}

// The code file's reader on `bit_count` bits agrees with the arena `tree`
// decoded from the same bits: it succeeds exactly when the tree takes every
// bit and no more and some recording could code to it, and then finds the
// same leaves.
inline void check_leaf_boxes(std::span<const std::uint8_t> bits, std::uint64_t bit_count,
                             const codefile::Geometry& geometry, const Octree& tree,
                             const codefile::LeafBoxes& leaves) {
  const Result<codefile::LeafBoxes> boxes = codefile::decode_leaf_boxes(bits, bit_count, geometry);
  OVK_FUZZ_CHECK(boxes.ok() ==
                 (tree.nodes.size() == bit_count && !impossible_tree(tree, leaves, geometry)));
  if (!boxes.ok()) return;
  OVK_FUZZ_CHECK(boxes.value().origins == leaves.origins);
  if (!leaves.origins.empty()) {
    OVK_FUZZ_CHECK(boxes.value().dx == leaves.dx && boxes.value().dy == leaves.dy &&
                   boxes.value().dt == leaves.dt);
  }
}

// Trees up to which the reference reader of the tests (a queue entry per
// node, the slowest of the readers) is run beside the production readers:
// bounded by nodes, not bits, as a tree of n bits can hold up to 8n nodes.
inline constexpr std::size_t kReferenceReaderNodes = 4096;

struct DecodedTree {
  Octree tree;                  // decode_tree_into's arena
  codefile::LeafBoxes leaves;   // its occupied leaves
};

// Decodes `bit_count` bits of `bits` for one geometry with every reader and
// checks that they agree. Leaves the production reader's tree and leaves in
// `out`, whose buffers are reused (as the decoder reuses them frame after
// frame).
inline void check_tree_readers(std::span<const std::uint8_t> bits, std::uint64_t bit_count,
                               const codefile::Geometry& geometry, DecodedTree& out) {
  const GridGeometry grid(geometry.width, geometry.height, geometry.time_bins);
  const std::uint64_t wp = grid.padded_width(), hp = grid.padded_height(),
                      tp = grid.padded_bins();
  Octree& tree = out.tree;
  decode_tree_into(bits, bit_count, TreeLevels(grid, geometry.depth), tree);
  // One root, and every other node some split node's child.
  std::uint64_t children = 0;
  for (const OctreeNode& node : tree.nodes) children += node.n_children;
  OVK_FUZZ_CHECK(!tree.nodes.empty() && children + 1 == tree.nodes.size());

  if (tree.nodes.size() <= kReferenceReaderNodes) {
    OVK_FUZZ_CHECK(tree == reference::decode_tree(bits, bit_count, wp, hp, tp, geometry.depth));
  }

  out.leaves = occupied_leaves(tree, wp, hp, tp);
  check_leaf_boxes(bits, bit_count, geometry, tree, out.leaves);
  // Cut to the bits the tree takes, any string is a well-formed tree.
  if (tree.nodes.size() < bit_count) {
    check_leaf_boxes(bits, tree.nodes.size(), geometry, tree, out.leaves);
  }
}

}  // namespace ovk::fuzz
