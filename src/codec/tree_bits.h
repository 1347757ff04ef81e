// The packed tree bit string: one bit per tree node in breadth-first order
// (0 empty, 1 occupied or split), packed most significant bit first. No
// header, no length, no level markers: a reader must be told the padded sizes,
// the depth limit and the bit count.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
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

// The tree's shape for one geometry and depth limit, the one statement of
// the split rule that every writer, reader and bound walks: where each
// depth's nodes sit in the cell keys and their bits in the string, and the
// boxes they stand for. A node is split while depth < deepest (the depth
// limit, or the depth at which every box is a single cell), halving every
// axis still longer than 1. The bits of depth d + 1 are the child
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

  // Sides (x, y, time bins) of every box at depth d, for d <= deepest: the
  // padded sizes halved d times, down to 1.
  std::array<std::array<std::uint32_t, 3>, kMaxTreeLevels> side{};
  // Whether a split at depth d < deepest halves `axis` (x 0, y 1, t 2).
  bool halves(unsigned d, unsigned axis) const noexcept { return side[d][axis] != side[d + 1][axis]; }
  // Origin of child c of a box at depth d < deepest, relative to the box's
  // own: the child's digit holds one bit per halving axis, x first.
  std::array<std::uint32_t, 3> child_offset(unsigned d, unsigned c) const noexcept;
  // The number of nodes of a full tree (every box split, every leaf
  // occupied): an upper bound on any tree's bits.
  std::uint64_t full_tree_nodes() const noexcept;
};

// The packed bits of the occupancy tree over the occupied cells, given as
// sorted, distinct cell keys (CellKeyer), into `out`, whose buffer is reused
// (for frame after frame). Written level by level straight from the key
// prefixes: the tree itself is never built, and the cost is that of the keys
// and the tree bits, whatever the volume. Fails with kOutOfMemory when the
// tree's bits cannot fit in `memory_budget` (kCodecBytesPerTreeBit each,
// memory_budget_bytes()); on failure `out` is left unspecified.
Status encode_tree_bits_into(std::span<const std::uint64_t> sorted_keys, const TreeLevels& levels,
                             std::uint64_t memory_budget, PackedBits& out);

// Rebuilds the tree from its bits over the padded sizes and depth limit that
// `levels` was made for, into `tree` (its buffer reused, for many frames of
// one geometry). A one bit is a split node above the leaves' depth and an
// occupied leaf at it. Bits beyond those the tree consumes are ignored; when
// the bits run out, the remaining nodes are empty. Reading a byte that
// `bytes` does not hold (bit_count larger than the bytes) is an internal
// fault.
void decode_tree_into(std::span<const std::uint8_t> bytes, std::uint64_t bit_count,
                      const TreeLevels& levels, Octree& tree);

// Bits [8 at, 8 at + 64) of an MSB-first string as a word, the first in the
// top bit; bytes past the string read as zero.
inline std::uint64_t load_bit_word(std::span<const std::uint8_t> bytes, std::uint64_t at) noexcept {
  std::uint64_t word = 0;
  if (at + 8 <= bytes.size()) {
    std::memcpy(&word, bytes.data() + at, 8);
  } else if (at < bytes.size()) {
    std::memcpy(&word, bytes.data() + at, static_cast<std::size_t>(bytes.size() - at));
  }
  return std::endian::native == std::endian::little ? __builtin_bswap64(word) : word;
}

}  // namespace ovk
