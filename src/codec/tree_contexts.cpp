#include "codec/tree_contexts.h"

#include <bit>

namespace ovk {

ContextLayout::ContextLayout(const GridGeometry& geometry, std::uint8_t max_depth)
    : levels(geometry, max_depth) {
  const std::uint64_t sizes[3] = {geometry.padded_width(), geometry.padded_height(),
                                  geometry.padded_bins()};
  for (unsigned d = 0; d <= levels.deepest; ++d) {
    unsigned b = 0;
    for (unsigned a = 0; a < 3; ++a) {
      if (d < levels.deepest && (sizes[a] >> d) >= 2) child_axis[d][b++] = static_cast<std::uint8_t>(a);
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

void link_children(const std::vector<LinkedNode>& parents, const ChildAxes& axes,
                   std::vector<LinkedNode>& children) {
  children.clear();
  for (std::uint32_t p = 0; p < parents.size(); ++p) {
    const LinkedNode& parent = parents[p];
    for (unsigned mask = parent.children; mask != 0; mask &= mask - 1) {
      const unsigned c = static_cast<unsigned>(std::countr_zero(mask));
      LinkedNode child;
      for (unsigned a = 0; a < 3; ++a) {
        const unsigned b = axes[a];
        for (unsigned upper = 0; upper < 2; ++upper) {
          // Toward the inside of a halving axis the neighbour is a sibling.
          const bool inside = b != 0 && ((c & b) != 0) != (upper != 0);
          const std::uint32_t owner = inside ? p : parent.neighbour[2 * a + upper];
          if (owner == LinkedNode::kNone) continue;
          const unsigned number = c ^ b;
          const LinkedNode& o = parents[owner];
          if (((o.children >> number) & 1u) == 0) continue;
          child.neighbour[2 * a + upper] =
              o.first_child + kOnes[o.children & ((1u << number) - 1)];
        }
      }
      children.push_back(child);
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
