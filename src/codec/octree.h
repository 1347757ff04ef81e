// Depth-bounded occupancy tree over a voxel grid.
//
// The tree lives in one flat arena in breadth-first order: node 0 is the
// root, and the children of every split node are contiguous, in child order.
// That is exactly the order in which the tree is serialised, so writing the
// tree bits is a single pass over the arena, and the decoder rebuilds the
// same arena from the bits.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/voxel_grid.h"

namespace ovk {

enum class NodeKind : std::uint8_t { kEmpty = 0, kOccupied = 1, kSplit = 2 };

// Two bytes a node: the arena is the codec's largest buffer for big
// recordings. Children are not linked: in breadth-first order the children
// of split nodes follow each other in the order of their parents, so running
// sums of n_children recover every node's first child.
struct OctreeNode {
  NodeKind kind = NodeKind::kEmpty;
  std::uint8_t n_children = 0;  // 2, 4 or 8 for a split node, else 0

  friend bool operator==(const OctreeNode&, const OctreeNode&) = default;
};

class Octree {
 public:
  std::vector<OctreeNode> nodes;  // breadth-first; nodes[0] is the root

  const OctreeNode& root() const { return nodes.front(); }
  // Arena index of the first child of every node (of the next node's first
  // child for nodes without children).
  std::vector<std::uint64_t> first_children() const;
  friend bool operator==(const Octree&, const Octree&) = default;
};

// A box of grid cells: origin, size and depth (the root has depth 0).
struct Box {
  std::uint64_t x0 = 0, y0 = 0, t0 = 0;
  std::uint64_t dx = 0, dy = 0, dt = 0;
};

// How one axis of size s is cut: two parts (floor(s/2) at 0, the rest at
// floor(s/2)) when s >= 2, otherwise one part of size 1. Shared by the
// builder and the decoder, which must apply it identically.
struct AxisParts {
  std::uint8_t count;
  std::uint64_t size[2];
  std::uint64_t offset[2];
};
AxisParts split_axis(std::uint64_t s) noexcept;

// A node is split when occupied, depth < max_depth and some size is >= 2.
inline bool splittable(std::uint64_t dx, std::uint64_t dy, std::uint64_t dt, std::uint8_t depth,
                       std::uint8_t max_depth) noexcept {
  return depth < max_depth && (dx >= 2 || dy >= 2 || dt >= 2);
}

// Whether any cell inside the box is set. Stops at the first set bit and
// tests whole bytes and 64-bit words.
bool box_occupied(const VoxelGrid& grid, const Box& box);

// Kind of the node for a box at a depth: empty, an occupied leaf (depth limit
// or a single cell) or split.
NodeKind build_node(const VoxelGrid& grid, const Box& box, std::uint8_t depth,
                    std::uint8_t max_depth);

// Builds the whole tree over the grid's padded box. Only reads the grid.
Octree build_octree(const VoxelGrid& grid, std::uint8_t max_depth);

}  // namespace ovk
