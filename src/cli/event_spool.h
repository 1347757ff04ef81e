// Events written once to an unnamed temporary file and read back any number
// of times: how a recording that cannot be read twice (a pipe) gets the
// passes a sweep makes, in memory that does not grow with its length.
//
// The file is made in $TMPDIR (else /tmp) and unlinked at once, so it is
// gone when the spool is, however the process ends. Each event takes 13
// bytes: t u64, x u16, y u16, p u8, in the machine's byte order.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "codec/event.h"
#include "codec/result.h"
#include "io/event_source.h"
#include "io/file_access.h"

namespace ovk::cli {

class EventSpool {
 public:
  inline static constexpr std::size_t kRecordBytes = 13;

  // A new, empty spool in `folder` (empty: $TMPDIR, else /tmp).
  [[nodiscard]] static Result<EventSpool> create(const std::string& folder = "");

  // Adds events after those already spooled.
  [[nodiscard]] Status append(std::span<const Event64> events);
  // Writes out what append buffered; sources see only what is flushed.
  [[nodiscard]] Status flush();

  std::uint64_t events() const { return events_; }
  // A source handing out every flushed event, in order, from the first;
  // it reads the spool, which must outlive it.
  std::unique_ptr<io::EventSource> source() const;

 private:
  explicit EventSpool(io::FileHandle file) : file_(std::move(file)) {}

  io::FileHandle file_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t events_ = 0;
  std::uint64_t flushed_ = 0;
};

}  // namespace ovk::cli
