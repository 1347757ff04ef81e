// The contexts of the occupancy tree's bits: for every child bit, which
// depth it lies at, which child of its parent it is, which of its earlier
// siblings are occupied, and whether the parent's neighbours at the
// parent's own depth, on the child's side, are occupied.
//
// The walk visits the bits in their breadth-first order, handing each bit's
// context to a coder that either reads the bit (encoder, cost models) or
// produces it (decoder). Neighbour lookups search the sorted prefixes of the
// occupied nodes of a depth, so the cost follows the tree's nodes, never the
// volume of the grid.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
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
};

// Context numbers: 17 depths x 8 near patterns x 8 behind patterns x 8
// child numbers x 8 counts of occupied earlier siblings. The root's bit has
// context 0 (no child bit has it: depth + 1 >= 1).
// The root's bit: depth + 1 wraps to 0, so its context is 0.
inline constexpr BitContext kRootContext{~0u, 0, 0, 0, 0, 0};
inline constexpr unsigned kTreeContexts = kMaxTreeLevels * 8 * 8 * 8 * 8;
inline constexpr std::uint32_t tree_context(const BitContext& b) noexcept {
  return ((((b.depth + 1) * 8 + b.near) * 8 + b.behind) * 8 + b.c) * 8 + b.ones;
}

// Where each axis's bits sit in a node's prefix at every depth, and the
// levels of the tree, for one geometry and depth limit.
struct ContextLayout {
  ContextLayout(const GridGeometry& geometry, std::uint8_t max_depth);

  TreeLevels levels;
  // axis_mask[d][a]: the bits of axis a (x, y, t) in a prefix at depth d.
  std::array<std::array<std::uint64_t, 3>, kMaxTreeLevels> axis_mask{};
  // The axis of each child-index bit at depth d, most significant first
  // (child_axis[d][0] is the axis of the top bit of a child number).
  std::array<std::array<std::uint8_t, 3>, kMaxTreeLevels> child_axis{};
};

// Membership in a sorted array of node prefixes, searched from where the
// previous search ended (galloping, then binary search): the neighbours of
// consecutive nodes in one direction lie close together in prefix order, so
// a lookup mostly costs a few steps through memory already in cache, and at
// worst a logarithm of the array. Nothing here is sized by the volume.
class SortedCursor {
 public:
  bool contains(const std::vector<std::uint64_t>& a, std::uint64_t v) noexcept {
    const std::size_t n = a.size();
    if (n == 0) return false;
    const std::size_t h = std::min(hint_, n - 1);
    if (a[h] == v) return true;
    std::size_t lo, hi;
    if (a[h] < v) {  // forward: a[lo - 1] < v
      lo = h + 1;
      std::size_t step = 1;
      while (lo + step - 1 < n && a[lo + step - 1] < v) {
        lo += step;
        step <<= 1;
      }
      hi = std::min(n, lo + step);
    } else {  // backward: a[hi] > v
      hi = h;
      std::size_t step = 1;
      while (hi >= step && a[hi - step] > v) {
        hi -= step;
        step <<= 1;
      }
      lo = hi >= step ? hi - step : 0;
    }
    const auto at = std::lower_bound(a.begin() + static_cast<std::ptrdiff_t>(lo),
                                     a.begin() + static_cast<std::ptrdiff_t>(hi), v);
    hint_ = static_cast<std::size_t>(at - a.begin());
    return hint_ < hi && *at == v;
  }

 private:
  std::size_t hint_ = 0;
};

// Buffers of a walk, reused from frame to frame.
struct TreeWalkScratch {
  std::vector<std::uint64_t> current, next;  // occupied prefixes of a depth, sorted
};

// The six neighbours of a node at `depth` with prefix p: bit 2a for the
// lower neighbour along axis a, bit 2a + 1 for the upper one, set when that
// neighbour is an occupied node (a neighbour outside the grid is empty).
inline unsigned occupied_neighbours(const ContextLayout& layout, unsigned depth, std::uint64_t p,
                                    const std::vector<std::uint64_t>& set,
                                    SortedCursor* cursors) noexcept {
  unsigned out = 0;
  for (unsigned a = 0; a < 3; ++a) {
    const std::uint64_t m = layout.axis_mask[depth][a];
    if (m == 0) continue;
    const std::uint64_t own = p & m, rest = p & ~m;
    if (own != 0 && cursors[2 * a].contains(set, rest | ((own - 1) & m))) out |= 1u << (2 * a);
    if (own != m && cursors[2 * a + 1].contains(set, rest | (((own | ~m) + 1) & m)))
      out |= 2u << (2 * a);
  }
  return out;
}

// For each child of a split at one depth, its three side bits (x 4, y 2,
// t 1) from the parent's six neighbour bits: along an axis that halves, the
// neighbour on the child's half; along one that does not, either neighbour.
using SideTable = std::array<std::array<std::uint8_t, 64>, 8>;
SideTable side_table(const ContextLayout& layout, unsigned depth);

// For the children of a split at one depth: for each axis, the bit of the
// child number that picks its half (-1 where the axis does not halve), and
// the axis's mask in a child's prefix.
struct ChildAxes {
  std::array<int, 3> bit;
  std::array<std::uint64_t, 3> mask;
};
ChildAxes child_axes(const ContextLayout& layout, unsigned depth);

// The lower neighbour of prefix q along the axis with mask m, or nothing
// at the grid's edge.
inline bool lower_neighbour(std::uint64_t q, std::uint64_t m, std::uint64_t& out) noexcept {
  const std::uint64_t own = q & m;
  if (own == 0) return false;
  out = (q & ~m) | ((own - 1) & m);
  return true;
}

// Walks the bits of a tree over `layout` in breadth-first order. For each
// bit, coder.bit(pos, context) returns it (reading or producing it); a bit
// the tree makes certain (the last child of a split node whose other
// children are all empty) is handed to coder.forced(pos) and not coded.
// Returns the number of bits walked, or kInvalidData when the tree needs
// more than bit_count bits.
template <class Coder>
Result<std::uint64_t> walk_tree_contexts(const ContextLayout& layout, std::uint64_t bit_count,
                                         Coder& coder, TreeWalkScratch& scratch) {
  const TreeLevels& levels = layout.levels;
  std::uint64_t pos = 0;
  if (bit_count == 0) return Error{ErrorKind::kInvalidData, "the tree needs more than its 0 bits"};
  const bool root = coder.bit(pos++, kRootContext);
  if (!root || levels.deepest == 0) return pos;
  std::vector<std::uint64_t>& current = scratch.current;
  std::vector<std::uint64_t>& next = scratch.next;
  current.assign(1, 0);
  for (unsigned d = 0; d < levels.deepest; ++d) {
    const unsigned n = levels.children[d];
    const unsigned k = static_cast<unsigned>(std::countr_zero(n));
    if (current.size() > (bit_count - pos) / n) {
      return Error{ErrorKind::kInvalidData,
                   "the tree needs more than its " + std::to_string(bit_count) + " bits"};
    }
    next.clear();
    const SideTable side_of = side_table(layout, d);
    const ChildAxes axes = child_axes(layout, d);
    SortedCursor around[6], behind_cursor[3];
    for (const std::uint64_t parent : current) {
      const unsigned six = occupied_neighbours(layout, d, parent, current, around);
      unsigned siblings = 0, ones = 0;
      for (unsigned c = 0; c < n; ++c) {
        const std::uint64_t q = (parent << k) | c;
        // The child's lower neighbours: a sibling when the child lies in the
        // upper half of a halving axis, else a child of the parent's lower
        // neighbour, which can be occupied only if that neighbour is.
        unsigned behind = 0;
        for (unsigned a = 0; a < 3; ++a) {
          const int b = axes.bit[a];
          std::uint64_t r;
          bool occupied = false;
          if (b >= 0 && ((c >> b) & 1u)) {
            const unsigned sibling = c & ~(1u << b);
            occupied = (siblings >> (c - 1 - sibling)) & 1u;
          } else if (((six >> (2 * a)) & 1u) && lower_neighbour(q, axes.mask[a], r)) {
            occupied = behind_cursor[a].contains(next, r);  // r comes before q
          }
          behind = (behind << 1) | unsigned{occupied};
        }
        bool bit;
        if (c + 1 == n && ones == 0) {
          bit = true;
          coder.forced(pos);
        } else {
          bit = coder.bit(pos, BitContext{d, side_of[c][six] & 7u, behind, c, siblings, ones});
        }
        ++pos;
        siblings = (siblings << 1) | unsigned{bit};
        ones += unsigned{bit};
        if (bit) next.push_back(q);
      }
    }
    current.swap(next);
  }
  return pos;
}

}  // namespace ovk
