// One event of an event camera and the owned array of them that every stage
// of the codec and every recording reader works on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ovk {

// Field order is the declared order x, y, t, p (constructor, repr, files).
struct Event {
  std::uint16_t x = 0;  // pixel column
  std::uint16_t y = 0;  // pixel row
  std::uint32_t t = 0;  // timestamp, microseconds
  std::uint8_t p = 0;   // polarity, any value 0..255, never reduced to a bool

  friend bool operator==(const Event&, const Event&) = default;
};

// Size of one event in the compact binary format (x u16, y u16, t u32, p u8,
// little-endian): also the "raw" size the codec's ratios are measured against.
inline constexpr std::size_t kCompactRecordBytes = 9;

// Owned, contiguous, in the order given by the caller or the file.
using EventVec = std::vector<Event>;
// Read-only view of all or part of an EventVec.
using EventSpan = std::span<const Event>;

// An event whose timestamp is 64 bits of microseconds: what the tool's readers
// hand out and the lossless coding keeps (AEDAT 4 and HDF5 recordings count
// from the Unix epoch, which does not fit 32 bits). Same field order as Event.
struct Event64 {
  std::uint16_t x = 0;
  std::uint16_t y = 0;
  std::uint64_t t = 0;
  std::uint8_t p = 0;

  friend bool operator==(const Event64&, const Event64&) = default;
};

using Event64Vec = std::vector<Event64>;
using Event64Span = std::span<const Event64>;

}  // namespace ovk
