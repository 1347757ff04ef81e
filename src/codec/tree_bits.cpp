#include "codec/tree_bits.h"

#include <algorithm>
#include <bit>

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

namespace {

// Reads the tree bits one at a time, tracking how many were consumed.
class BitReader {
 public:
  BitReader(std::span<const std::uint8_t> bytes, std::uint64_t bit_count)
      : bytes_(bytes), bit_count_(bit_count) {}
  bool exhausted() const { return consumed_ >= bit_count_; }
  bool next() {
    if ((consumed_ >> 3) >= bytes_.size()) {
      OVK_FAULT("tree bit count exceeds the bytes that hold the bits");
    }
    return packed_bit(bytes_.data(), consumed_++);
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::uint64_t bit_count_;
  std::uint64_t consumed_ = 0;
};

Octree start_tree(std::span<const std::uint8_t> bytes, std::uint64_t bit_count) {
  Octree tree;
  tree.nodes.emplace_back();
  // A well-formed string has exactly one bit per node.
  if (!bytes.empty() && bit_count > 0) {
    tree.nodes.reserve(static_cast<std::size_t>(
        std::min<std::uint64_t>(bit_count, std::uint64_t{8} * bytes.size()) + 1));
  }
  return tree;
}

std::uint8_t child_count(std::uint64_t dx, std::uint64_t dy, std::uint64_t dt) {
  return static_cast<std::uint8_t>(split_axis(dx).count * split_axis(dy).count *
                                   split_axis(dt).count);
}

}  // namespace

namespace detail {

Octree decode_tree_any_sizes(std::span<const std::uint8_t> bytes, std::uint64_t bit_count,
                             std::uint64_t padded_width, std::uint64_t padded_height,
                             std::uint64_t padded_bins, std::uint8_t max_depth) {
  // Sizes of a node still waiting for its bit; its depth is the level being read.
  struct Pending {
    std::uint64_t dx, dy, dt;
  };
  Octree tree = start_tree(bytes, bit_count);
  if (bytes.empty() || bit_count == 0) return tree;

  // Breadth-first, one level at a time: the nodes of a level occupy a
  // contiguous run of the arena, in the same order as `current`.
  BitReader bits(bytes, bit_count);
  std::vector<Pending> current{{padded_width, padded_height, padded_bins}};
  std::vector<Pending> next;
  std::uint64_t index = 0;  // arena position of current[0]
  for (unsigned depth = 0; !current.empty(); ++depth) {
    next.clear();
    for (const Pending& cur : current) {
      const std::uint64_t node_index = index++;
      if (bits.exhausted() || !bits.next()) continue;  // a 0 bit, or none left: empty
      OctreeNode& node = tree.nodes[node_index];
      if (!splittable(cur.dx, cur.dy, cur.dt, static_cast<std::uint8_t>(depth), max_depth)) {
        node.kind = NodeKind::kOccupied;
        continue;
      }
      const AxisParts px = split_axis(cur.dx);
      const AxisParts py = split_axis(cur.dy);
      const AxisParts pt = split_axis(cur.dt);
      node.kind = NodeKind::kSplit;
      node.n_children = child_count(cur.dx, cur.dy, cur.dt);
      tree.nodes.resize(tree.nodes.size() + node.n_children);
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

}  // namespace detail

Octree decode_tree(std::span<const std::uint8_t> bytes, std::uint64_t bit_count,
                   std::uint64_t padded_width, std::uint64_t padded_height,
                   std::uint64_t padded_bins, std::uint8_t max_depth) {
  if (!std::has_single_bit(padded_width) || !std::has_single_bit(padded_height) ||
      !std::has_single_bit(padded_bins)) {
    return detail::decode_tree_any_sizes(bytes, bit_count, padded_width, padded_height, padded_bins,
                                         max_depth);
  }
  // Power-of-two sizes (every grid's): all boxes at one depth have the same
  // size, so a level is just a run of the arena and needs no queue.
  Octree tree = start_tree(bytes, bit_count);
  if (bytes.empty() || bit_count == 0) return tree;
  BitReader bits(bytes, bit_count);
  std::uint64_t dx = padded_width, dy = padded_height, dt = padded_bins;
  std::uint64_t begin = 0, end = 1;  // arena run of the current level
  for (unsigned depth = 0; begin < end; ++depth) {
    const bool splits = splittable(dx, dy, dt, static_cast<std::uint8_t>(depth), max_depth);
    const std::uint8_t n_children = child_count(dx, dy, dt);
    for (std::uint64_t i = begin; i < end && !bits.exhausted(); ++i) {
      if (!bits.next()) continue;
      OctreeNode& node = tree.nodes[i];
      if (!splits) {
        node.kind = NodeKind::kOccupied;
        continue;
      }
      node.kind = NodeKind::kSplit;
      node.n_children = n_children;
      tree.nodes.resize(tree.nodes.size() + n_children);
    }
    begin = end;
    end = tree.nodes.size();
    dx = split_axis(dx).size[0];
    dy = split_axis(dy).size[0];
    dt = split_axis(dt).size[0];
  }
  return tree;
}

}  // namespace ovk
