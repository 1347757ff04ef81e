#include "codec/tree_bits.h"

#include <algorithm>
#include <array>
#include <bit>


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
  const std::uint64_t padded[3] = {geometry.padded_width(), geometry.padded_height(),
                                   geometry.padded_bins()};
  for (unsigned d = 0; d <= deepest; ++d) {
    for (unsigned axis = 0; axis < 3; ++axis)
      side[d][axis] = static_cast<std::uint32_t>(std::max<std::uint64_t>(padded[axis] >> d, 1));
  }
}

std::array<std::uint32_t, 3> TreeLevels::child_offset(unsigned d, unsigned c) const noexcept {
  std::array<std::uint32_t, 3> offset{};
  unsigned digit_bits = static_cast<unsigned>(std::countr_zero(children[d]));
  for (unsigned axis = 0; axis < 3; ++axis) {
    if (!halves(d, axis)) continue;
    --digit_bits;
    offset[axis] = ((c >> digit_bits) & 1u) * side[d + 1][axis];
  }
  return offset;
}

std::uint64_t TreeLevels::full_tree_nodes() const noexcept {
  std::uint64_t level_nodes = 1, total = 1;  // at most 2^48 leaves: no overflow
  for (unsigned d = 0; d < deepest; ++d) {
    level_nodes *= children[d];
    total += level_nodes;
  }
  return total;
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

// Sets `one` on the nodes whose bits among [begin, end) of an MSB-first
// string are 1, 64 bits at a time (zero words cost one test), and returns how
// many there were.
std::uint64_t mark_ones(std::span<const std::uint8_t> bytes, std::uint64_t begin,
                        std::uint64_t end, OctreeNode one, OctreeNode* nodes) {
  std::uint64_t ones = 0;
  for (std::uint64_t w = begin / 64; w * 64 < end; ++w) {
    std::uint64_t bits = load_bit_word(bytes, 8 * w);
    if (w * 64 < begin) bits &= ~std::uint64_t{0} >> (begin - w * 64);
    if (end - w * 64 < 64) bits &= ~(~std::uint64_t{0} >> (end - w * 64));
    for (; bits != 0; bits &= bits - 1, ++ones)
      nodes[w * 64 + 63 - static_cast<unsigned>(std::countr_zero(bits))] = one;
  }
  return ones;
}

}  // namespace

// All boxes at one depth have the same size, so a level is just a run of the
// arena and needs no queue; node i takes bit i. Each level grows the arena
// once, by its one bits' children.
void decode_tree_into(std::span<const std::uint8_t> bytes, std::uint64_t bit_count,
                      const TreeLevels& levels, Octree& tree) {
  tree.nodes.assign(1, OctreeNode{});
  if (bytes.empty() || bit_count == 0) return;
  // Room for a well-formed string's nodes (one per bit).
  tree.nodes.reserve(static_cast<std::size_t>(
      std::min<std::uint64_t>(bit_count, std::uint64_t{8} * bytes.size()) + 1));
  std::uint64_t begin = 0, end = 1;  // arena run of the current level
  for (unsigned depth = 0; begin < end && begin < bit_count; ++depth) {
    const std::uint64_t last = std::min(end, bit_count);
    if (last > std::uint64_t{8} * bytes.size()) {
      OVK_FAULT("tree bit count exceeds the bytes that hold the bits");
    }
    const unsigned n_children = depth < levels.deepest ? levels.children[depth] : 0;
    const OctreeNode one{n_children != 0 ? NodeKind::kSplit : NodeKind::kOccupied,
                         static_cast<std::uint8_t>(n_children)};
    const std::uint64_t ones = mark_ones(bytes, begin, last, one, tree.nodes.data());
    tree.nodes.resize(end + n_children * ones);
    begin = end;
    end = tree.nodes.size();
  }
}

}  // namespace ovk
