// Writes the synthetic recording as a compact binary file (9-byte
// little-endian records x, y, t, p) for the Python benchmark and the demo.
// Usage: write_synthetic_recording OUT.evb [N_EVENTS [WIDTH HEIGHT [SEED]]]
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "synthetic_recording.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUT.evb [N_EVENTS [WIDTH HEIGHT [SEED]]]\n", argv[0]);
    return 2;
  }
  const std::size_t n = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1'000'000;
  const auto width = static_cast<std::uint16_t>(argc > 4 ? std::atoi(argv[3]) : 346);
  const auto height = static_cast<std::uint16_t>(argc > 4 ? std::atoi(argv[4]) : 260);
  const std::uint64_t seed = argc > 5 ? std::strtoull(argv[5], nullptr, 10) : 1;
  const ovk::EventVec events = ovk::bench::make_synthetic_recording(n, width, height, seed);

  std::vector<unsigned char> bytes;
  bytes.reserve(events.size() * 9);
  for (const ovk::Event& e : events) {
    const unsigned char rec[9] = {static_cast<unsigned char>(e.x),
                                  static_cast<unsigned char>(e.x >> 8),
                                  static_cast<unsigned char>(e.y),
                                  static_cast<unsigned char>(e.y >> 8),
                                  static_cast<unsigned char>(e.t),
                                  static_cast<unsigned char>(e.t >> 8),
                                  static_cast<unsigned char>(e.t >> 16),
                                  static_cast<unsigned char>(e.t >> 24),
                                  e.p};
    bytes.insert(bytes.end(), rec, rec + 9);
  }
  std::FILE* f = std::fopen(argv[1], "wb");
  if (f == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return (std::fclose(f) == 0 && ok) ? 0 : 1;
}
