// Ideal adaptive code lengths: per context, counts of the 0s and 1s seen,
// each bit priced at -log2 of its estimate ((count + 1/2) / (seen + 1))
// before it is counted.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ovk::bench {

struct AdaptiveCounts {
  std::vector<std::uint32_t> n0, n1;
  double bits = 0;
  explicit AdaptiveCounts(std::size_t contexts) : n0(contexts, 0), n1(contexts, 0) {}
  void add(std::size_t c, bool b) {
    const double p = ((b ? n1[c] : n0[c]) + 0.5) / (n0[c] + n1[c] + 1.0);
    bits -= std::log2(p);
    ++(b ? n1[c] : n0[c]);
  }
  // Forgets the counts (not the bits).
  void restart() {
    std::fill(n0.begin(), n0.end(), 0);
    std::fill(n1.begin(), n1.end(), 0);
  }
};

}  // namespace ovk::bench
