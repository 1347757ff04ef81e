#include "codec/tree_contexts.h"

#include <algorithm>
#include <bit>

namespace ovk {

ContextLayout::ContextLayout(const GridGeometry& geometry, std::uint8_t max_depth)
    : levels(geometry, max_depth) {
  for (unsigned d = 0; d < levels.deepest; ++d) {
    unsigned b = 0;
    for (unsigned a = 0; a < 3; ++a) {
      if (levels.halves(d, a)) child_axis[d][b++] = static_cast<std::uint8_t>(a);
    }
  }
  depths.resize(levels.deepest);
  for (unsigned d = 0; d < levels.deepest; ++d) {
    Depth& t = depths[d];
    const unsigned n = levels.children[d];
    const SideTable side_of = side_table(*this, d);
    const ChildAxes axes = child_axes(*this, d);
    for (unsigned six = 0; six < 64; ++six) {
      t.near[six] = 0;
      for (unsigned c = 0; c < n; ++c) t.near[six] |= std::uint64_t{side_of[c][six] & 7u} << (6 * c + 3);
    }
    // The child's lower neighbour along an axis: a sibling in the upper half
    // of a halving axis, else a child of the parent's lower neighbour (the
    // upper half there; the same number along an axis that does not halve).
    // Either way child number c ^ b.
    t.occupied.fill(0);
    for (unsigned a = 0; a < 3; ++a) {
      const unsigned b = axes[a], behind_bit = 2 - a;
      for (unsigned m = 0; m < 256; ++m) {
        std::uint64_t w = 0;
        for (unsigned c = 0; c < n; ++c) {
          if ((c & b) == 0 && ((m >> (c ^ b)) & 1u)) w |= std::uint64_t{1} << (6 * c + behind_bit);
        }
        t.behind[a][m] = w;
      }
      if (b == 0) continue;
      for (unsigned c = 0; c < n; ++c) {
        if ((c & b) == 0) t.occupied[c] |= std::uint64_t{1} << (6 * (c | b) + behind_bit);
      }
    }
    for (unsigned c = 0; c < 8; ++c) {
      t.step[c] = static_cast<std::uint32_t>(((t.occupied[c] >> (6 * (c + 1))) & 63u) << 6) | 1u;
      for (unsigned a = 0; a < 3; ++a) {
        t.link_from[c][a] = static_cast<std::uint8_t>((c & axes[a]) != 0 ? 3 : a);
        t.link_shift[c][a] = static_cast<std::uint8_t>(8 * (c ^ axes[a]));
      }
    }
  }
}

ChildAxes child_axes(const ContextLayout& layout, unsigned depth) {
  const unsigned k = static_cast<unsigned>(std::countr_zero(layout.levels.children[depth]));
  ChildAxes out{0, 0, 0};
  for (unsigned b = 0; b < k; ++b) out[layout.child_axis[depth][b]] = 1u << (k - 1 - b);
  return out;
}

namespace detail {

namespace {

// For each byte m, byte i of kRanks[m] counts the bits of m below bit i.
constexpr std::array<std::uint64_t, 256> kRanks = [] {
  std::array<std::uint64_t, 256> t{};
  for (unsigned m = 0; m < 256; ++m) {
    for (unsigned i = 0; i < 8; ++i) {
      t[m] |= std::uint64_t(std::popcount(m & ((1u << i) - 1))) << (8 * i);
    }
  }
  return t;
}();

// A child's lower-neighbour bits as a context has them (x 4, y 2, t 1), as
// the marks of LevelLinks::Node::around (bit 2a along axis a = x, y, t).
constexpr std::array<std::uint8_t, 8> kLowerMarks = [] {
  std::array<std::uint8_t, 8> t{};
  for (unsigned b = 0; b < 8; ++b) {
    t[b] = static_cast<std::uint8_t>(((b >> 2) & 1u) | (((b >> 1) & 1u) << 2) | ((b & 1u) << 4));
  }
  return t;
}();

// For the lower-neighbour bits of a context (x 4, y 2, t 1), whether the
// neighbour along each axis is occupied, as a mask.
constexpr std::array<std::array<std::uint32_t, 3>, 8> kOccupied = [] {
  std::array<std::array<std::uint32_t, 3>, 8> t{};
  for (unsigned b = 0; b < 8; ++b) {
    for (unsigned a = 0; a < 3; ++a) t[b][a] = 0u - ((b >> (2 - a)) & 1u);
  }
  return t;
}();

}  // namespace

void link_children(const LevelLinks::Node* parents, const LevelLinks::Node& parent, unsigned mine,
                   std::uint32_t first, std::uint64_t word, const ContextLayout::Depth& tables,
                   LevelLinks::Node* children) {
  // Where the lower neighbours are looked for (Depth::link_from): entry a
  // the children of the parent's lower neighbour along axis a, entry 3 the
  // siblings.
  std::uint64_t ranks[4];
  std::uint32_t starts[4];
  for (unsigned a = 0; a < 3; ++a) {
    const LevelLinks::Node& lower = parents[parent.lower[a]];
    ranks[a] = kRanks[lower.children];
    starts[a] = lower.first_child;
  }
  ranks[3] = kRanks[mine];
  starts[3] = first;
  std::uint32_t self = first;
  for (unsigned mask = mine; mask != 0; mask &= mask - 1, ++self) {
    const unsigned c = static_cast<unsigned>(std::countr_zero(mask));
    const unsigned behind = static_cast<unsigned>(word >> (6 * c)) & 7u;
    LevelLinks::Node& child = children[self];
    child.around = kLowerMarks[behind];
    for (unsigned a = 0; a < 3; ++a) {
      const unsigned from = tables.link_from[c][a];
      const std::uint32_t below =
          (starts[from] + static_cast<std::uint32_t>((ranks[from] >> tables.link_shift[c][a]) & 0xFFu)) &
          kOccupied[behind][a];
      child.lower[a] = below;
      // This child is the upper neighbour of the one below; marked in the
      // sentinel when there is none, which nothing reads.
      children[below].around = static_cast<std::uint8_t>(children[below].around | (2u << (2 * a)));
    }
  }
}

}  // namespace detail

void LevelLinks::reset() {
  if (capacity == 0) reserve(0, 0);
  nodes[0] = Node{};
  count = 0;
}

void LevelLinks::reserve(std::size_t last, std::size_t kept) {
  if (last < capacity) return;
  const std::size_t grown = std::max(last + 1, 2 * capacity);
  std::unique_ptr<Node[]> more = std::make_unique_for_overwrite<Node[]>(grown);
  std::copy_n(nodes.get(), kept, more.get());
  nodes = std::move(more);
  capacity = grown;
}

SideTable side_table(const ContextLayout& layout, unsigned depth) {
  const unsigned n = layout.levels.children[depth];
  const unsigned k = static_cast<unsigned>(std::countr_zero(n));
  SideTable table{};
  for (unsigned c = 0; c < n; ++c) {
    // Which of the axis's two neighbour bits each axis reads; -1 for either.
    int half[3] = {-1, -1, -1};
    for (unsigned b = 0; b < k; ++b)
      half[layout.child_axis[depth][b]] = static_cast<int>((c >> (k - 1 - b)) & 1u);
    for (unsigned six = 0; six < 64; ++six) {
      unsigned near = 0, far = 0;
      for (unsigned a = 0; a < 3; ++a) {
        const unsigned pair = (six >> (2 * a)) & 3u;
        const unsigned n = half[a] < 0 ? unsigned{pair != 0} : (pair >> half[a]) & 1u;
        const unsigned f = half[a] < 0 ? unsigned{pair == 3} : (pair >> (1 - half[a])) & 1u;
        near = (near << 1) | n;
        far = (far << 1) | f;
      }
      table[c][six] = static_cast<std::uint8_t>(near | (far << 3));
    }
  }
  return table;
}

}  // namespace ovk
