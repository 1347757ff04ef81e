#include "codec/tree_bits.h"

#include <algorithm>

namespace ovk {

PackedBits serialize_tree(const Octree& tree) {
  // The arena is already in breadth-first order.
  PackedBits out;
  out.bit_count = tree.nodes.size();
  out.bytes.assign(packed_byte_count(out.bit_count), 0);
  for (std::uint64_t i = 0; i < out.bit_count; ++i) {
    if (tree.nodes[i].kind != NodeKind::kEmpty) {
      out.bytes[i >> 3] |= static_cast<std::uint8_t>(0x80u >> (i & 7));
    }
  }
  return out;
}

Octree decode_tree(std::span<const std::uint8_t> bytes, std::uint64_t bit_count,
                   std::uint64_t padded_width, std::uint64_t padded_height,
                   std::uint64_t padded_bins, std::uint8_t max_depth) {
  // Sizes of a node still waiting for its bit; its depth is the level being read.
  struct Pending {
    std::uint64_t dx, dy, dt;
  };
  Octree tree;
  tree.nodes.emplace_back();
  if (bytes.empty() || bit_count == 0) return tree;
  // A well-formed string has exactly one bit per node.
  tree.nodes.reserve(static_cast<std::size_t>(
      std::min<std::uint64_t>(bit_count, std::uint64_t{8} * bytes.size()) + 1));

  // Breadth-first, one level at a time: the nodes of a level occupy a
  // contiguous run of the arena, in the same order as `current`.
  std::vector<Pending> current{{padded_width, padded_height, padded_bins}};
  std::vector<Pending> next;
  std::uint64_t index = 0;  // arena position of current[0]
  std::uint64_t d = 0;      // bits consumed
  for (unsigned depth = 0; !current.empty(); ++depth) {
    next.clear();
    for (const Pending& cur : current) {
      const std::uint64_t node_index = index++;
      if (d >= bit_count) continue;  // out of bits: the node stays empty
      if ((d >> 3) >= bytes.size()) {
        OVK_FAULT("tree bit count exceeds the bytes that hold the bits");
      }
      const bool bit = packed_bit(bytes.data(), d);
      ++d;
      if (!bit) continue;
      if (!splittable(cur.dx, cur.dy, cur.dt, static_cast<std::uint8_t>(depth), max_depth)) {
        tree.nodes[node_index].kind = NodeKind::kOccupied;
        continue;
      }
      const AxisParts px = split_axis(cur.dx);
      const AxisParts py = split_axis(cur.dy);
      const AxisParts pt = split_axis(cur.dt);
      const auto n_children = static_cast<std::uint8_t>(px.count * py.count * pt.count);
      const std::uint64_t first = tree.nodes.size();
      OctreeNode& node = tree.nodes[node_index];
      node.n_children = n_children;
      node.kind = NodeKind::kSplit;
      tree.nodes.resize(first + n_children);
      for (int ix = 0; ix < px.count; ++ix) {
        for (int iy = 0; iy < py.count; ++iy) {
          for (int it = 0; it < pt.count; ++it) {
            next.push_back({px.size[ix], py.size[iy], pt.size[it]});
          }
        }
      }
    }
    current.swap(next);
  }
  return tree;
}

}  // namespace ovk
