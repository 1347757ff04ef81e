#include "codec/tree_bits.h"

#include <deque>

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
  struct Pending {
    std::uint64_t dx, dy, dt;
    std::uint8_t depth;
  };
  Octree tree;
  tree.nodes.emplace_back();
  if (bytes.empty() || bit_count == 0) return tree;

  // Queue entry i describes arena node i (children are appended to both in
  // the same order), so entries carry only sizes and depth.
  std::deque<Pending> queue;
  queue.push_back({padded_width, padded_height, padded_bins, 0});
  std::uint64_t index = 0;
  std::uint64_t d = 0;  // bits consumed
  while (!queue.empty()) {
    const Pending cur = queue.front();
    queue.pop_front();
    const std::uint64_t node_index = index++;
    if (d >= bit_count) continue;  // out of bits: the node stays empty
    if ((d >> 3) >= bytes.size()) OVK_FAULT("tree bit count exceeds the bytes that hold the bits");
    const bool bit = packed_bit(bytes.data(), d);
    ++d;
    if (!bit) continue;
    if (!splittable(cur.dx, cur.dy, cur.dt, cur.depth, max_depth)) {
      tree.nodes[node_index].kind = NodeKind::kOccupied;
      continue;
    }
    const AxisParts px = split_axis(cur.dx);
    const AxisParts py = split_axis(cur.dy);
    const AxisParts pt = split_axis(cur.dt);
    const auto n_children = static_cast<std::uint8_t>(px.count * py.count * pt.count);
    const std::uint64_t first = tree.nodes.size();
    tree.nodes[node_index] = OctreeNode{first, NodeKind::kSplit, n_children};
    tree.nodes.resize(first + n_children);
    for (int ix = 0; ix < px.count; ++ix) {
      for (int iy = 0; iy < py.count; ++iy) {
        for (int it = 0; it < pt.count; ++it) {
          queue.push_back(
              {px.size[ix], py.size[iy], pt.size[it], static_cast<std::uint8_t>(cur.depth + 1)});
        }
      }
    }
  }
  return tree;
}

}  // namespace ovk
