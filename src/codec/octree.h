// The occupancy tree: its subdivision rule, shared by the encoder and the
// decoder, and the flat breadth-first form in which the decoder rebuilds it.
//
// The tree lives in one flat arena in breadth-first order: node 0 is the
// root, and the children of every split node are contiguous, in child order.
// That is exactly the order of the packed tree bits (tree_bits.h).
#pragma once

#include <cstdint>
#include <vector>

namespace ovk {

enum class NodeKind : std::uint8_t { kEmpty = 0, kOccupied = 1, kSplit = 2 };

// Two bytes a node: the arena is the decoder's largest buffer. Children are
// not linked: in breadth-first order the children of split nodes follow each
// other in the order of their parents, so running sums of n_children recover
// every node's first child.
struct OctreeNode {
  NodeKind kind = NodeKind::kEmpty;
  std::uint8_t n_children = 0;  // 2, 4 or 8 for a split node, else 0

  friend bool operator==(const OctreeNode&, const OctreeNode&) = default;
};

struct Octree {
  std::vector<OctreeNode> nodes;  // breadth-first; nodes[0] is the root

  friend bool operator==(const Octree&, const Octree&) = default;
};

// How one axis of size s is cut: two parts (floor(s/2) at 0, the rest at
// floor(s/2)) when s >= 2, otherwise one part of size 1. Children are ordered
// with the x part outermost, then y, then t.
struct AxisParts {
  std::uint8_t count;
  std::uint64_t size[2];
  std::uint64_t offset[2];
};
AxisParts split_axis(std::uint64_t s) noexcept;

// An occupied node is split when depth < max_depth and some size is >= 2;
// otherwise it is an occupied leaf.
inline bool splittable(std::uint64_t dx, std::uint64_t dy, std::uint64_t dt, std::uint8_t depth,
                       std::uint8_t max_depth) noexcept {
  return depth < max_depth && (dx >= 2 || dy >= 2 || dt >= 2);
}

}  // namespace ovk
