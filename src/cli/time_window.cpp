#include "cli/time_window.h"

#include <charconv>
#include <limits>

namespace ovk::cli {
namespace {

// One bound: empty (nullopt inside an engaged optional is not needed, so the
// caller checks emptiness first), "@" digits, or digits.
std::optional<TimeBound> parse_bound(std::string_view text) {
  TimeBound bound;
  if (!text.empty() && text.front() == '@') {
    bound.absolute = true;
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, bound.value);
  if (error != std::errc{} || stop != end) return std::nullopt;
  return bound;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max()
                                                           : a + b;
}

std::uint64_t absolute_value(const TimeBound& bound, std::uint64_t recording_start) {
  return bound.absolute ? bound.value : saturating_add(recording_start, bound.value);
}

}  // namespace

std::optional<TimeWindow> parse_time_window(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view first = text.substr(0, colon);
  const std::string_view second = text.substr(colon + 1);
  TimeWindow window;
  if (!first.empty()) {
    window.start = parse_bound(first);
    if (!window.start) return std::nullopt;
  }
  if (!second.empty()) {
    window.end = parse_bound(second);
    if (!window.end) return std::nullopt;
  }
  if (window.start && window.end && window.start->absolute == window.end->absolute &&
      window.end->value < window.start->value) {
    return std::nullopt;
  }
  return window;
}

AbsoluteWindow resolve_time_window(const TimeWindow& window, std::uint64_t recording_start) {
  AbsoluteWindow resolved;
  resolved.first = window.start ? absolute_value(*window.start, recording_start) : 0;
  if (window.end) resolved.last = absolute_value(*window.end, recording_start);
  return resolved;
}

}  // namespace ovk::cli
