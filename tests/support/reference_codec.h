// A deliberately simple model of the occupancy codec's encode half, kept as
// the reference that the real, sparse encoder is checked against byte for
// byte: cells binned exactly as the format prescribes and kept in a set, the
// tree built depth first by recursion over boxes (each box's occupancy
// decided by looking at every cell passed down to it), then serialised
// breadth first through a queue. It never sorts keys or skips levels, and it
// stores no volume, so it also runs on the largest geometries with a
// handful of events.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <limits>
#include <set>
#include <vector>

#include "codec/event.h"
#include "codec/tree_bits.h"

namespace ovk::reference {

using Cell = std::array<std::uint64_t, 3>;  // x, y, time bin

struct Grid {
  std::uint64_t wp = 1, hp = 1, tp = 1;
  std::set<Cell> cells;
  double sparsity() const {
    return 1.0 - static_cast<double>(cells.size()) / static_cast<double>(wp * hp * tp);
  }
};

inline std::uint64_t padded(std::uint64_t n) {
  std::uint64_t p = 1;
  while (p < n) p *= 2;
  return p;
}

// Time bin k holds the events with k <= (time_bins - 1) * (t - tmin) / range
// < k + 1, range = max(tmax - tmin, 1): division first, then multiplication,
// in double; truncation with negative and NaN giving 0 (the clamp to the
// padded bins is the caller's).
inline std::uint64_t time_bin(std::uint32_t t, std::uint32_t tmin, std::uint32_t range,
                              std::uint16_t time_bins) {
  const double q = static_cast<double>(static_cast<std::uint32_t>(t - tmin)) / range;
  const double u = (static_cast<double>(time_bins) - 1.0) * q;
  return u > 0.0 ? static_cast<std::uint64_t>(u) : 0;
}

// The occupied cells: time bins as above, coordinates and bins clamped to the
// padded sizes.
inline Grid grid_of(EventSpan events, std::uint16_t width, std::uint16_t height,
                    std::uint16_t time_bins) {
  Grid g{padded(width), padded(height), padded(time_bins), {}};
  if (events.empty()) return g;
  std::uint32_t tmin = std::numeric_limits<std::uint32_t>::max(), tmax = 0;
  for (const Event& e : events) {
    tmin = e.t < tmin ? e.t : tmin;
    tmax = e.t > tmax ? e.t : tmax;
  }
  const std::uint32_t range = tmax - tmin > 1 ? tmax - tmin : 1;
  for (const Event& e : events) {
    std::uint64_t bin = time_bin(e.t, tmin, range, time_bins);
    bin = bin < g.tp - 1 ? bin : g.tp - 1;
    const std::uint64_t x = e.x < g.wp - 1 ? e.x : g.wp - 1;
    const std::uint64_t y = e.y < g.hp - 1 ? e.y : g.hp - 1;
    g.cells.insert({x, y, bin});
  }
  return g;
}

struct Node {
  int kind = 0;  // 0 empty, 1 occupied, 2 split
  std::vector<Node> children;
};

// The box (origin o, size s) at `depth`, given the cells that may lie in it.
inline Node build(const std::vector<Cell>& candidates, Cell o, Cell s, int depth, int max_depth) {
  std::vector<Cell> inside;
  for (const Cell& c : candidates) {
    bool in = true;
    for (int a = 0; a < 3; ++a) in = in && c[a] >= o[a] && c[a] < o[a] + s[a];
    if (in) inside.push_back(c);
  }
  Node node;
  if (inside.empty()) return node;
  if (depth >= max_depth || (s[0] == 1 && s[1] == 1 && s[2] == 1)) {
    node.kind = 1;
    return node;
  }
  node.kind = 2;
  // Halves of each axis (one part when the size is 1); x outermost, t innermost.
  std::array<std::vector<std::array<std::uint64_t, 2>>, 3> parts;
  for (int a = 0; a < 3; ++a) {
    if (s[a] >= 2) {
      parts[a] = {{o[a], s[a] / 2}, {o[a] + s[a] / 2, s[a] - s[a] / 2}};
    } else {
      parts[a] = {{o[a], 1}};
    }
  }
  for (const auto& px : parts[0])
    for (const auto& py : parts[1])
      for (const auto& pt : parts[2])
        node.children.push_back(build(inside, {px[0], py[0], pt[0]}, {px[1], py[1], pt[1]},
                                      depth + 1, max_depth));
  return node;
}

inline PackedBits breadth_first_bits(const Node& root) {
  std::vector<bool> bits;
  std::deque<const Node*> queue{&root};
  while (!queue.empty()) {
    const Node* n = queue.front();
    queue.pop_front();
    bits.push_back(n->kind != 0);
    for (const Node& c : n->children) queue.push_back(&c);
  }
  PackedBits out;
  out.bit_count = bits.size();
  out.bytes.assign((bits.size() + 7) / 8, 0);
  for (std::size_t i = 0; i < bits.size(); ++i)
    if (bits[i]) out.bytes[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
  return out;
}

inline PackedBits tree_bits(const Grid& g, std::uint8_t max_depth) {
  const std::vector<Cell> all(g.cells.begin(), g.cells.end());
  return breadth_first_bits(build(all, {0, 0, 0}, {g.wp, g.hp, g.tp}, 0, max_depth));
}

struct Code {
  PackedBits bits;
  double sparsity = 1.0;
};

inline Code encode(EventSpan events, std::uint16_t width, std::uint16_t height,
                   std::uint16_t time_bins, std::uint8_t max_depth) {
  const Grid g = grid_of(events, width, height, time_bins);
  return Code{tree_bits(g, max_depth), g.sparsity()};
}

}  // namespace ovk::reference
