#include "codec/tree_contexts.h"

#include <bit>

namespace ovk {

ContextLayout::ContextLayout(const GridGeometry& geometry, std::uint8_t max_depth)
    : levels(geometry, max_depth) {
  const std::uint64_t full[3] = {geometry.key(geometry.padded_width() - 1, 0, 0),
                                 geometry.key(0, geometry.padded_height() - 1, 0),
                                 geometry.key(0, 0, geometry.padded_bins() - 1)};
  const std::uint64_t sizes[3] = {geometry.padded_width(), geometry.padded_height(),
                                  geometry.padded_bins()};
  for (unsigned d = 0; d <= levels.deepest; ++d) {
    for (unsigned a = 0; a < 3; ++a) axis_mask[d][a] = full[a] >> levels.shift[d];
    unsigned b = 0;
    for (unsigned a = 0; a < 3; ++a) {
      if (d < levels.deepest && (sizes[a] >> d) >= 2) child_axis[d][b++] = static_cast<std::uint8_t>(a);
    }
  }
}

ChildAxes child_axes(const ContextLayout& layout, unsigned depth) {
  const unsigned k = static_cast<unsigned>(std::countr_zero(layout.levels.children[depth]));
  ChildAxes out{{-1, -1, -1}, layout.axis_mask[depth + 1]};
  for (unsigned b = 0; b < k; ++b) out.bit[layout.child_axis[depth][b]] = static_cast<int>(k - 1 - b);
  return out;
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
