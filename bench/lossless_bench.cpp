// Speed, parallel speedup, random access and memory of the lossless coding.
//
//   ovk_lossless_bench speed [--version V] FILE.npy...
//                                          encode/decode M events/s on one core (CPU
//                                          time), from events in memory to bytes and
//                                          back, in the fast and the smallest code (or V)
//   ovk_lossless_bench jobs [N]            N (default 20M) synthetic events coded and
//                                          decoded with 1 and 2 threads (wall time)
//   ovk_lossless_bench write-60s FILE      a 60 s, 50M-event synthetic recording
//                                          streamed into FILE; prints peak RSS
//   ovk_lossless_bench read FILE           FILE decoded chunk by chunk; peak RSS
//   ovk_lossless_bench window FILE         100 random 10 ms windows: chunks decoded
//
// Figures are printed, never asserted (make bench-lossless runs them all).
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "io/npy_source.h"
#include "lossless/lossless_file.h"
#include "memory_read_source.h"
#include "splitmix64.h"

namespace {

using ovk::Event64;
using ovk::Event64Vec;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of the calling thread: one-core figures that other processes on
// a shared machine do not inflate.
double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

long peak_rss_kb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

using Random = ovk::testing_support::SplitMix64;

// A synthetic 346x260 recording handed out a block at a time: an edge
// sweeping across the sensor (80% of events, near the edge, polarity by
// side) over uniform noise, at `rate` events per second.
class SyntheticSource final : public ovk::io::EventSource {
 public:
  SyntheticSource(std::uint64_t events, double rate) : left_(events), rate_(rate) {}
  ovk::Status next_block(Event64Vec& block) override {
    const std::uint64_t n = std::min<std::uint64_t>(left_, ovk::io::kSourceBlockEvents);
    block.resize(n);
    for (Event64& e : block) e = next();
    left_ -= n;
    return ovk::Ok{};
  }
  Event64 next() {
    const double t = static_cast<double>(index_++) / rate_;
    const std::uint64_t r = random_.next();
    Event64 e;
    e.t = static_cast<std::uint64_t>(t * 1e6);
    if ((r & 7) < 6) {
      const double edge = 346.0 * (0.5 + 0.45 * __builtin_sin(t));
      const int offset = static_cast<int>((r >> 8) % 5) - 2;
      e.x = static_cast<std::uint16_t>(std::clamp(static_cast<int>(edge) + offset, 0, 345));
      e.y = static_cast<std::uint16_t>((r >> 16) % 260);
      e.p = offset >= 0 ? 1 : 0;
    } else {
      e.x = static_cast<std::uint16_t>((r >> 8) % 346);
      e.y = static_cast<std::uint16_t>((r >> 24) % 260);
      e.p = static_cast<std::uint8_t>((r >> 40) & 1);
    }
    return e;
  }

 private:
  std::uint64_t left_;
  double rate_;
  std::uint64_t index_ = 0;
  Random random_{42};
};

Event64Vec synthetic(std::uint64_t n) {
  SyntheticSource source(n, 1e6);
  Event64Vec all(n);
  for (Event64& e : all) e = source.next();
  return all;
}

Event64Vec load_npy(const char* path) {
  Event64Vec all;
  auto source = ovk::io::open_npy_source(path, {});
  if (!source.ok()) {
    std::fprintf(stderr, "%s: %s\n", path, source.error().message().c_str());
    return all;
  }
  Event64Vec block;
  while (source.value()->next_block(block).ok() && !block.empty()) {
    all.insert(all.end(), block.begin(), block.end());
  }
  return all;
}

struct Timing {
  double encode_s = 1e30;
  double decode_s = 1e30;
  std::size_t bytes = 0;
};

// `cpu`: time one job by the CPU time of this thread (one-core figures that
// other processes on a shared machine do not inflate); otherwise by the
// clock on the wall, as a speedup must be.
Timing time_coding(const Event64Vec& events, unsigned jobs, int rounds, bool cpu_time,
                   std::uint16_t version = ovk::lossless::kLosslessVersion) {
  Timing best;
  const auto elapsed = [jobs, cpu_time](Clock::time_point wall, double cpu) {
    return jobs == 1 && cpu_time ? thread_seconds() - cpu : seconds_since(wall);
  };
  for (int r = 0; r < rounds; ++r) {
    auto start = Clock::now();
    double cpu = thread_seconds();
    const std::vector<std::uint8_t> bytes = ovk::lossless::encode_to_bytes(
        events, {}, jobs, ovk::lossless::kDefaultChunkEvents, version);
    best.encode_s = std::min(best.encode_s, elapsed(start, cpu));
    best.bytes = bytes.size();
    auto reader = ovk::lossless::read_from_memory(bytes);
    std::vector<std::size_t> all(reader.value().summary().chunks.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    std::uint64_t decoded = 0;
    start = Clock::now();
    cpu = thread_seconds();
    const ovk::Status s = ovk::lossless::decode_chunks(
        reader.value(), all, jobs,
        {[&](std::size_t, const Event64Vec& block) -> ovk::Status {
           decoded += block.size();
           return ovk::Ok{};
         },
         {}});
    best.decode_s = std::min(best.decode_s, elapsed(start, cpu));
    if (!s.ok() || decoded != events.size()) std::fprintf(stderr, "decode failed\n");
  }
  return best;
}

int speed(int argc, char** argv) {
  std::printf("%-40s %7s %10s %8s %10s %10s\n", "recording", "version", "events", "bits/ev",
              "enc Mev/s", "dec Mev/s");
  std::vector<std::uint16_t> versions = {ovk::lossless::kLosslessVersion,
                                         ovk::lossless::kSmallestLosslessVersion};
  int first = 2;
  if (argc > 3 && std::strcmp(argv[2], "--version") == 0) {
    versions = {static_cast<std::uint16_t>(std::stoul(argv[3]))};
    first = 4;
  }
  for (int i = first; i < argc; ++i) {
    const Event64Vec events = load_npy(argv[i]);
    if (events.empty()) continue;
    const int rounds = static_cast<int>(std::clamp<std::size_t>(4'000'000 / events.size(), 5, 200));
    std::string name = argv[i];
    if (name.size() > 40) name = name.substr(name.size() - 40);
    for (const std::uint16_t version : versions) {
      const Timing t = time_coding(events, 1, rounds, true, version);
      const double n = static_cast<double>(events.size());
      std::printf("%-40s %7u %10zu %8.3f %10.2f %10.2f\n", name.c_str(), version, events.size(),
                  8.0 * static_cast<double>(t.bytes) / n, n / t.encode_s / 1e6,
                  n / t.decode_s / 1e6);
    }
  }
  return 0;
}

int jobs(int argc, char** argv) {
  const std::uint64_t n = argc > 2 ? std::stoull(argv[2]) : 20'000'000;
  const Event64Vec events = synthetic(n);
  const Timing one = time_coding(events, 1, 2, false);
  const Timing two = time_coding(events, 2, 2, false);
  const double m = static_cast<double>(n) / 1e6;
  std::printf("%" PRIu64 " synthetic events, %.3f bits/event (bytes equal for 1 and 2 jobs: %s)\n", n,
              8.0 * static_cast<double>(one.bytes) / static_cast<double>(n),
              one.bytes == two.bytes ? "yes" : "NO");
  std::printf("  encode: 1 job %.2f M ev/s, 2 jobs %.2f M ev/s, speedup %.2fx\n", m / one.encode_s,
              m / two.encode_s, one.encode_s / two.encode_s);
  std::printf("  decode: 1 job %.2f M ev/s, 2 jobs %.2f M ev/s, speedup %.2fx\n", m / one.decode_s,
              m / two.decode_s, one.decode_s / two.decode_s);
  return 0;
}

int write_60s(const char* path) {
  SyntheticSource source(50'000'000, 50e6 / 60.0);
  const auto start = Clock::now();
  auto summary = ovk::lossless::encode_file(source, path, {346, 260}, 1);
  if (!summary.ok()) {
    std::fprintf(stderr, "%s: %s\n", path, summary.error().message().c_str());
    return 1;
  }
  std::printf("wrote 50M events over 60 s: %" PRIu64 " bytes (%.3f bits/event) in %.1f s; peak RSS %ld kB\n",
              summary.value().file_bytes,
              8.0 * static_cast<double>(summary.value().file_bytes) / 50e6, seconds_since(start),
              peak_rss_kb());
  return 0;
}

int read(const char* path) {
  auto reader = ovk::lossless::LosslessReader::open(path);
  if (!reader.ok()) return 1;
  std::vector<std::size_t> all(reader.value().summary().chunks.size());
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
  std::uint64_t n = 0;
  const auto start = Clock::now();
  const ovk::Status s = ovk::lossless::decode_chunks(
      reader.value(), all, 1,
      {[&](std::size_t, const Event64Vec& block) -> ovk::Status {
         n += block.size();
         return ovk::Ok{};
       },
       {}});
  std::printf("decoded %" PRIu64 " events in %.1f s (%s); peak RSS %ld kB\n", n, seconds_since(start),
              s.ok() ? "ok" : s.error().message().c_str(), peak_rss_kb());
  return s.ok() ? 0 : 1;
}

int window(const char* path) {
  auto reader = ovk::lossless::LosslessReader::open(path);
  if (!reader.ok()) return 1;
  const auto& summary = reader.value().summary();
  const std::uint64_t t0 = summary.chunks.front().t_first;
  const std::uint64_t t1 = summary.chunks.back().t_max;
  Random random{7};
  std::size_t most = 0;
  std::size_t total = 0;
  double slowest = 0;
  for (int i = 0; i < 100; ++i) {
    const std::uint64_t a = t0 + random.next() % (t1 - t0 - 10'000);
    const auto start = Clock::now();
    const std::vector<std::size_t> chunks = ovk::lossless::chunks_in_window(summary, a, a + 10'000);
    std::uint64_t kept = 0;
    const ovk::Status s = ovk::lossless::decode_chunks(
        reader.value(), chunks, 1,
        {[&](std::size_t, const Event64Vec& block) -> ovk::Status {
           for (const Event64& e : block) kept += (e.t >= a && e.t < a + 10'000) ? 1 : 0;
           return ovk::Ok{};
         },
         {}});
    slowest = std::max(slowest, seconds_since(start));
    if (!s.ok()) return 1;
    most = std::max(most, chunks.size());
    total += chunks.size();
  }
  std::printf("10 ms windows of a %zu-chunk file: at most %zu chunks decoded, %.2f on average, "
              "slowest %.1f ms\n", summary.chunks.size(), most, static_cast<double>(total) / 100.0,
              slowest * 1e3);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "speed") return speed(argc, argv);
  if (mode == "jobs") return jobs(argc, argv);
  if (mode == "write-60s" && argc > 2) return write_60s(argv[2]);
  if (mode == "read" && argc > 2) return read(argv[2]);
  if (mode == "window" && argc > 2) return window(argv[2]);
  std::fprintf(stderr, "usage: ovk_lossless_bench speed FILE.npy... | jobs [N] | write-60s FILE | "
                       "read FILE | window FILE\n");
  return 2;
}
