// `--time-window START:END`: a half-open span [START, END) of microseconds.
// Plain numbers count from the recording's first timestamp; a number written
// with a leading '@' is an absolute timestamp. Either end may be left out
// ("1000:" or ":5000"), meaning the start or the end of the recording.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace ovk::cli {

struct TimeBound {
  std::uint64_t value = 0;
  bool absolute = false;  // written with '@'
};

struct TimeWindow {
  std::optional<TimeBound> start;  // none: from the first event
  std::optional<TimeBound> end;    // none: to the last event
};

// The window written as "START:END", or nullopt for anything else (no colon,
// a sign, a non-digit, a value past 2^64 - 1, or an end before the start when
// both are relative or both absolute).
std::optional<TimeWindow> parse_time_window(std::string_view text);

// The window as absolute timestamps [first, last) once the recording's first
// timestamp is known; `last` is nullopt for "to the end". A relative bound
// whose sum would pass 2^64 - 1 saturates there.
struct AbsoluteWindow {
  std::uint64_t first = 0;
  std::optional<std::uint64_t> last;

  bool contains(std::uint64_t t) const noexcept { return t >= first && (!last || t < *last); }
};
AbsoluteWindow resolve_time_window(const TimeWindow& window, std::uint64_t recording_start);

}  // namespace ovk::cli
