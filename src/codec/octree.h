// The occupancy tree in the flat breadth-first form in which the decoder
// rebuilds it. Its split rule is TreeLevels (tree_bits.h).
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

}  // namespace ovk
