// A deliberately simple model of the codec's tree reader, the reference that
// the production reader (decode_tree_into, one arena run per level) and the
// code file's leaf-box reader are checked against: a queue of pending boxes,
// one bit read per node, each box split by its own statement of the rule
// below. It handles any box sizes, powers of two or not.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/octree.h"
#include "codec/result.h"
#include "codec/tree_bits.h"

namespace ovk::reference {

// How one axis of size s is cut: two parts (floor(s/2) at 0, the rest at
// floor(s/2)) when s >= 2, otherwise one part of size 1. Children are ordered
// with the x part outermost, then y, then t.
struct AxisParts {
  std::uint8_t count;
  std::uint64_t size[2];
  std::uint64_t offset[2];
};
inline AxisParts split_axis(std::uint64_t s) noexcept {
  if (s >= 2) return AxisParts{2, {s / 2, s - s / 2}, {0, s / 2}};
  return AxisParts{1, {1, 0}, {0, 0}};
}

// An occupied node is split when depth < max_depth and some size is >= 2;
// otherwise it is an occupied leaf.
inline bool splittable(std::uint64_t dx, std::uint64_t dy, std::uint64_t dt, unsigned depth,
                       unsigned max_depth) noexcept {
  return depth < max_depth && (dx >= 2 || dy >= 2 || dt >= 2);
}

// Rebuilds the tree from its bits. A one bit means split when the node's box
// can still be divided (depth < max_depth, some size >= 2), else occupied.
// Bits beyond those the tree consumes are ignored; when the bits run out, the
// remaining queued nodes are empty. Reading a byte that `bytes` does not hold
// is a Fault, as in the production reader.
inline Octree decode_tree(std::span<const std::uint8_t> bytes, std::uint64_t bit_count,
                          std::uint64_t padded_width, std::uint64_t padded_height,
                          std::uint64_t padded_bins, std::uint8_t max_depth) {
  struct Pending {
    std::uint64_t dx, dy, dt;
  };
  Octree tree;
  tree.nodes.assign(1, OctreeNode{});
  if (bytes.empty() || bit_count == 0) return tree;
  std::uint64_t consumed = 0;
  // Breadth-first, one level at a time: the nodes of a level occupy a
  // contiguous run of the arena, in the same order as `current`.
  std::vector<Pending> current{{padded_width, padded_height, padded_bins}};
  std::vector<Pending> next;
  std::uint64_t index = 0;  // arena position of current[0]
  for (unsigned depth = 0; !current.empty(); ++depth) {
    next.clear();
    for (const Pending& cur : current) {
      const std::uint64_t node_index = index++;
      if (consumed >= bit_count) continue;  // no bits left: empty
      if ((consumed >> 3) >= bytes.size()) {
        OVK_FAULT("tree bit count exceeds the bytes that hold the bits");
      }
      if (!packed_bit(bytes.data(), consumed++)) continue;
      OctreeNode& node = tree.nodes[node_index];
      if (!splittable(cur.dx, cur.dy, cur.dt, depth, max_depth)) {
        node.kind = NodeKind::kOccupied;
        continue;
      }
      const AxisParts px = split_axis(cur.dx), py = split_axis(cur.dy), pt = split_axis(cur.dt);
      node.kind = NodeKind::kSplit;
      node.n_children = static_cast<std::uint8_t>(px.count * py.count * pt.count);
      tree.nodes.resize(tree.nodes.size() + node.n_children);
      for (int ix = 0; ix < px.count; ++ix)
        for (int iy = 0; iy < py.count; ++iy)
          for (int it = 0; it < pt.count; ++it)
            next.push_back({px.size[ix], py.size[iy], pt.size[it]});
    }
    current.swap(next);
  }
  return tree;
}

}  // namespace ovk::reference
