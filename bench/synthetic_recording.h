// A deterministic, realistic stand-in for a real event-camera recording:
// edges sweeping across the sensor (two vertical bars and one horizontal bar
// at different speeds, each a couple of pixels thick, polarity by edge side)
// over a background of uniform noise events. Timestamps increase over one
// second. The same seed always gives the same events on every platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "codec/event.h"
#include "splitmix64.h"

namespace ovk::bench {

using ovk::testing_support::SplitMix64;

inline EventVec make_synthetic_recording(std::size_t n_events, std::uint16_t width,
                                         std::uint16_t height, std::uint64_t seed = 1,
                                         std::uint32_t duration_us = 1'000'000) {
  struct Edge {
    bool vertical;  // a bar spanning all rows (moves along x) or all columns
    double start;   // position at t = 0, as a fraction of the sensor size
    double speed;   // sensor sizes per second
  };
  const Edge edges[] = {{true, 0.10, 0.9}, {true, 0.70, -0.6}, {false, 0.20, 1.3}};
  SplitMix64 rng(seed);
  EventVec events;
  events.reserve(n_events);
  for (std::size_t i = 0; i < n_events; ++i) {
    Event e;
    e.t = static_cast<std::uint32_t>(static_cast<std::uint64_t>(i) * duration_us / n_events);
    const double seconds = e.t / 1e6;
    if (rng.below(10) == 0) {  // background noise
      e.x = static_cast<std::uint16_t>(rng.below(width));
      e.y = static_cast<std::uint16_t>(rng.below(height));
      e.p = static_cast<std::uint8_t>(rng.below(2));
    } else {
      const Edge& edge = edges[rng.below(3)];
      double pos = edge.start + edge.speed * seconds;
      pos -= static_cast<double>(static_cast<std::int64_t>(pos));
      if (pos < 0) pos += 1.0;
      const std::uint16_t extent = edge.vertical ? width : height;
      const std::int64_t jitter = static_cast<std::int64_t>(rng.below(3)) - 1;
      std::int64_t at = static_cast<std::int64_t>(pos * extent) + jitter;
      at = at < 0 ? 0 : (at >= extent ? extent - 1 : at);
      const std::uint16_t across =
          static_cast<std::uint16_t>(rng.below(edge.vertical ? height : width));
      e.x = edge.vertical ? static_cast<std::uint16_t>(at) : across;
      e.y = edge.vertical ? across : static_cast<std::uint16_t>(at);
      e.p = static_cast<std::uint8_t>((edge.speed > 0) ^ (jitter > 0));
    }
    events.push_back(e);
  }
  return events;
}

namespace detail {
inline void put_le(std::vector<unsigned char>& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
inline void put_be(std::vector<unsigned char>& out, std::uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
inline bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}
}  // namespace detail

// File bytes of the events in the format named by the path's extension:
// .evb (compact 9-byte records), .bin (N-MNIST 5-byte records; x, y wrap at
// 256, t at 2^23), .aedat (AEDAT 2.0 with a short header; x, y wrap at 128)
// or .csv (x,y,t,p lines). Empty for any other extension.
inline std::vector<unsigned char> encode_recording(const EventVec& events, std::string_view path) {
  using detail::put_be;
  using detail::put_le;
  std::vector<unsigned char> out;
  if (detail::ends_with(path, ".evb")) {
    out.reserve(events.size() * 9);
    for (const Event& e : events) {
      put_le(out, e.x, 2);
      put_le(out, e.y, 2);
      put_le(out, e.t, 4);
      put_le(out, e.p, 1);
    }
  } else if (detail::ends_with(path, ".bin")) {
    out.reserve(events.size() * 5);
    for (const Event& e : events) {
      put_be(out, e.x & 0xFF, 1);
      put_be(out, e.y & 0xFF, 1);
      put_be(out, (std::uint64_t{e.p & 1u} << 23) | (e.t & 0x7FFFFF), 3);
    }
  } else if (detail::ends_with(path, ".aedat")) {
    const std::string header = "#!AER-DAT2.0\r\n# synthetic recording\r\n";
    out.assign(header.begin(), header.end());
    for (const Event& e : events) {
      put_be(out, ((e.y & 0x7Fu) << 8) | ((e.x & 0x7Fu) << 1) | (e.p & 1u), 4);
      put_be(out, e.t, 4);
    }
  } else if (detail::ends_with(path, ".csv")) {
    char line[64];
    for (const Event& e : events) {
      const int len = std::snprintf(line, sizeof line, "%u,%u,%u,%u\n", unsigned{e.x},
                                    unsigned{e.y}, unsigned{e.t}, unsigned{e.p});
      out.insert(out.end(), line, line + len);
    }
  }
  return out;
}

}  // namespace ovk::bench
