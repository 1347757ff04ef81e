#include "codec/tree_contexts.h"

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
  }
}

ChildAxes child_axes(const ContextLayout& layout, unsigned depth) {
  const unsigned k = static_cast<unsigned>(std::countr_zero(layout.levels.children[depth]));
  ChildAxes out{0, 0, 0};
  for (unsigned b = 0; b < k; ++b) out[layout.child_axis[depth][b]] = 1u << (k - 1 - b);
  return out;
}

void LevelLinks::reset(std::size_t most) {
  if (most + 1 > capacity) {
    nodes = std::make_unique_for_overwrite<Node[]>(most + 1);
    capacity = most + 1;
  }
  nodes[0] = Node{};
  count = 0;
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
