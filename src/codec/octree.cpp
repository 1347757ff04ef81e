#include "codec/octree.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

namespace ovk {

std::vector<std::uint64_t> Octree::first_children() const {
  std::vector<std::uint64_t> first(nodes.size());
  std::uint64_t next = 1;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    first[i] = next;
    next += nodes[i].n_children;
  }
  return first;
}

AxisParts split_axis(std::uint64_t s) noexcept {
  if (s >= 2) {
    const std::uint64_t h = s / 2;
    return AxisParts{2, {h, s - h}, {0, h}};
  }
  return AxisParts{1, {1, 0}, {0, 0}};
}

namespace {

// Whether any bit in [start, start + len) of an LSB-first bitmap is set.
bool any_bit_set(const std::uint8_t* bits, std::uint64_t start, std::uint64_t len) {
  const std::uint64_t end = start + len;
  const std::uint64_t first = start >> 3;
  const std::uint64_t last = (end + 7) / 8 - 1;
  const unsigned lo = static_cast<unsigned>(start & 7);
  const unsigned hi = static_cast<unsigned>(end & 7);  // 0: up to the end of the byte
  if (first == last) {
    const unsigned top = hi == 0 ? 8 : hi;
    const unsigned mask = ((1u << top) - 1u) & ~((1u << lo) - 1u);
    return (bits[first] & mask) != 0;
  }
  if ((bits[first] >> lo) != 0) return true;
  const unsigned last_mask = hi == 0 ? 0xFFu : (1u << hi) - 1u;
  if ((bits[last] & last_mask) != 0) return true;
  std::uint64_t i = first + 1;
  for (; i + 8 <= last; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bits + i, sizeof word);
    if (word != 0) return true;
  }
  for (; i < last; ++i) {
    if (bits[i] != 0) return true;
  }
  return false;
}

}  // namespace

bool box_occupied(const VoxelGrid& grid, const Box& box) {
  if (box.dx == 0 || box.dy == 0 || box.dt == 0) return false;
  const std::uint8_t* bits = grid.bits.data();
  const std::uint64_t hp = grid.padded_height;
  const std::uint64_t tp = grid.padded_bins;
  // Runs of neighbouring cells are contiguous in the bitmap when the box spans
  // whole rows of bins (and whole columns): test them as one range, which gives
  // the same answer with far fewer calls on flat grids.
  if (box.t0 == 0 && box.dt == tp) {
    if (box.y0 == 0 && box.dy == hp) {
      return any_bit_set(bits, box.x0 * hp * tp, box.dx * hp * tp);
    }
    for (std::uint64_t x = box.x0; x < box.x0 + box.dx; ++x) {
      if (any_bit_set(bits, (x * hp + box.y0) * tp, box.dy * tp)) return true;
    }
    return false;
  }
  for (std::uint64_t x = box.x0; x < box.x0 + box.dx; ++x) {
    for (std::uint64_t y = box.y0; y < box.y0 + box.dy; ++y) {
      if (any_bit_set(bits, (x * hp + y) * tp + box.t0, box.dt)) return true;
    }
  }
  return false;
}

NodeKind build_node(const VoxelGrid& grid, const Box& box, std::uint8_t depth,
                    std::uint8_t max_depth) {
  if (!box_occupied(grid, box)) return NodeKind::kEmpty;
  return splittable(box.dx, box.dy, box.dt, depth, max_depth) ? NodeKind::kSplit
                                                              : NodeKind::kOccupied;
}

namespace {

// Occupancy of all nodes at one depth, one bit per node. With power-of-two
// padded sizes every node at a depth has the same box, so a node is named by
// its coordinates in units of that box: (x >> shift_x, y >> shift_y, t >> shift_t).
class DepthOccupancy {
 public:
  DepthOccupancy(unsigned count_bits_x, unsigned count_bits_y, unsigned count_bits_t,
                 unsigned shift_x, unsigned shift_y, unsigned shift_t)
      : shift_x_(shift_x),
        shift_y_(shift_y),
        shift_t_(shift_t),
        bits_y_(count_bits_y),
        bits_t_(count_bits_t) {
    // calloc'd like the grid: a huge, sparsely occupied map costs only the
    // pages that are marked or looked at.
    Result<ZeroedBytes> bytes = ZeroedBytes::allocate(
        ((std::uint64_t{1} << (count_bits_x + count_bits_y + count_bits_t)) + 7) / 8);
    if (!bytes.ok()) throw std::bad_alloc();
    bytes_ = std::move(bytes).value();
  }

  // Marks the node holding cell (x, y, t); false when it was marked already.
  bool mark_cell(std::uint64_t x, std::uint64_t y, std::uint64_t t) {
    const std::uint64_t i = index(x >> shift_x_, y >> shift_y_, t >> shift_t_);
    std::uint8_t& byte = bytes_.data()[i >> 3];
    const auto bit = static_cast<std::uint8_t>(1u << (i & 7));
    const bool fresh = (byte & bit) == 0;
    byte |= bit;
    return fresh;
  }
  bool test_node(std::uint64_t ix, std::uint64_t iy, std::uint64_t it) const {
    const std::uint64_t i = index(ix, iy, it);
    return (bytes_.data()[i >> 3] >> (i & 7)) & 1u;
  }

 private:
  std::uint64_t index(std::uint64_t ix, std::uint64_t iy, std::uint64_t it) const {
    return (ix << (bits_y_ + bits_t_)) | (iy << bits_t_) | it;
  }
  unsigned shift_x_, shift_y_, shift_t_, bits_y_, bits_t_;
  ZeroedBytes bytes_;
};

}  // namespace

// Same tree as applying build_node to every box breadth-first, but each
// box's occupancy is one bit lookup: the grid's set cells are first
// propagated into a per-depth occupancy map (finest depth first, stopping as
// soon as a node is already marked, so each node is marked once). This keeps
// the build linear in the occupied cells and the tree size, whatever the size
// of the bitmap, instead of rescanning it at every depth.
Octree build_octree(const VoxelGrid& grid, std::uint8_t max_depth) {
  Octree tree;
  tree.nodes.emplace_back();
  if (grid.occupied == 0) return tree;

  const unsigned lw = static_cast<unsigned>(std::countr_zero(grid.padded_width));
  const unsigned lh = static_cast<unsigned>(std::countr_zero(grid.padded_height));
  const unsigned lt = static_cast<unsigned>(std::countr_zero(grid.padded_bins));
  // At depth `single` every box is one cell; no node lies deeper than `deepest`,
  // and exactly the occupied nodes above it are split.
  const unsigned single = std::max({lw, lh, lt});
  const unsigned deepest = std::min<unsigned>(max_depth, single);
  if (deepest == 0) {
    tree.nodes[0].kind = NodeKind::kOccupied;
    return tree;
  }

  // Occupancy maps for depths 1 .. deepest; the grid itself serves at `single`.
  const unsigned mapped = deepest == single ? single - 1 : deepest;
  std::vector<DepthOccupancy> depths;
  depths.reserve(mapped);
  for (unsigned d = 1; d <= mapped; ++d) {
    const unsigned cx = std::min(d, lw), cy = std::min(d, lh), ct = std::min(d, lt);
    depths.emplace_back(cx, cy, ct, lw - cx, lh - cy, lt - ct);
  }
  // occupied_at[d]: occupied nodes at depth d, known once the maps are filled.
  std::vector<std::uint64_t> occupied_at(single + 1, 0);
  occupied_at[0] = 1;
  occupied_at[single] = grid.occupied;
  const std::uint64_t y_mask = grid.padded_height - 1;
  const std::uint64_t t_mask = grid.padded_bins - 1;
  for (const std::uint64_t v : grid.set_cells) {
    const std::uint64_t x = v >> (lh + lt), y = (v >> lt) & y_mask, t = v & t_mask;
    for (unsigned d = mapped; d >= 1 && depths[d - 1].mark_cell(x, y, t); --d) ++occupied_at[d];
  }
  auto occupied_node = [&](unsigned depth, std::uint64_t ix, std::uint64_t iy, std::uint64_t it) {
    if (depth == single) return grid.test((ix * grid.padded_height + iy) * grid.padded_bins + it);
    return depths[depth - 1].test_node(ix, iy, it);
  };

  // Number of children of a split node at depth d (which axes still halve).
  auto children_below = [&](unsigned d) {
    return static_cast<std::uint8_t>((lw > d ? 2 : 1) * (lh > d ? 2 : 1) * (lt > d ? 2 : 1));
  };
  // Every occupied node above `deepest` is split, so the arena size is known.
  std::uint64_t total = 1;
  for (unsigned d = 0; d < deepest; ++d) total += occupied_at[d] * children_below(d);
  tree.nodes.reserve(total);
  tree.nodes[0] = OctreeNode{NodeKind::kSplit, children_below(0)};

  // The split nodes of one depth, in arena order, by their box coordinates
  // (each below 2^16, since a padded size is at most 2^16).
  struct Pending {
    std::uint16_t ix, iy, it;
  };
  std::vector<Pending> current{{0, 0, 0}};
  std::vector<Pending> next;
  for (unsigned d = 0; d < deepest; ++d) {
    const bool sx = lw > d, sy = lh > d, st = lt > d;  // which axes halve below depth d
    const bool child_splits = d + 1 < deepest;
    const OctreeNode occupied_child = child_splits
                                          ? OctreeNode{NodeKind::kSplit, children_below(d + 1)}
                                          : OctreeNode{NodeKind::kOccupied, 0};
    next.clear();
    for (const Pending& parent : current) {
      for (unsigned jx = 0; jx <= unsigned{sx}; ++jx) {
        for (unsigned jy = 0; jy <= unsigned{sy}; ++jy) {
          for (unsigned jt = 0; jt <= unsigned{st}; ++jt) {
            const auto cx = static_cast<std::uint16_t>(sx ? parent.ix * 2 + jx : parent.ix);
            const auto cy = static_cast<std::uint16_t>(sy ? parent.iy * 2 + jy : parent.iy);
            const auto ct = static_cast<std::uint16_t>(st ? parent.it * 2 + jt : parent.it);
            if (occupied_node(d + 1, cx, cy, ct)) {
              tree.nodes.push_back(occupied_child);
              if (child_splits) next.push_back({cx, cy, ct});
            } else {
              tree.nodes.emplace_back();
            }
          }
        }
      }
    }
    current.swap(next);
  }
  return tree;
}

}  // namespace ovk
