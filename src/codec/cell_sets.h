// The occupied cells of a recording, or of each of its frames, gathered from
// its events a block at a time, so that a pass over a recording of any
// length holds the cells' keys and one block of events, never the events.
// The keys are those CellKeyer makes from the whole recording (or frame):
// the frames are cut as split_frames cuts them and each frame is binned
// over its own time range, which a pass before learns (FrameTimeRanges).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec/event.h"
#include "codec/voxel_grid.h"

namespace ovk {

using KeySpan = std::span<const std::uint64_t>;

// Which of n_frames >= 1 frames a timestamp falls in, for a recording of
// time scale `scale`: floor((n_frames - 1) * normalised time), so with two
// frames or more the last one holds only the largest timestamp.
class FrameSplit {
 public:
  FrameSplit(const TimeScale& scale, std::uint64_t n_frames) noexcept
      : scale_(scale), frames_(n_frames), factor_(static_cast<double>(n_frames) - 1.0) {}
  std::uint64_t frame_of(std::uint32_t t) const noexcept {
    return std::min(scale_.scaled(t, factor_), frames_ - 1);
  }
  std::uint64_t frames() const noexcept { return frames_; }

 private:
  TimeScale scale_;
  std::uint64_t frames_;
  double factor_;
};

// Every frame's own smallest and largest timestamps, from blocks of events.
class FrameTimeRanges {
 public:
  explicit FrameTimeRanges(const FrameSplit& split);
  void add(EventSpan events) noexcept;
  // The time scale of each frame's events (a frame without events, which
  // has no cells, gets the default one).
  std::vector<TimeScale> scales() const;

 private:
  FrameSplit split_;
  std::vector<std::uint32_t> lo_;
  std::vector<std::uint32_t> hi_;
};

// The cells of a recording cut in frames: frame k's sorted, distinct keys
// are keys[offsets[k] .. offsets[k + 1]). One frame is the whole recording.
struct FrameCells {
  std::vector<std::uint64_t> keys;
  std::vector<std::size_t> offsets{0};

  std::size_t size() const noexcept { return offsets.size() - 1; }
  KeySpan frame(std::size_t k) const noexcept {
    return KeySpan(keys).subspan(offsets[k], offsets[k + 1] - offsets[k]);
  }
};

// Sorted distinct keys of `key_bits` bits from keys added in any order and
// with repeats. For a small key space and many keys (CellKeyer's rule,
// with a bitmap of at most kMaxBitmapBytes) one bit per possible key;
// otherwise the distinct keys so far and a batch of pending ones, never
// more pending than max(kMinBatch, distinct keys so far).
class DistinctKeys {
 public:
  static constexpr std::size_t kMinBatch = std::size_t{1} << 20;
  static constexpr unsigned kMaxBitmapKeyBits = 27;  // 16 MiB

  // `expected`: how many keys will be added (with repeats).
  DistinctKeys(unsigned key_bits, std::uint64_t expected);
  void add(std::uint64_t key) {
    if (bitmap_) {
      bitmap_->set(key);
      return;
    }
    pending_.push_back(key);
    if (pending_.size() >= std::max(kMinBatch, keys_.size())) merge();
  }
  // The keys, sorted and distinct; the set is then empty.
  std::vector<std::uint64_t> take();

 private:
  void merge();

  unsigned key_bits_;
  std::optional<detail::KeyBitmap> bitmap_;
  std::vector<std::uint64_t> keys_;
  std::vector<std::uint64_t> pending_;
};

// Frames of one gathering pass: a frame's index and its cell's key share 64 bits.
std::uint64_t frames_per_pass(unsigned key_bits) noexcept;

// Gathers the cells of frames [first, first + count) of a split recording
// of n_events events (count at most frames_per_pass): every block of the
// recording is added,
// then take_into appends those frames to `cells`. `scales` holds every
// frame's time scale (FrameTimeRanges::scales; for one frame, the
// recording's own).
class CellGatherer {
 public:
  CellGatherer(const CellKeyer& keyer, const FrameSplit& split, std::span<const TimeScale> scales,
               std::uint64_t first, std::uint64_t count, std::uint64_t n_events);
  void add(EventSpan events);
  void take_into(FrameCells& cells);

 private:
  const CellKeyer& keyer_;
  FrameSplit split_;
  std::span<const TimeScale> scales_;
  std::uint64_t first_;
  std::uint64_t count_;
  unsigned key_bits_;
  DistinctKeys keys_;
};

}  // namespace ovk
