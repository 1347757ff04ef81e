#include "codec/octree.h"

#include <cstring>
#include <deque>

namespace ovk {

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

Octree build_octree(const VoxelGrid& grid, std::uint8_t max_depth) {
  struct Pending {
    Box box;
    std::uint8_t depth;
  };
  Octree tree;
  tree.nodes.emplace_back();
  if (grid.occupied == 0) return tree;  // nothing set: box_occupied is false everywhere

  // Breadth-first: queue entry i always describes arena node i, because
  // children are appended to the arena and to the queue in the same order.
  std::deque<Pending> queue;
  queue.push_back({Box{0, 0, 0, grid.padded_width, grid.padded_height, grid.padded_bins}, 0});
  std::uint64_t index = 0;
  while (!queue.empty()) {
    const Pending cur = queue.front();
    queue.pop_front();
    const NodeKind kind = build_node(grid, cur.box, cur.depth, max_depth);
    OctreeNode& node = tree.nodes[index];
    node.kind = kind;
    if (kind == NodeKind::kSplit) {
      const AxisParts px = split_axis(cur.box.dx);
      const AxisParts py = split_axis(cur.box.dy);
      const AxisParts pt = split_axis(cur.box.dt);
      node.first_child = tree.nodes.size();
      node.n_children = static_cast<std::uint8_t>(px.count * py.count * pt.count);
      for (int ix = 0; ix < px.count; ++ix) {
        for (int iy = 0; iy < py.count; ++iy) {
          for (int it = 0; it < pt.count; ++it) {
            const Box child{cur.box.x0 + px.offset[ix],
                            cur.box.y0 + py.offset[iy],
                            cur.box.t0 + pt.offset[it],
                            px.size[ix],
                            py.size[iy],
                            pt.size[it]};
            queue.push_back({child, static_cast<std::uint8_t>(cur.depth + 1)});
          }
        }
      }
      tree.nodes.resize(tree.nodes.size() + tree.nodes[index].n_children);
    }
    ++index;
  }
  return tree;
}

}  // namespace ovk
