// The common frame of the streaming sources: a ByteStream, a block filled by
// a format's decode loop, and the end-of-file check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "io/byte_stream.h"
#include "io/event_source.h"

namespace ovk::io {

class StreamSource : public EventSource {
 public:
  std::optional<SensorGeometry> declared_sensor() const override { return declared_; }
  std::vector<SkippedRecords> skipped_records() const override;

  [[nodiscard]] Status next_block(Event64Vec& block) final;

  void set_declared_sensor(std::optional<SensorGeometry> sensor) noexcept { declared_ = sensor; }

 protected:
  StreamSource(ByteStream stream, std::size_t unit, std::size_t most_per_unit)
      : stream_(std::move(stream)), unit_(unit), most_per_unit_(most_per_unit) {}

  // Decodes whole units from `bytes`, writing events at block[written]
  // onwards (advancing `written`) while at least most_per_unit more fit
  // below `capacity`; returns the bytes used (a multiple of unit).
  virtual Result<std::size_t> decode(std::span<const std::uint8_t> bytes, Event64* block,
                                     std::size_t capacity, std::size_t& written) = 0;
  // Called at the end of the file with the bytes after the last whole unit
  // (fewer than unit) and the total consumed before them.
  virtual Status finish(std::size_t leftover, std::uint64_t consumed);

  ByteStream& stream() noexcept { return stream_; }
  void count_skipped(std::size_t kind, std::uint64_t n) noexcept { skipped_[kind].count += n; }
  // Declares the kinds of records counted by count_skipped (index = order).
  void set_skipped_kinds(std::vector<std::string> kinds);

 private:
  std::size_t block_capacity() const noexcept;

  std::optional<SensorGeometry> declared_;
  ByteStream stream_;
  std::size_t unit_;
  std::size_t most_per_unit_;
  bool done_ = false;
  std::vector<SkippedRecords> skipped_;
  Event64Vec spare_;
};

// The error of a file that ends inside a record or word.
Error truncated_error(const char* what, std::size_t leftover);

// Parses "WxH" or "W x H"; nullopt unless both are 1..65535.
std::optional<SensorGeometry> parse_geometry(std::string_view text) noexcept;

}  // namespace ovk::io
