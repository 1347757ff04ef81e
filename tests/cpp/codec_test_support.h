// Helpers shared by the codec tests: hand-made grids, a readable rendering
// of trees, and a seeded event generator.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "codec/event.h"
#include "codec/octree.h"
#include "codec/voxel_grid.h"

namespace ovk::testing_support {

struct Cell {
  std::uint64_t x, y, t;
};

// A grid of the given (already power-of-two) sizes with the listed cells set.
inline VoxelGrid grid_with(std::uint64_t wp, std::uint64_t hp, std::uint64_t tp,
                           const std::vector<Cell>& cells) {
  VoxelGrid g;
  g.padded_width = wp;
  g.padded_height = hp;
  g.padded_bins = tp;
  g.bits = ZeroedBytes::allocate((wp * hp * tp + 7) / 8).value();
  for (const Cell& c : cells) {
    const std::uint64_t v = (c.x * hp + c.y) * tp + c.t;
    if (!g.test(v)) {
      ++g.occupied;
      g.set_cells.push_back(v);
    }
    g.bits.data()[v >> 3] |= static_cast<std::uint8_t>(1u << (v & 7));
  }
  return g;
}

// "E", "O", or "S[child,child,...]".
inline std::string render(const Octree& tree, const std::vector<std::uint64_t>& first,
                          std::uint64_t index) {
  const OctreeNode& node = tree.nodes[index];
  switch (node.kind) {
    case NodeKind::kEmpty:
      return "E";
    case NodeKind::kOccupied:
      return "O";
    case NodeKind::kSplit: {
      std::string s = "S[";
      for (std::uint64_t c = 0; c < node.n_children; ++c) {
        if (c > 0) s += ",";
        s += render(tree, first, first[index] + c);
      }
      return s + "]";
    }
  }
  return "?";
}
inline std::string render(const Octree& tree) { return render(tree, tree.first_children(), 0); }

inline std::vector<std::uint8_t> bytes_of(std::initializer_list<int> values) {
  std::vector<std::uint8_t> out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

inline EventVec random_events(std::mt19937_64& rng, std::size_t n, std::uint16_t max_x,
                              std::uint16_t max_y, std::uint32_t max_t) {
  EventVec events(n);
  for (Event& e : events) {
    e.x = static_cast<std::uint16_t>(rng() % (max_x + 1u));
    e.y = static_cast<std::uint16_t>(rng() % (max_y + 1u));
    e.t = static_cast<std::uint32_t>(rng() % (std::uint64_t{max_t} + 1));
    e.p = static_cast<std::uint8_t>(rng() & 1);
  }
  return events;
}

}  // namespace ovk::testing_support
