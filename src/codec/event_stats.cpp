#include "codec/event_stats.h"

#include <algorithm>

namespace ovk {

std::optional<EventStats> event_stats(EventSpan events) {
  if (events.empty()) return std::nullopt;
  const Event& first = events.front();
  EventStats s{events.size(), first.x, first.x, first.y, first.y, first.t, first.t, 0};
  for (const Event& e : events) {
    s.x_min = std::min(s.x_min, e.x);
    s.x_max = std::max(s.x_max, e.x);
    s.y_min = std::min(s.y_min, e.y);
    s.y_max = std::max(s.y_max, e.y);
    s.t_min = std::min(s.t_min, e.t);
    s.t_max = std::max(s.t_max, e.t);
  }
  s.duration_us = s.t_max - s.t_min;
  return s;
}

}  // namespace ovk
