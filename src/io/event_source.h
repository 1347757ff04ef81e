// A recording read a block of events at a time, so that a pass over it holds
// one block in memory whatever the recording's length.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codec/event.h"
#include "codec/result.h"

namespace ovk::io {

// A sensor's size in pixels.
struct SensorGeometry {
  std::uint16_t width = 0;
  std::uint16_t height = 0;

  friend bool operator==(const SensorGeometry&, const SensorGeometry&) = default;
};

// Records a source read but did not hand out as events (frames, IMU samples,
// triggers, special events, overflow markers), counted by kind for `info`.
struct SkippedRecords {
  std::string kind;
  std::uint64_t count = 0;
};

// Events in file order, handed out in blocks of at most kSourceBlockEvents.
class EventSource {
 public:
  virtual ~EventSource() = default;

  // The sensor size the file itself states (its header, or the camera its
  // header names), known once the source is open; nullopt when only the
  // events can tell.
  virtual std::optional<SensorGeometry> declared_sensor() const { return std::nullopt; }

  // What was passed over so far; complete once the source has ended.
  virtual std::vector<SkippedRecords> skipped_records() const { return {}; }

  // Replaces the contents of `block` with the next events of the recording;
  // an empty block means the recording has ended. After an error the source
  // is spent.
  [[nodiscard]] virtual Status next_block(Event64Vec& block) = 0;
};

// A source that is spent after its first error: every later call fails
// with "NAME source already failed". Subclasses fill the blocks.
class SpentAfterError : public EventSource {
 public:
  [[nodiscard]] Status next_block(Event64Vec& block) final {
    if (failed_) {
      block.clear();
      return Error(ErrorKind::kInvalidData, std::string(name_) + " source already failed");
    }
    Status status = fill_block(block);
    if (!status.ok()) {
      failed_ = true;
      block.clear();
    }
    return status;
  }

 protected:
  explicit SpentAfterError(const char* name) : name_(name) {}
  // next_block's work while nothing has failed.
  [[nodiscard]] virtual Status fill_block(Event64Vec& block) = 0;

 private:
  const char* name_;
  bool failed_ = false;
};

inline constexpr std::size_t kSourceBlockEvents = std::size_t{1} << 16;

// A source over events already in memory (tests, and formats decoded whole).
class MemorySource final : public EventSource {
 public:
  explicit MemorySource(Event64Vec events) : events_(std::move(events)) {}

  [[nodiscard]] Status next_block(Event64Vec& block) override {
    const std::size_t count = std::min(kSourceBlockEvents, events_.size() - position_);
    block.assign(events_.begin() + static_cast<std::ptrdiff_t>(position_),
                 events_.begin() + static_cast<std::ptrdiff_t>(position_ + count));
    position_ += count;
    return Ok{};
  }

 private:
  Event64Vec events_;
  std::size_t position_ = 0;
};

}  // namespace ovk::io
