#include "codec/voxel_grid.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ovk {

std::uint64_t next_power_of_two(std::uint64_t n) noexcept {
  std::uint64_t p = 1;
  while (p < n) p <<= 1;
  return p;
}

Result<ZeroedBytes> ZeroedBytes::allocate(std::uint64_t size) {
  ZeroedBytes out;
  if (size == 0) return out;
  if (size > std::numeric_limits<std::size_t>::max()) return Error::out_of_memory();
  void* p = std::calloc(static_cast<std::size_t>(size), 1);
  if (p == nullptr) return Error::out_of_memory();
  out.data_.reset(static_cast<std::uint8_t*>(p));
  out.size_ = size;
  return out;
}

double VoxelGrid::sparsity() const noexcept {
  return 1.0 - static_cast<double>(occupied) / static_cast<double>(cell_count());
}

std::uint64_t saturating_double_to_u64(double value) noexcept {
  if (!(value > 0.0)) return 0;  // negative, zero and NaN
  // 2^64 is exactly representable; anything at or above it saturates.
  if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

std::uint64_t time_bin(std::uint32_t t, std::uint32_t tmin, std::uint32_t range,
                       std::uint16_t time_bins) noexcept {
  // Division first, then the multiplication: the order fixes the rounding.
  const double q =
      static_cast<double>(static_cast<std::uint32_t>(t - tmin)) / static_cast<double>(range);
  const double u = (static_cast<double>(time_bins) - 1.0) * q;
  return saturating_double_to_u64(u);
}

Result<VoxelGrid> build_voxel_grid(EventSpan events, std::uint16_t width, std::uint16_t height,
                                   std::uint16_t time_bins) {
  VoxelGrid grid;
  grid.padded_width = next_power_of_two(width);
  grid.padded_height = next_power_of_two(height);
  grid.padded_bins = next_power_of_two(time_bins);
  // Each padded size is at most 2^16, so the cell count fits in 48 bits.
  OVK_ASSIGN_OR_RETURN(grid.bits, ZeroedBytes::allocate((grid.cell_count() + 7) / 8));
  if (events.empty()) return grid;

  std::uint32_t tmin = events.front().t;
  std::uint32_t tmax = tmin;
  for (const Event& e : events) {
    tmin = std::min(tmin, e.t);
    tmax = std::max(tmax, e.t);
  }
  const std::uint32_t span = tmax - tmin;
  const std::uint32_t range = span > 1 ? span : 1;

  const std::uint64_t wp = grid.padded_width;
  const std::uint64_t hp = grid.padded_height;
  const std::uint64_t tp = grid.padded_bins;
  std::uint8_t* const bits = grid.bits.data();
  // At most one new cell per event. Every index is written and the count
  // advances only for fresh cells, which avoids a hard-to-predict branch.
  std::vector<std::uint64_t>& cells = grid.set_cells;
  cells.resize(std::min<std::uint64_t>(events.size(), grid.cell_count()));
  std::size_t n = 0;
  for (const Event& e : events) {
    const std::uint64_t bin =
        std::min<std::uint64_t>(time_bin(e.t, tmin, range, time_bins), tp - 1);
    const std::uint64_t xc = std::min<std::uint64_t>(e.x, wp - 1);
    const std::uint64_t yc = std::min<std::uint64_t>(e.y, hp - 1);
    const std::uint64_t v = (xc * hp + yc) * tp + bin;
    const std::uint8_t mask = static_cast<std::uint8_t>(1u << (v & 7));
    std::uint8_t& byte = bits[v >> 3];
    const bool fresh = (byte & mask) == 0;
    byte |= mask;
    if (n < cells.size()) cells[n] = v;
    n += fresh;
  }
  cells.resize(n);
  grid.occupied = grid.set_cells.size();
  return grid;
}

}  // namespace ovk
