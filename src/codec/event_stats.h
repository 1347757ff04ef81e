// Count, coordinate and time ranges, and duration of an event list.
#pragma once

#include <cstdint>
#include <optional>

#include "codec/event.h"

namespace ovk {

struct EventStats {
  std::uint64_t count = 0;
  std::uint16_t x_min = 0, x_max = 0;
  std::uint16_t y_min = 0, y_max = 0;
  std::uint32_t t_min = 0, t_max = 0;
  std::uint32_t duration_us = 0;  // t_max - t_min

  friend bool operator==(const EventStats&, const EventStats&) = default;
};

// nullopt for an empty list.
std::optional<EventStats> event_stats(EventSpan events);

}  // namespace ovk
