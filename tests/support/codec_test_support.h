// Helpers shared by the codec tests: trees of hand-picked cells, a readable
// rendering of trees, and a seeded event generator.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "codec/event.h"
#include "codec/octree.h"
#include "codec/tree_bits.h"
#include "codec/voxel_grid.h"
#include "byte_values.h"
#include "codec_shortcuts.h"

namespace ovk::testing_support {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif
#else
constexpr bool kUnderSanitizer = false;
#endif

// Runs `body` in a child process whose address space is capped at
// `limit_bytes` (the sanitizer's shadow memory cannot live under a cap, so
// there the cap is left out); true when the body returned true.
inline bool passes_under_address_limit(std::uint64_t limit_bytes, const std::function<bool()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (!kUnderSanitizer) {
      const rlimit cap{limit_bytes, limit_bytes};
      if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(3);
    }
    bool ok = false;
    try {
      ok = body();
    } catch (...) {
      _exit(4);
    }
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}


// The production encode half up to the packed tree bits.
inline PackedBits encode_bits(EventSpan events, std::uint16_t width, std::uint16_t height,
                              std::uint16_t time_bins, std::uint8_t max_depth) {
  const GridGeometry geometry(width, height, time_bins);
  const std::vector<std::uint64_t> keys = occupied_cell_keys(events, geometry, time_bins).value();
  return encode_tree_bits(keys, geometry, max_depth).value();
}

// The grid whose padded sizes are wp x hp x tp (powers of two, at most 2^16).
inline GridGeometry padded_grid(std::uint64_t wp, std::uint64_t hp, std::uint64_t tp) {
  auto side = [](std::uint64_t p) { return static_cast<std::uint16_t>(p < 65535 ? p : 65535); };
  return GridGeometry(side(wp), side(hp), side(tp));
}

struct Cell {
  std::uint64_t x, y, t;
};
// Tree bits of the listed cells, through the production encoder.
inline PackedBits bits_of_cells(std::uint64_t wp, std::uint64_t hp, std::uint64_t tp,
                                const std::vector<Cell>& cells, std::uint8_t max_depth) {
  const GridGeometry geometry = padded_grid(wp, hp, tp);
  std::vector<std::uint64_t> keys;
  for (const Cell& c : cells) keys.push_back(geometry.key(c.x, c.y, c.t));
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return encode_tree_bits(keys, geometry, max_depth).value();
}

// The production reader over padded sizes given directly.
inline Octree decode_tree(std::span<const std::uint8_t> bytes, std::uint64_t bit_count,
                          std::uint64_t wp, std::uint64_t hp, std::uint64_t tp,
                          std::uint8_t max_depth) {
  Octree tree;
  decode_tree_into(bytes, bit_count, TreeLevels(padded_grid(wp, hp, tp), max_depth), tree);
  return tree;
}

// The decoded tree of the listed cells.
inline Octree tree_of_cells(std::uint64_t wp, std::uint64_t hp, std::uint64_t tp,
                            const std::vector<Cell>& cells, std::uint8_t max_depth) {
  const PackedBits bits = bits_of_cells(wp, hp, tp, cells, max_depth);
  return decode_tree(bits.bytes, bits.bit_count, wp, hp, tp, max_depth);
}

// Arena index of the first child of every node.
inline std::vector<std::uint64_t> first_children(const Octree& tree) {
  std::vector<std::uint64_t> first(tree.nodes.size());
  std::uint64_t next = 1;
  for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
    first[i] = next;
    next += tree.nodes[i].n_children;
  }
  return first;
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
inline std::string render(const Octree& tree) { return render(tree, first_children(tree), 0); }

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
