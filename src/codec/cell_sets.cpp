#include "codec/cell_sets.h"

#include <algorithm>
#include <bit>
#include <iterator>
#include <limits>
#include <utility>

namespace ovk {

FrameTimeRanges::FrameTimeRanges(const FrameSplit& split)
    : split_(split),
      lo_(split.frames(), std::numeric_limits<std::uint32_t>::max()),
      hi_(split.frames(), 0) {}

void FrameTimeRanges::add(EventSpan events) noexcept {
  for (const Event& e : events) {
    const std::uint64_t f = split_.frame_of(e.t);
    lo_[f] = std::min(lo_[f], e.t);
    hi_[f] = std::max(hi_[f], e.t);
  }
}

std::vector<TimeScale> FrameTimeRanges::scales() const {
  std::vector<TimeScale> out(lo_.size(), TimeScale(0, 0));
  for (std::size_t k = 0; k < lo_.size(); ++k) {
    if (lo_[k] <= hi_[k]) out[k] = TimeScale(lo_[k], hi_[k]);
  }
  return out;
}

DistinctKeys::DistinctKeys(unsigned key_bits, std::uint64_t expected) : key_bits_(key_bits) {
  if (key_bits <= kMaxBitmapKeyBits && detail::prefers_bitmap(expected, key_bits))
    bitmap_.emplace(key_bits);
}

void DistinctKeys::merge() {
  detail::sort_unique_by_radix(pending_, key_bits_);
  std::vector<std::uint64_t> merged;
  merged.reserve(keys_.size() + pending_.size());
  std::set_union(keys_.begin(), keys_.end(), pending_.begin(), pending_.end(),
                 std::back_inserter(merged));
  keys_.swap(merged);
  pending_.clear();
}

std::vector<std::uint64_t> DistinctKeys::take() {
  if (bitmap_) {
    std::vector<std::uint64_t> keys = bitmap_->sorted_keys(0);
    bitmap_.reset();
    return keys;
  }
  if (!pending_.empty()) merge();
  pending_ = std::vector<std::uint64_t>();
  return std::exchange(keys_, {});
}

std::uint64_t frames_per_pass(unsigned key_bits) noexcept {
  return key_bits >= 64 ? 1 : std::uint64_t{1} << std::min(64U - key_bits, 63U);
}

CellGatherer::CellGatherer(const CellKeyer& keyer, const FrameSplit& split,
                           std::span<const TimeScale> scales, std::uint64_t first,
                           std::uint64_t count, std::uint64_t n_events)
    : keyer_(keyer),
      split_(split),
      scales_(scales),
      first_(first),
      count_(count),
      key_bits_(keyer.geometry().key_bits()),
      keys_(key_bits_ + static_cast<unsigned>(std::bit_width(count - 1)), n_events) {}

void CellGatherer::add(EventSpan events) {
  for (const Event& e : events) {
    const std::uint64_t f = split_.frame_of(e.t);
    if (f - first_ >= count_) continue;  // another pass's frame (below first_ wraps)
    keys_.add(((f - first_) << key_bits_) | keyer_.event_key(e, scales_[f]));
  }
}

void CellGatherer::take_into(FrameCells& cells) {
  std::vector<std::uint64_t> keys = keys_.take();
  const std::uint64_t mask = (std::uint64_t{1} << key_bits_) - 1;  // key_bits_ <= 48
  const std::size_t base = cells.keys.size();
  std::size_t at = 0;
  for (std::uint64_t f = 0; f < count_; ++f) {
    while (at < keys.size() && (keys[at] >> key_bits_) == f) keys[at++] &= mask;
    cells.offsets.push_back(base + at);
  }
  if (base == 0) {
    cells.keys = std::move(keys);
  } else {
    cells.keys.insert(cells.keys.end(), keys.begin(), keys.end());
  }
}

}  // namespace ovk
