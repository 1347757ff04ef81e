// The events of a recording grouped by frame (split_frames), input order
// kept inside each frame: one counting sort, shared by the sequence drivers.
#pragma once

#include <cstdint>
#include <vector>

#include "codec/compress.h"
#include "codec/event.h"

namespace ovk {

// Frame k is events[offsets[k] .. offsets[k + 1]).
class FrameGroups {
 public:
  FrameGroups(EventSpan events, std::size_t frames)
      : offsets_(frames + 1, 0), events_(events.size()) {
    const std::vector<std::uint64_t> frame_of = split_frames(events, frames);
    for (const std::uint64_t f : frame_of) ++offsets_[f + 1];
    for (std::size_t k = 0; k < frames; ++k) offsets_[k + 1] += offsets_[k];
    std::vector<std::uint64_t> cursor(offsets_.begin(), offsets_.end() - 1);
    for (std::size_t i = 0; i < events.size(); ++i) events_[cursor[frame_of[i]]++] = events[i];
  }
  std::size_t size() const noexcept { return offsets_.size() - 1; }
  EventSpan frame(std::size_t k) const {
    return EventSpan(events_).subspan(offsets_[k], offsets_[k + 1] - offsets_[k]);
  }

 private:
  std::vector<std::uint64_t> offsets_;
  EventVec events_;
};

}  // namespace ovk
