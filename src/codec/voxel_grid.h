// Occupancy grid over (x, y, time bin), each dimension padded to a power of
// two. The padded sizes become the root box of the occupancy tree.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "codec/event.h"
#include "codec/result.h"

namespace ovk {

// Smallest power of two >= n; 1 for n = 0 and n = 1.
std::uint64_t next_power_of_two(std::uint64_t n) noexcept;

// Owned, zero-filled byte buffer. Allocated with calloc so that a huge,
// mostly empty bitmap costs only the pages that are actually written.
class ZeroedBytes {
 public:
  ZeroedBytes() = default;
  // Fails with kOutOfMemory when calloc cannot provide the bytes.
  static Result<ZeroedBytes> allocate(std::uint64_t size);

  std::uint8_t* data() noexcept { return data_.get(); }
  const std::uint8_t* data() const noexcept { return data_.get(); }
  std::uint64_t size() const noexcept { return size_; }

 private:
  struct FreeDeleter {
    void operator()(std::uint8_t* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<std::uint8_t[], FreeDeleter> data_;
  std::uint64_t size_ = 0;
};

// Invariant: occupied == set_cells.size() == the number of one bits.
// Cell (x, y, b) has index v = (x * Hp + y) * Tp + b: the bins of one pixel
// form a contiguous run. Bit v lives in byte v / 8 under mask 1 << (v % 8)
// (least significant bit first, unlike the packed tree bits).
struct VoxelGrid {
  ZeroedBytes bits;                 // (Wp * Hp * Tp + 7) / 8 bytes
  std::uint64_t padded_width = 1;   // Wp
  std::uint64_t padded_height = 1;  // Hp
  std::uint64_t padded_bins = 1;    // Tp
  std::uint64_t occupied = 0;       // number of set bits
  // Index v of every set bit, in the order the bits were set (occupied
  // entries). Lets the tree be built without scanning a huge, sparse bitmap.
  std::vector<std::uint64_t> set_cells;

  std::uint64_t cell_count() const noexcept { return padded_width * padded_height * padded_bins; }
  bool test(std::uint64_t v) const noexcept { return (bits.data()[v >> 3] >> (v & 7)) & 1u; }
  // 1 - occupied / cells, in double precision.
  double sparsity() const noexcept;
};

// Bins the events by normalised timestamp (time_bins - 1 intervals over the
// recording's own time range) and clamps coordinates to the padded sizes.
// Fails only with kOutOfMemory when the bitmap cannot be allocated (it can
// reach 2^45 bytes for 65535 x 65535 x 65535).
Result<VoxelGrid> build_voxel_grid(EventSpan events, std::uint16_t width, std::uint16_t height,
                                   std::uint16_t time_bins);

// The time bin build_voxel_grid gives a timestamp, before the clamp to Tp - 1.
// Exposed for tests.
std::uint64_t time_bin(std::uint32_t t, std::uint32_t tmin, std::uint32_t range,
                       std::uint16_t time_bins) noexcept;

// Truncates toward zero; negative and NaN give 0, values beyond the range of
// uint64 give its maximum (a plain cast would be undefined there).
std::uint64_t saturating_double_to_u64(double value) noexcept;

}  // namespace ovk
