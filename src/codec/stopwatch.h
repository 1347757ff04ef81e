// Monotonic elapsed time in whole microseconds.
#pragma once

#include <time.h>

#include <cstdint>

namespace ovk {

class Stopwatch {
 public:
  Stopwatch() noexcept { clock_gettime(CLOCK_MONOTONIC, &start_); }

  // Whole seconds * 1e6 + nanoseconds / 1000, never negative; the
  // sub-microsecond rest is dropped.
  std::uint64_t elapsed_us() const noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::int64_t sec = static_cast<std::int64_t>(now.tv_sec) - start_.tv_sec;
    std::int64_t nsec = static_cast<std::int64_t>(now.tv_nsec) - start_.tv_nsec;
    if (nsec < 0) {
      nsec += 1'000'000'000;
      sec -= 1;
    }
    if (sec < 0) return 0;
    return static_cast<std::uint64_t>(sec) * 1'000'000u + static_cast<std::uint64_t>(nsec) / 1000u;
  }

 private:
  timespec start_{};
};

}  // namespace ovk
