// The packed tree bit string: one bit per tree node in breadth-first order
// (0 empty, 1 occupied or split), packed most significant bit first. No
// header, no length, no level markers: a reader must be told the padded sizes,
// the depth limit and the bit count.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/octree.h"
#include "codec/result.h"
#include "codec/voxel_grid.h"

namespace ovk {

struct PackedBits {
  std::vector<std::uint8_t> bytes;  // ceil(bit_count / 8) bytes, trailing bits zero
  std::uint64_t bit_count = 0;

  friend bool operator==(const PackedBits&, const PackedBits&) = default;
};

// Bit i of an MSB-first string.
inline bool packed_bit(const std::uint8_t* bytes, std::uint64_t i) noexcept {
  return (bytes[i >> 3] >> (7 - (i & 7))) & 1u;
}

inline std::uint64_t packed_byte_count(std::uint64_t bit_count) noexcept {
  return bit_count / 8 + (bit_count % 8 != 0);  // no overflow near 2^64
}

// What a tree bit costs the codec from encoding to decoding: its share of the
// packed bits, the coded stream and the decoded bits, and the decoder's
// two-byte arena node. Requests are judged by it before the bits are made.
inline constexpr std::uint64_t kCodecBytesPerTreeBit = 3;

inline constexpr unsigned kMaxTreeLevels = 17;  // depths 0 .. 16: a padded size is at most 2^16

// Where each depth's nodes sit in the cell keys and their bits in the string,
// for one geometry and depth limit. The bits of depth d + 1 are the child
// masks of the split nodes of depth d, one group of children[d] bits each, in
// breadth-first (= sorted key prefix) order.
struct TreeLevels {
  TreeLevels(const GridGeometry& geometry, std::uint8_t max_depth);

  unsigned deepest = 0;                           // depth of the leaves
  std::array<unsigned, kMaxTreeLevels> shift{};   // node at depth d: key >> shift[d]
  std::array<unsigned, kMaxTreeLevels> children{};
  // Depth whose child digit holds key bit b; `deepest` for bits below the
  // leaves' prefix. Two keys first differing at bit b share their nodes down
  // to that depth and no further.
  std::array<std::uint8_t, 64> depth_of_bit{};

  unsigned split_depth(std::uint64_t a, std::uint64_t b) const noexcept {
    return depth_of_bit[63 - std::countl_zero(a ^ b)];
  }
  // The place, within a group of children[d] bits, of the child at depth
  // d + 1 on the way to `key`.
  unsigned child(std::uint64_t key, unsigned d) const noexcept {
    return static_cast<unsigned>(key >> shift[d + 1]) & (children[d] - 1);
  }
};

// The packed bits of the occupancy tree over the occupied cells, given as
// sorted, distinct cell keys (occupied_cell_keys). Written level by level
// straight from the key prefixes: the tree itself is never built, and the
// cost is that of the keys and the tree bits, whatever the volume. Fails with
// kOutOfMemory when the tree's bits cannot fit (kCodecBytesPerTreeBit each).
Result<PackedBits> encode_tree_bits(std::span<const std::uint64_t> sorted_keys,
                                    const GridGeometry& geometry, std::uint8_t max_depth);
// The same with the levels and the memory budget (memory_budget_bytes())
// worked out once, for many frames of one geometry.
Result<PackedBits> encode_tree_bits(std::span<const std::uint64_t> sorted_keys,
                                    const TreeLevels& levels, std::uint64_t memory_budget);

// encode_tree_bits into `out`, whose buffer is reused (for frame after frame);
// on failure `out` is left unspecified.
Status encode_tree_bits_into(std::span<const std::uint64_t> sorted_keys, const TreeLevels& levels,
                             std::uint64_t memory_budget, PackedBits& out);

// Rebuilds the tree from its bits. A one bit means split when the node's box
// can still be divided (depth < max_depth, some size >= 2), else occupied.
// Bits beyond those the tree consumes are ignored; when the bits run out, the
// remaining queued nodes are empty. Reading a byte that `bytes` does not hold
// (bit_count larger than the bytes) is an internal fault.
Octree decode_tree(std::span<const std::uint8_t> bytes, std::uint64_t bit_count,
                   std::uint64_t padded_width, std::uint64_t padded_height,
                   std::uint64_t padded_bins, std::uint8_t max_depth);

// decode_tree for the padded sizes and depth limit that `levels` was made
// for, into `tree` (its buffer reused, for many frames of one geometry).
// The same nodes, with each depth's child count looked up, not worked out.
void decode_tree_into(std::span<const std::uint8_t> bytes, std::uint64_t bit_count,
                      const TreeLevels& levels, Octree& tree);

namespace detail {
// The general reader behind decode_tree, for sizes that are not powers of two
// (each queued node carries its own box size). Exposed so tests can check the
// power-of-two fast path against it.
Octree decode_tree_any_sizes(std::span<const std::uint8_t> bytes, std::uint64_t bit_count,
                             std::uint64_t padded_width, std::uint64_t padded_height,
                             std::uint64_t padded_bins, std::uint8_t max_depth);
}  // namespace detail

}  // namespace ovk
