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

namespace {

// Bits set in each byte: a table, as the baseline x86-64 target has no
// population count instruction.
constexpr std::array<std::uint8_t, 256> kOnes = [] {
  std::array<std::uint8_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) t[i] = static_cast<std::uint8_t>(std::popcount(i));
  return t;
}();

}  // namespace

void LevelLinks::reset(std::size_t nodes) {
  // Cleared first, so that a buffer that must grow does not copy what the
  // walk writes over anyway.
  lower.clear();
  around.clear();
  first_child.clear();
  lower.resize(nodes + 1);
  around.resize(nodes + 1);
  first_child.resize(nodes + 1);
  children.assign(nodes + 1, 0);
}

void link_children(const LevelLinks& parents, const ChildAxes& axes, LevelLinks& children) {
  const std::uint8_t* const known = parents.children.data();
  const std::uint32_t* const first = parents.first_child.data();
  std::array<std::uint32_t, 3>* const lower = children.lower.data();
  std::uint8_t* const around = children.around.data();
  // Copies, as the byte stores below could otherwise alias them.
  const unsigned halves[3] = {axes[0], axes[1], axes[2]};
  std::uint32_t self = 1;
  for (std::size_t p = 1; p < parents.size(); ++p) {
    // Where a child's lower neighbour along each axis is looked for: among
    // its siblings in the upper half of a halving axis, else among the
    // children of the parent's lower neighbour (none in the sentinel).
    const unsigned mine = known[p];
    const std::uint32_t my_first = first[p];
    unsigned their_children[3];
    std::uint32_t their_first[3];
    for (unsigned a = 0; a < 3; ++a) {
      const std::uint32_t l = parents.lower[p][a];
      their_children[a] = known[l];
      their_first[a] = first[l];
    }
    for (unsigned mask = mine; mask != 0; mask &= mask - 1, ++self) {
      const unsigned c = static_cast<unsigned>(std::countr_zero(mask));
      unsigned six = 0;
      for (unsigned a = 0; a < 3; ++a) {
        const unsigned b = halves[a];
        const bool sibling = (c & b) != 0;
        const unsigned number = c ^ b;
        const unsigned theirs = sibling ? mine : their_children[a];
        const std::uint32_t start = sibling ? my_first : their_first[a];
        const unsigned occupied = (theirs >> number) & 1u;
        const std::uint32_t below =
            (start + kOnes[theirs & ((1u << number) - 1)]) & (0u - occupied);
        lower[self][a] = below;
        six |= occupied << (2 * a);
        // This child is the upper neighbour of the one below; marked in the
        // sentinel when there is none, which nothing reads.
        around[below] = static_cast<std::uint8_t>(around[below] | (1u << (2 * a + 1)));
      }
      around[self] = static_cast<std::uint8_t>(six);
    }
  }
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
