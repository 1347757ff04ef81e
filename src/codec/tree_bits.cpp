#include "codec/tree_bits.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "codec/memory_budget.h"

namespace ovk {

namespace {

// First bit of each depth's region, from the number of nodes at every depth
// (one pass over neighbouring keys); entry `deepest` is the total bit count.
std::array<std::uint64_t, kMaxTreeLevels> level_starts(std::span<const std::uint64_t> keys,
                                                   const TreeLevels& layout) {
  std::array<std::uint64_t, kMaxTreeLevels> new_below{};  // key pairs first splitting at depth d
  for (std::size_t i = 1; i < keys.size(); ++i)
    ++new_below[layout.split_depth(keys[i - 1], keys[i])];
  std::array<std::uint64_t, kMaxTreeLevels> start{};
  start[0] = 1;  // the root's bit
  std::uint64_t nodes = 1;  // split nodes at depth d: one per distinct prefix
  for (unsigned d = 0; d < layout.deepest; ++d) {
    start[d + 1] = start[d] + nodes * layout.children[d];
    nodes += new_below[d];
  }
  return start;
}

void set_bit(std::uint8_t* bytes, std::uint64_t pos) noexcept {
  bytes[pos >> 3] |= static_cast<std::uint8_t>(0x80u >> (pos & 7));
}

// One pass over the keys. group[d] is the first bit of the child group of
// the current node at depth d; the groups of one depth follow each other, so
// a key that leaves a node at depth d moves every deeper group on by one and
// sets, in each group it enters, the bit of its own child. Work is one step
// per tree node.
void write_levels(std::span<const std::uint64_t> keys, const TreeLevels& layout,
                  std::array<std::uint64_t, kMaxTreeLevels> group, std::uint8_t* bytes) {
  const unsigned deepest = layout.deepest;
  for (unsigned d = 0; d < deepest; ++d) set_bit(bytes, group[d] + layout.child(keys[0], d));
  for (std::size_t i = 1; i < keys.size(); ++i) {
    const std::uint64_t key = keys[i];
    const unsigned split = layout.split_depth(keys[i - 1], key);
    if (split == deepest) continue;
    set_bit(bytes, group[split] + layout.child(key, split));
    for (unsigned d = split + 1; d < deepest; ++d) {
      group[d] += layout.children[d];
      set_bit(bytes, group[d] + layout.child(key, d));
    }
  }
}

}  // namespace

TreeLevels::TreeLevels(const GridGeometry& geometry, std::uint8_t max_depth)
    : deepest(std::min<unsigned>(max_depth, geometry.single_cell_depth())) {
  for (unsigned d = 0; d <= deepest; ++d) shift[d] = geometry.prefix_shift(d);
  depth_of_bit.fill(static_cast<std::uint8_t>(deepest));
  for (unsigned d = 0; d < deepest; ++d) {
    children[d] = 1u << geometry.axes_halving_at(d);
    for (unsigned b = shift[d + 1]; b < shift[d]; ++b)
      depth_of_bit[b] = static_cast<std::uint8_t>(d);
  }
}

Result<PackedBits> encode_tree_bits(std::span<const std::uint64_t> sorted_keys,
                                    const GridGeometry& geometry, std::uint8_t max_depth) {
  return encode_tree_bits(sorted_keys, TreeLevels(geometry, max_depth), memory_budget_bytes());
}

Result<PackedBits> encode_tree_bits(std::span<const std::uint64_t> sorted_keys,
                                    const TreeLevels& layout, std::uint64_t memory_budget) {
  PackedBits out;
  OVK_RETURN_IF_ERROR(encode_tree_bits_into(sorted_keys, layout, memory_budget, out));
  return out;
}

Status encode_tree_bits_into(std::span<const std::uint64_t> sorted_keys, const TreeLevels& layout,
                             std::uint64_t memory_budget, PackedBits& out) {
  if (sorted_keys.empty() || layout.deepest == 0) {
    out.bytes.assign(1, sorted_keys.empty() ? 0x00 : 0x80);
    out.bit_count = 1;
    return Ok{};
  }
  const std::array<std::uint64_t, kMaxTreeLevels> start = level_starts(sorted_keys, layout);
  const std::uint64_t bit_count = start[layout.deepest];
  if (bit_count > memory_budget / kCodecBytesPerTreeBit) return Error::out_of_memory();
  return catching_out_of_memory([&]() -> Status {
    out.bytes.assign(packed_byte_count(bit_count), 0);
    out.bit_count = bit_count;
    out.bytes[0] = 0x80;  // the root is split
    write_levels(sorted_keys, layout, start, out.bytes.data());
    return Ok{};
  });
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

// The root alone, with room for a well-formed string's nodes (one per bit).
void start_tree(std::span<const std::uint8_t> bytes, std::uint64_t bit_count, Octree& tree) {
  tree.nodes.assign(1, OctreeNode{});
  if (!bytes.empty() && bit_count > 0) {
    tree.nodes.reserve(static_cast<std::size_t>(
        std::min<std::uint64_t>(bit_count, std::uint64_t{8} * bytes.size()) + 1));
  }
}

// Bits [64 w, 64 w + 64) of an MSB-first string, the first in the top bit;
// bytes past the string read as zero.
std::uint64_t bit_word(std::span<const std::uint8_t> bytes, std::uint64_t w) noexcept {
  const std::uint64_t first = 8 * w;
  std::uint64_t word = 0;
  if (first + 8 <= bytes.size()) {
    std::memcpy(&word, bytes.data() + first, 8);
  } else if (first < bytes.size()) {
    std::memcpy(&word, bytes.data() + first, static_cast<std::size_t>(bytes.size() - first));
  }
  return std::endian::native == std::endian::little ? __builtin_bswap64(word) : word;
}

// Sets `one` on the nodes whose bits among [begin, end) of an MSB-first
// string are 1, 64 bits at a time (zero words cost one test), and returns how
// many there were.
std::uint64_t mark_ones(std::span<const std::uint8_t> bytes, std::uint64_t begin,
                        std::uint64_t end, OctreeNode one, OctreeNode* nodes) {
  std::uint64_t ones = 0;
  for (std::uint64_t w = begin / 64; w * 64 < end; ++w) {
    std::uint64_t bits = bit_word(bytes, w);
    if (w * 64 < begin) bits &= ~std::uint64_t{0} >> (begin - w * 64);
    if (end - w * 64 < 64) bits &= ~(~std::uint64_t{0} >> (end - w * 64));
    for (; bits != 0; bits &= bits - 1, ++ones)
      nodes[w * 64 + 63 - static_cast<unsigned>(std::countr_zero(bits))] = one;
  }
  return ones;
}

// Power-of-two sizes: all boxes at one depth have the same size, so a level
// is just a run of the arena and needs no queue; node i takes bit i. Each
// level grows the arena once, by its one bits' children. children_at(depth)
// is the child count of a one bit at that depth, 0 where it is an occupied
// leaf; it is asked for each depth once, in order.
template <class ChildrenAt>
void decode_levels(std::span<const std::uint8_t> bytes, std::uint64_t bit_count,
                   ChildrenAt children_at, Octree& tree) {
  start_tree(bytes, bit_count, tree);
  if (bytes.empty() || bit_count == 0) return;
  std::uint64_t begin = 0, end = 1;  // arena run of the current level
  for (unsigned depth = 0; begin < end && begin < bit_count; ++depth) {
    const std::uint64_t last = std::min(end, bit_count);
    if (last > std::uint64_t{8} * bytes.size()) {
      OVK_FAULT("tree bit count exceeds the bytes that hold the bits");
    }
    const unsigned n_children = children_at(depth);
    const OctreeNode one{n_children != 0 ? NodeKind::kSplit : NodeKind::kOccupied,
                         static_cast<std::uint8_t>(n_children)};
    const std::uint64_t ones = mark_ones(bytes, begin, last, one, tree.nodes.data());
    tree.nodes.resize(end + n_children * ones);
    begin = end;
    end = tree.nodes.size();
  }
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
  Octree tree;
  start_tree(bytes, bit_count, tree);
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
  // Every grid's sizes are powers of two.
  std::uint64_t dx = padded_width, dy = padded_height, dt = padded_bins;
  auto children_at = [&](unsigned depth) -> unsigned {
    const bool splits = splittable(dx, dy, dt, static_cast<std::uint8_t>(depth), max_depth);
    const unsigned n_children = splits ? child_count(dx, dy, dt) : 0;
    dx = split_axis(dx).size[0];
    dy = split_axis(dy).size[0];
    dt = split_axis(dt).size[0];
    return n_children;
  };
  Octree tree;
  decode_levels(bytes, bit_count, children_at, tree);
  return tree;
}

void decode_tree_into(std::span<const std::uint8_t> bytes, std::uint64_t bit_count,
                      const TreeLevels& levels, Octree& tree) {
  auto children_at = [&](unsigned depth) -> unsigned {
    return depth < levels.deepest ? levels.children[depth] : 0;
  };
  decode_levels(bytes, bit_count, children_at, tree);
}

}  // namespace ovk
