#include "codec/voxel_grid.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <utility>

namespace ovk {

std::uint64_t next_power_of_two(std::uint64_t n) noexcept {
  std::uint64_t p = 1;
  while (p < n) p <<= 1;
  return p;
}

std::uint64_t saturating_double_to_u64(double value) noexcept {
  if (!(value > 0.0)) return 0;  // negative, zero and NaN
  // 2^64 is exactly representable; anything at or above it saturates.
  if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

TimeScale::TimeScale(EventSpan events) noexcept {
  if (events.empty()) return;
  // Four independent lanes, so the compares do not wait on each other.
  constexpr std::size_t kLanes = 4;
  std::uint32_t lo[kLanes], hi[kLanes];
  std::fill(lo, lo + kLanes, events.front().t);
  std::fill(hi, hi + kLanes, events.front().t);
  std::size_t i = 0;
  for (; i + kLanes <= events.size(); i += kLanes) {
    for (std::size_t k = 0; k < kLanes; ++k) {
      lo[k] = std::min(lo[k], events[i + k].t);
      hi[k] = std::max(hi[k], events[i + k].t);
    }
  }
  for (; i < events.size(); ++i) {
    lo[0] = std::min(lo[0], events[i].t);
    hi[0] = std::max(hi[0], events[i].t);
  }
  *this = TimeScale(*std::min_element(lo, lo + kLanes), *std::max_element(hi, hi + kLanes));
}

GridGeometry::GridGeometry(std::uint16_t width, std::uint16_t height,
                           std::uint16_t time_bins) noexcept
    : log_{static_cast<unsigned>(std::countr_zero(next_power_of_two(width))),
           static_cast<unsigned>(std::countr_zero(next_power_of_two(height))),
           static_cast<unsigned>(std::countr_zero(next_power_of_two(time_bins)))} {}

double GridGeometry::sparsity(std::uint64_t occupied) const noexcept {
  return 1.0 - static_cast<double>(occupied) / static_cast<double>(cell_count());
}

unsigned GridGeometry::single_cell_depth() const noexcept {
  return std::max({log_[0], log_[1], log_[2]});
}

unsigned GridGeometry::prefix_shift(unsigned depth) const noexcept {
  unsigned shift = key_bits();
  for (unsigned d = 0; d < depth && d < single_cell_depth(); ++d) shift -= axes_halving_at(d);
  return shift;
}

std::uint64_t GridGeometry::key(std::uint64_t x, std::uint64_t y,
                                std::uint64_t bin) const noexcept {
  const std::uint64_t coordinate[3] = {x, y, bin};
  std::uint64_t key = 0;
  for (unsigned d = 0; d < single_cell_depth(); ++d) {
    for (unsigned axis = 0; axis < 3; ++axis) {
      if (log_[axis] > d) key = (key << 1) | ((coordinate[axis] >> (log_[axis] - 1 - d)) & 1u);
    }
  }
  return key;
}

namespace {

constexpr unsigned kRadixBits = 8;
constexpr std::size_t kRadixBuckets = std::size_t{1} << kRadixBits;
// Below this many keys a comparison sort beats the radix passes' fixed cost.
constexpr std::size_t kSmallSort = 256;

}  // namespace

namespace detail {

// Least significant digit first; a pass whose digit is the same for every
// key is skipped. All digit histograms come from one read of the keys.
void sort_unique_by_radix(std::vector<std::uint64_t>& keys, unsigned key_bits) {
  if (keys.size() < kSmallSort) {
    std::sort(keys.begin(), keys.end());
  } else {
    const unsigned passes = (key_bits + kRadixBits - 1) / kRadixBits;
    std::vector<std::size_t> counts(passes * kRadixBuckets, 0);
    for (const std::uint64_t k : keys) {
      for (unsigned p = 0; p < passes; ++p)
        ++counts[p * kRadixBuckets + ((k >> (p * kRadixBits)) & (kRadixBuckets - 1))];
    }
    std::vector<std::uint64_t> scratch(keys.size());
    for (unsigned p = 0; p < passes; ++p) {
      std::size_t* count = &counts[p * kRadixBuckets];
      if (std::find(count, count + kRadixBuckets, keys.size()) != count + kRadixBuckets) continue;
      std::size_t sum = 0;
      for (std::size_t b = 0; b < kRadixBuckets; ++b) sum += std::exchange(count[b], sum);
      for (const std::uint64_t k : keys)
        scratch[count[(k >> (p * kRadixBits)) & (kRadixBuckets - 1)]++] = k;
      keys.swap(scratch);
    }
  }
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
}

KeyBitmap::KeyBitmap(unsigned key_bits) : words_(((std::uint64_t{1} << key_bits) + 63) / 64, 0) {}

std::vector<std::uint64_t> KeyBitmap::sorted_keys(std::size_t most) const {
  std::vector<std::uint64_t> keys;
  keys.reserve(most);  // only the pages actually filled are touched
  for (std::size_t w = 0; w < words_.size(); ++w) {
    for (std::uint64_t bits = words_[w]; bits != 0; bits &= bits - 1)
      keys.push_back(w * 64 + static_cast<unsigned>(std::countr_zero(bits)));
  }
  return keys;
}

// The bitmap costs one bit per cell; worth it while its words are few next
// to the keys that a radix sort would move several times.
bool prefers_bitmap(std::uint64_t n_keys, unsigned key_bits) noexcept {
  constexpr unsigned kMaxBitmapKeyBits = 30;  // 128 MiB of bitmap at most
  return key_bits <= kMaxBitmapKeyBits && (std::uint64_t{1} << key_bits) / 64 <= 2 * n_keys;
}

}  // namespace detail

CellKeyer::CellKeyer(const GridGeometry& geometry, std::uint16_t time_bins)
    : geometry_(geometry),
      bin_factor_(static_cast<double>(time_bins) - 1.0),
      spread_(6 * 256, 0) {
  const std::uint64_t padded[3] = {geometry.padded_width(), geometry.padded_height(),
                                   geometry.padded_bins()};
  for (unsigned axis = 0; axis < 3; ++axis) {
    for (unsigned bit = 0; bit < 16 && (std::uint64_t{1} << bit) < padded[axis]; ++bit) {
      std::uint64_t unit[3] = {0, 0, 0};
      unit[axis] = std::uint64_t{1} << bit;
      const std::uint64_t spread = geometry.key(unit[0], unit[1], unit[2]);
      std::uint64_t* table = &spread_[(2 * axis + bit / 8) * 256];
      for (unsigned byte = 0; byte < 256; ++byte) {
        if ((byte >> (bit % 8)) & 1u) table[byte] |= spread;
      }
    }
  }
}

Status CellKeyer::occupied_into(EventSpan events, std::vector<std::uint64_t>& keys) const {
  return catching_out_of_memory([&]() -> Status {
    const TimeScale scale(events);
    auto key_of = [&](const Event& e) { return event_key(e, scale); };
    if (detail::prefers_bitmap(events.size(), geometry_.key_bits())) {
      // Straight into the bitmap: the keys of all events are never stored.
      detail::KeyBitmap bitmap(geometry_.key_bits());
      for (const Event& e : events) bitmap.set(key_of(e));
      keys = bitmap.sorted_keys(events.size());
      return Ok{};
    }
    keys.resize(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) keys[i] = key_of(events[i]);
    detail::sort_unique_by_radix(keys, geometry_.key_bits());
    return Ok{};
  });
}

}  // namespace ovk
