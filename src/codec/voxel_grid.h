// The occupancy grid over (x, y, time bin), each dimension padded to a power
// of two, held sparsely: as the sorted, distinct keys of the occupied cells.
//
// A cell's key spells out the path from the root of the occupancy tree down
// to the cell: level by level, from the root, the halving bit of x, then of
// y, then of t, where an axis that no longer halves at a level contributes
// no bit there. Sorting keys therefore sorts cells into the tree's child
// order at every level, and the distinct key prefixes of one length are the
// occupied nodes of one depth, in breadth-first order. Nothing here costs
// more than the events and the keys: the volume Wp x Hp x Tp is never
// allocated or scanned.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "codec/event.h"
#include "codec/result.h"

namespace ovk {

// Smallest power of two >= n; 1 for n = 0 and n = 1.
std::uint64_t next_power_of_two(std::uint64_t n) noexcept;

// Truncates toward zero; negative and NaN give 0, values beyond the range of
// uint64 give its maximum (a plain cast would be undefined there).
std::uint64_t saturating_double_to_u64(double value) noexcept;

// A recording's own time range, for normalising timestamps: tmin and
// range = max(tmax - tmin, 1) over the events (unsigned comparisons).
class TimeScale {
 public:
  explicit TimeScale(EventSpan events) noexcept;
  // The scale of a recording whose smallest and largest timestamps are known.
  TimeScale(std::uint32_t tmin, std::uint32_t tmax) noexcept
      : tmin_(tmin), range_(static_cast<double>(tmax - tmin > 1 ? tmax - tmin : 1)) {}
  // floor(factor * ((t - tmin) / range)), saturating: the division first,
  // then the multiplication, both in double (the order fixes the rounding).
  std::uint64_t scaled(std::uint32_t t, double factor) const noexcept {
    return saturating_double_to_u64(factor * fraction(t));
  }
  // scaled(t, factor) for -1 <= factor < 2^31 (time_bins - 1), without the
  // saturating branches: the product then lies in [-1, factor], so a clamp
  // at 0 and a 32-bit truncation give the same value, branch-free.
  std::uint32_t small_scaled(std::uint32_t t, double factor) const noexcept {
    const double u = std::max(factor * fraction(t), 0.0);
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(u));
  }

 private:
  // (t - tmin) / range, the difference taken in 32 bits.
  double fraction(std::uint32_t t) const noexcept {
    return static_cast<double>(static_cast<std::uint32_t>(t - tmin_)) / range_;
  }

  std::uint32_t tmin_ = 0;
  double range_ = 1.0;
};

// Padded sizes 2^log_width x 2^log_height x 2^log_bins, and the layout of
// cell keys over them.
class GridGeometry {
 public:
  GridGeometry(std::uint16_t width, std::uint16_t height, std::uint16_t time_bins) noexcept;

  std::uint64_t padded_width() const noexcept { return std::uint64_t{1} << log_[0]; }
  std::uint64_t padded_height() const noexcept { return std::uint64_t{1} << log_[1]; }
  std::uint64_t padded_bins() const noexcept { return std::uint64_t{1} << log_[2]; }
  // Wp * Hp * Tp (at most 2^48).
  std::uint64_t cell_count() const noexcept { return std::uint64_t{1} << key_bits(); }
  // 1 - occupied / cell_count, in double precision.
  double sparsity(std::uint64_t occupied) const noexcept;

  // Bits of a full cell key (log2 of the cell count, at most 48).
  unsigned key_bits() const noexcept { return log_[0] + log_[1] + log_[2]; }
  // Depth at which every box is a single cell: no node lies deeper.
  unsigned single_cell_depth() const noexcept;
  // Number of axes that halve when a node at `depth` splits (0 to 3).
  unsigned axes_halving_at(unsigned depth) const noexcept {
    return unsigned{log_[0] > depth} + unsigned{log_[1] > depth} + unsigned{log_[2] > depth};
  }
  // Key bits below the prefix that names a node at `depth` (the prefix is
  // key >> prefix_shift(depth)); 0 at the single-cell depth and below.
  unsigned prefix_shift(unsigned depth) const noexcept;

  // Key of the cell (x, y, bin); each coordinate must be inside the padded size.
  std::uint64_t key(std::uint64_t x, std::uint64_t y, std::uint64_t bin) const noexcept;

 private:
  std::array<unsigned, 3> log_;
};

// Turns events into the sorted, distinct keys of the cells they occupy:
// events are binned by normalised timestamp (time_bins - 1 intervals over the
// recording's own time range) and their coordinates clamped to the padded
// sizes. The number of keys is the number of occupied cells. Made once per
// geometry (it holds 12 KiB of lookup tables) and used for any number of
// recordings or frames.
class CellKeyer {
 public:
  CellKeyer(const GridGeometry& geometry, std::uint16_t time_bins);

  // The keys of `events` into `keys`, whose buffer is reused (for frame
  // after frame). Fails only with kOutOfMemory.
  Status occupied_into(EventSpan events, std::vector<std::uint64_t>& keys) const;

  // Key of the cell of `e` when its recording (or frame) has time scale `scale`.
  std::uint64_t event_key(const Event& e, const TimeScale& scale) const noexcept {
    return key(e.x, e.y, scale.small_scaled(e.t, bin_factor_));
  }

  const GridGeometry& geometry() const noexcept { return geometry_; }

 private:
  // Key of the cell of an event at pixel (x, y) in time bin `bin` (before
  // the clamps).
  std::uint64_t key(std::uint64_t x, std::uint64_t y, std::uint64_t bin) const noexcept {
    x = std::min(x, geometry_.padded_width() - 1);
    y = std::min(y, geometry_.padded_height() - 1);
    bin = std::min(bin, geometry_.padded_bins() - 1);
    const std::uint64_t* t = spread_.data();
    return t[x & 0xFF] | t[256 + (x >> 8)] | t[512 + (y & 0xFF)] | t[768 + (y >> 8)] |
           t[1024 + (bin & 0xFF)] | t[1280 + (bin >> 8)];
  }

  const GridGeometry geometry_;
  const double bin_factor_;  // time_bins - 1
  // Key bits of each byte of each coordinate, spread to their places:
  // 256 entries for the low and the high byte of x, then y, then the bin.
  std::vector<std::uint64_t> spread_;
};

namespace detail {
// The two ways CellKeyer turns the events' keys (in any order, with repeats)
// into sorted distinct keys: a radix sort followed by unique, and, for small
// grids, a bitmap of the whole key space read back in order. Exposed so that
// tests can check them against each other.
void sort_unique_by_radix(std::vector<std::uint64_t>& keys, unsigned key_bits);
// One bit per possible key, read back in order.
class KeyBitmap {
 public:
  explicit KeyBitmap(unsigned key_bits);
  void set(std::uint64_t key) noexcept { words_[key >> 6] |= std::uint64_t{1} << (key & 63); }
  // The keys set, in order; `most` bounds their number (the keys set, with repeats).
  std::vector<std::uint64_t> sorted_keys(std::size_t most) const;

 private:
  std::vector<std::uint64_t> words_;
};
// Whether CellKeyer takes the bitmap for this many events.
bool prefers_bitmap(std::uint64_t n_keys, unsigned key_bits) noexcept;
}  // namespace detail

}  // namespace ovk
