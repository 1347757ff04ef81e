// The contexts of the occupancy tree's bits: for every child bit, which
// depth it lies at, which child of its parent it is, which of its earlier
// siblings are occupied, and whether the parent's neighbours at the
// parent's own depth, on the child's side, are occupied.
//
// The walk visits the bits in their breadth-first order, handing each bit's
// context to a coder that either reads the bit (encoder, cost models) or
// produces it (decoder). Neighbours are found through links kept level by
// level (a node's lower neighbour is a sibling or a child of its parent's
// lower neighbour), O(1) a node, so the cost follows the tree's nodes, never
// the volume of the grid.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <memory>
#include <vector>

#include "codec/result.h"
#include "codec/tree_bits.h"
#include "codec/voxel_grid.h"

namespace ovk {

// What a child bit is coded with. The child is number c of a parent at
// `depth`; `siblings` holds the bits of children 0 .. c - 1 (child 0 the
// most significant); `near` the parent's neighbours (at the parent's depth)
// on the child's side, one bit per axis (x 4, y 2, t 1), and `behind` the
// child's own lower neighbours at the child's depth (x 4, y 2, t 1), all of
// which come before it in the bit order.
struct BitContext {
  unsigned depth, near, behind, c, siblings, ones;  // ones: the 1 bits in `siblings`
  // The context's number, worked out by the walk from the fields above:
  // ((((depth + 1) * 8 + near) * 8 + behind) * 8 + c) * 8 + ones.
  std::uint32_t number;
};

// Context numbers: 17 depths x 8 near patterns x 8 behind patterns x 8
// child numbers x 8 counts of occupied earlier siblings. The root's bit:
// depth + 1 wraps to 0, so its context is 0 (no child bit has it: depth + 1
// >= 1).
inline constexpr BitContext kRootContext{~0u, 0, 0, 0, 0, 0, 0};
inline constexpr unsigned kTreeContexts = kMaxTreeLevels * 8 * 8 * 8 * 8;

// The levels of the tree and the axes each depth halves, for one geometry
// and depth limit.
struct ContextLayout {
  ContextLayout(const GridGeometry& geometry, std::uint8_t max_depth);

  TreeLevels levels;
  // The axis of each child-index bit at depth d, most significant first
  // (child_axis[d][0] is the axis of the top bit of a child number).
  std::array<std::array<std::uint8_t, 3>, kMaxTreeLevels> child_axis{};

  // The contexts of the children of one split at a depth, as one word of
  // six bits a child (child c at bit 6c: near << 3 | behind), put together
  // from tables: the near bits from the parent's six neighbour bits, the
  // behind bits from the children of its three lower neighbours and, as
  // each child is found occupied, the bits it sets in its later siblings.
  struct Depth {
    std::array<std::uint64_t, 64> near;
    std::array<std::array<std::uint64_t, 256>, 3> behind;  // by axis
    std::array<std::uint64_t, 8> occupied;
    // What an occupied child c adds to the context number of child c + 1:
    // its bit in the behind field, if it is that child's lower neighbour, and
    // one to the count of occupied siblings. The bits it adds were clear.
    std::array<std::uint32_t, 8> step;
    // Where child c's lower neighbour along axis a is found when it is
    // linked: among the children of the parent's lower neighbour along a
    // (from a) or among its siblings (from 3), as child number c ^ b, b the
    // bit of the child number that halves a (0 when a does not halve);
    // `shift` is 8 (c ^ b), the byte of that number in a kRanks entry.
    std::array<std::array<std::uint8_t, 3>, 8> link_from, link_shift;
  };
  std::vector<Depth> depths;  // one a depth above the leaves
};

// The occupied nodes of one level of the walk, in their breadth-first order:
// where each node's lower neighbours along x, y and t sit in the same level,
// which of its six neighbours are occupied (bit 2a the lower, 2a + 1 the
// upper along axis a), its occupied children (a bit per child number) and
// where they start in the next level. Entry 0 is a sentinel standing for
// every empty or outside neighbour: it has no children, so a lookup through
// a missing neighbour needs no branch. The level's nodes are entries 1 ..
// count, each written in full before it is read, so the buffer is never
// cleared.
struct LevelLinks {
  static constexpr std::uint32_t kNone = 0;
  struct Node {
    std::array<std::uint32_t, 3> lower;
    std::uint32_t first_child;
    std::uint8_t around, children;
  };
  std::unique_ptr<Node[]> nodes;
  std::size_t capacity = 0;  // entries, the sentinel's included
  std::size_t count = 0;     // nodes after the sentinel

  // No nodes, only the sentinel.
  void reset();
  // Room for entries 0 .. last at least, the first `kept` entries kept;
  // when it must grow, at least twice as large.
  void reserve(std::size_t last, std::size_t kept);
};

// Buffers of a walk, reused from frame to frame.
struct TreeWalkScratch {
  LevelLinks parents, children;  // two consecutive levels
};

// For each child of a split at one depth, its three side bits (x 4, y 2,
// t 1) from the parent's six neighbour bits: along an axis that halves, the
// neighbour on the child's half; along one that does not, either neighbour.
using SideTable = std::array<std::array<std::uint8_t, 64>, 8>;
SideTable side_table(const ContextLayout& layout, unsigned depth);

// For the children of a split at one depth: for each axis, the bit of the
// child number that picks its half (0 where the axis does not halve).
using ChildAxes = std::array<unsigned, 3>;
ChildAxes child_axes(const ContextLayout& layout, unsigned depth);

namespace detail {
// The n = N children of one split at depth d, whose contexts start as
// `word` (ContextLayout::Depth) and end there, every sibling's bits in;
// returns the occupied ones, a bit per child, and adds their number to
// `occupied`.
template <unsigned N, class Coder>
[[gnu::always_inline]] inline unsigned walk_split(unsigned d, std::uint64_t& word,
                                                  const ContextLayout::Depth& tables,
                                                  std::uint64_t& pos, std::uint32_t& occupied,
                                                  Coder& coder) {
  const std::uint32_t depth_bits = (d + 1) << 12;
  // Child c's context number but for the occupied siblings' count.
  const auto number_of = [&](unsigned c, std::uint64_t w) {
    return depth_bits | ((static_cast<std::uint32_t>(w >> (6 * c)) & 63u) << 6) | (c << 3);
  };
  std::uint32_t number = number_of(0, word);
  unsigned mine = 0, siblings = 0, ones = 0;
#pragma GCC unroll 8
  for (unsigned c = 0; c < N; ++c) {
    // The next child's context number if this bit is 0, worked out before
    // the bit is known: a 1 only adds tables.step[c] to it. A decoder, which
    // waits for each bit before it can look up the next one's probability,
    // waits for an add, not for the whole context.
    const std::uint32_t next_if_zero = c + 1 < N ? number_of(c + 1, word) | ones : 0;
    const unsigned field = static_cast<unsigned>(word >> (6 * c)) & 63u;
    const BitContext now{d, field >> 3, field & 7u, c, siblings, ones, number};
    bool bit;
    if (c + 1 == N && ones == 0) {
      bit = true;
      coder.forced(pos);
    } else {
      bit = coder.bit(pos, now);
    }
    ++pos;
    // Masks, not branches: the bits are what the coder cannot predict.
    const std::uint32_t picked = 0u - std::uint32_t{bit};
    mine |= unsigned{bit} << c;
    siblings = (siblings << 1) | unsigned{bit};
    ones += unsigned{bit};
    word |= tables.occupied[c] & (0 - std::uint64_t{bit});
    number = next_if_zero + (tables.step[c] & picked);
  }
  occupied += ones;
  if constexpr (Coder::kDecodes) coder.coded(pos - N, mine, N);
  return mine;
}

// Links the occupied children `mine` of `parent`, numbered from `first` in
// the next level, to their lower neighbours and marks which of their six
// neighbours are occupied. `word` holds the split's contexts once coded, so
// whether each lower neighbour is occupied is known already. A child's
// lower neighbour along an axis is a sibling (in the upper half of a
// halving axis) or a child of the parent's lower neighbour, linked before
// these; it sits at its parent's first child plus the occupied children
// before it. Its upper neighbours are marked from the other side, by the
// later children whose lower neighbour it is. O(1) a child, without
// branches but the one over the occupied children.
void link_children(const LevelLinks::Node* parents, const LevelLinks::Node& parent, unsigned mine,
                   std::uint32_t first, std::uint64_t word, const ContextLayout::Depth& tables,
                   LevelLinks::Node* children);

// One level of the walk: the splits of the `parents.count` parents, each
// with N children, whose children are linked as they are found when kLink.
template <unsigned N, bool kLink, class Coder>
[[gnu::always_inline]] inline void walk_level(unsigned d, const ContextLayout& layout,
                                              LevelLinks& parents, LevelLinks& children,
                                              std::uint64_t& pos, Coder& coder) {
  const ContextLayout::Depth& tables = layout.depths[d];
  LevelLinks::Node* const nodes = parents.nodes.get();
  LevelLinks::Node* below = children.nodes.get();
  const std::size_t count = parents.count;
  std::uint32_t next_child = 1;
  for (std::size_t p = 1; p <= count; ++p) {
    if constexpr (kLink) {
      // Only when the children outnumber the bits left for them, which a
      // hostile code can make so before the next level finds it out.
      if (next_child + N > children.capacity) [[unlikely]] {
        children.reserve(next_child + N - 1, next_child);
        below = children.nodes.get();
      }
    }
    LevelLinks::Node& node = nodes[p];
    // The children of the parent's lower neighbours are coded before these.
    std::uint64_t word = tables.near[node.around] |
                               tables.behind[0][nodes[node.lower[0]].children] |
                               tables.behind[1][nodes[node.lower[1]].children] |
                               tables.behind[2][nodes[node.lower[2]].children];
    const std::uint32_t first = next_child;
    const unsigned mine = walk_split<N>(d, word, tables, pos, next_child, coder);
    node.children = static_cast<std::uint8_t>(mine);
    node.first_child = first;
    if constexpr (kLink) link_children(nodes, node, mine, first, word, tables, below);
  }
  children.count = next_child - 1;
}

// A level of N-child splits, linked or not: the last level's children are
// never walked.
template <unsigned N, class Coder>
[[gnu::always_inline]] inline void walk_level(bool link, unsigned d, const ContextLayout& layout,
                                              LevelLinks& parents, LevelLinks& children,
                                              std::uint64_t& pos, Coder& coder) {
  if (link) {
    walk_level<N, true>(d, layout, parents, children, pos, coder);
  } else {
    walk_level<N, false>(d, layout, parents, children, pos, coder);
  }
}

// The walk of walk_tree_contexts below, on the coder it is given.
template <class Coder>
[[gnu::always_inline]] inline Result<std::uint64_t> walk_levels(const ContextLayout& layout,
                                                                std::uint64_t bit_count,
                                                                Coder& coder,
                                                                TreeWalkScratch& scratch) {
  const TreeLevels& levels = layout.levels;
  std::uint64_t pos = 0;
  if (bit_count == 0) return Error{ErrorKind::kInvalidData, "the tree needs more than its 0 bits"};
  const bool root = coder.bit(pos++, kRootContext);
  if constexpr (Coder::kDecodes) coder.coded(0, root, 1);
  if (!root || levels.deepest == 0) return pos;
  LevelLinks* parents = &scratch.parents;
  LevelLinks* children = &scratch.children;
  parents->reserve(1, 0);
  parents->reset();
  parents->count = 1;
  parents->nodes[1] = LevelLinks::Node{};
  for (unsigned d = 0; d < levels.deepest; ++d) {
    const unsigned n = levels.children[d];
    const std::size_t count = parents->count;
    if (count > (bit_count - pos) / n) {
      return Error{ErrorKind::kInvalidData,
                   "the tree needs more than its " + std::to_string(bit_count) + " bits"};
    }
    if (count * n >= 0xFFFFFFFFu) return Error::out_of_memory();
    const bool link = d + 1 < levels.deepest;
    if (link) {
      // Every split has an occupied child, so each child of this level
      // leads to a split at every depth below it above the leaves, and the
      // bits left after this level hold all those splits' bits: room for as
      // many children as that allows (for the last level linked, the exact
      // number), and for the n a split could add past them, so that the
      // buffer need not grow while the level is walked.
      std::uint64_t per_child = 0;
      for (unsigned k = d + 1; k < levels.deepest; ++k) per_child += levels.children[k];
      const std::uint64_t left = bit_count - pos - count * n;
      children->reserve(std::min<std::uint64_t>(count * n, left / per_child) + n, 0);
      children->reset();
    }
    switch (n) {
      case 8: walk_level<8>(link, d, layout, *parents, *children, pos, coder); break;
      case 4: walk_level<4>(link, d, layout, *parents, *children, pos, coder); break;
      case 2: walk_level<2>(link, d, layout, *parents, *children, pos, coder); break;
      default: OVK_FAULT("a split above the leaves with fewer than two children");
    }
    std::swap(parents, children);
  }
  return pos;
}
}  // namespace detail

// Walks the bits of a tree over `layout` in breadth-first order. For each
// bit, coder.bit(pos, context) returns it (reading or producing it, as
// Coder::kDecodes says); a bit the tree makes certain (the last child of a
// split node whose other children are all empty) is handed to
// coder.forced(pos) and not coded. A coder that produces the bits is handed
// them as they are known, the root's and then a split's at a time:
// coder.coded(pos, bits, n) for the n bits from pos on, the first in bit 0. Returns the number of bits walked, or
// kInvalidData when the tree needs more than bit_count bits. The coder (a
// movable type) works on a local copy, moved back at the end, so that its
// state can stay in registers: no store through the bits it writes can
// reach it.
template <class Coder>
Result<std::uint64_t> walk_tree_contexts(const ContextLayout& layout, std::uint64_t bit_count,
                                         Coder& coder, TreeWalkScratch& scratch) {
  Coder local(std::move(coder));
  Result<std::uint64_t> walked = detail::walk_levels(layout, bit_count, local, scratch);
  coder = std::move(local);
  return walked;
}

}  // namespace ovk
