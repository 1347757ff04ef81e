// Writes the synthetic recording to a file in one of the formats the loaders
// read, chosen by extension: .evb (compact 9-byte records), .bin (N-MNIST
// 5-byte records; x, y wrap at 256, t at 2^23), .aedat (AEDAT 2.0 with a
// short header; x, y wrap at 128) or .csv (x,y,t,p lines).
// Usage: write_synthetic_recording OUT [N_EVENTS [WIDTH HEIGHT [SEED]]]
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "synthetic_recording.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUT.{evb,bin,aedat,csv} [N_EVENTS [WIDTH HEIGHT [SEED]]]\n",
                 argv[0]);
    return 2;
  }
  const std::string_view path = argv[1];
  const std::size_t n = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1'000'000;
  const auto width = static_cast<std::uint16_t>(argc > 4 ? std::atoi(argv[3]) : 346);
  const auto height = static_cast<std::uint16_t>(argc > 4 ? std::atoi(argv[4]) : 260);
  const std::uint64_t seed = argc > 5 ? std::strtoull(argv[5], nullptr, 10) : 1;
  const ovk::EventVec events = ovk::bench::make_synthetic_recording(n, width, height, seed);

  const std::vector<unsigned char> out = ovk::bench::encode_recording(events, path);
  if (out.empty() && !events.empty()) {
    std::fprintf(stderr, "unknown extension: %s\n", argv[1]);
    return 2;
  }

  std::FILE* f = std::fopen(argv[1], "wb");
  if (f == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
  return (std::fclose(f) == 0 && ok) ? 0 : 1;
}
