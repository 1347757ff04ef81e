// Reads an EventSource to its end, for the formats' tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "codec/result.h"
#include "io/event_source.h"

namespace ovk::test {

// Every event, or the first error's message.
inline Result<Event64Vec, std::string> drain(io::EventSource& source) {
  Event64Vec all;
  Event64Vec block;
  for (;;) {
    const Status status = source.next_block(block);
    if (!status.ok()) return status.error().message();
    if (block.empty()) return all;
    if (block.size() > io::kSourceBlockEvents) return std::string("block too large");
    all.insert(all.end(), block.begin(), block.end());
  }
}

// The error message of opening then draining, or "" when both succeed.
template <class Opened>
std::string failure_of(Opened opened) {
  if (!opened.ok()) return opened.error().message();
  auto events = drain(*opened.value());
  return events.ok() ? std::string() : events.error();
}

}  // namespace ovk::test
