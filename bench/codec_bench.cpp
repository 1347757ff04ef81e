// Throughput of each codec stage on a synthetic 1,000,000-event recording of
// a 346 x 260 sensor, 64 time bins, depth limit 10; compress_sequence at
// several frame counts; and a ladder of geometries, from the sensor's own to
// 65535 x 65535 x 65535, with the codec's peak memory.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "codec/compress.h"
#include "codec/rans.h"
#include "codec/tree_bits.h"
#include "codec/voxel_grid.h"
#include "codec_shortcuts.h"
#include "synthetic_recording.h"

namespace {

constexpr std::size_t kEvents = 1'000'000;
constexpr std::uint16_t kWidth = 346, kHeight = 260, kBins = 64;
constexpr std::uint8_t kDepth = 10;

const ovk::EventVec& recording() {
  static const ovk::EventVec events =
      ovk::bench::make_synthetic_recording(kEvents, kWidth, kHeight);
  return events;
}

// 1M events uniformly random over the largest geometry.
const ovk::EventVec& uniform_recording() {
  static const ovk::EventVec events = [] {
    ovk::bench::SplitMix64 rng(7);
    ovk::EventVec out(kEvents);
    for (ovk::Event& e : out) {
      e.x = static_cast<std::uint16_t>(rng.below(65536));
      e.y = static_cast<std::uint16_t>(rng.below(65536));
      e.t = static_cast<std::uint32_t>(rng.below(1'000'000));
      e.p = static_cast<std::uint8_t>(rng.below(2));
    }
    return out;
  }();
  return events;
}

const ovk::GridGeometry kGeometry(kWidth, kHeight, kBins);

void set_rates(benchmark::State& state, double events, double bits) {
  using benchmark::Counter;
  state.counters["events/s"] = Counter(events, Counter::kIsIterationInvariantRate);
  if (bits > 0) state.counters["bits/s"] = Counter(bits, Counter::kIsIterationInvariantRate);
}

const std::vector<std::uint64_t>& recording_keys() {
  static const std::vector<std::uint64_t> keys =
      ovk::occupied_cell_keys(recording(), kGeometry, kBins).value();
  return keys;
}

// Events to sorted, distinct cell keys (the sparse grid).
void BM_CellKeys(benchmark::State& state) {
  const ovk::CellKeyer keyer(kGeometry, kBins);
  for (auto _ : state) {
    std::vector<std::uint64_t> keys;
    benchmark::DoNotOptimize(keyer.occupied_into(recording(), keys));
  }
  set_rates(state, kEvents, 0);
  state.counters["occupied"] = static_cast<double>(recording_keys().size());
}

// Sorted keys to packed tree bits (tree and serialisation in one).
void BM_TreeBits(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(ovk::encode_tree_bits(recording_keys(), kGeometry, kDepth));
  set_rates(state, kEvents, 0);
}

struct Coded {
  ovk::PackedBits bits;
  std::vector<std::uint8_t> stream;
};
const Coded& coded() {
  static const Coded c = [] {
    Coded out;
    out.bits = ovk::encode_tree_bits(recording_keys(), kGeometry, kDepth).value();
    out.stream = ovk::rans_encode_bits(out.bits.bytes, out.bits.bit_count);
    return out;
  }();
  return c;
}

void BM_RansEncode(benchmark::State& state) {
  const Coded& c = coded();
  for (auto _ : state)
    benchmark::DoNotOptimize(ovk::rans_encode_bits(c.bits.bytes, c.bits.bit_count));
  set_rates(state, kEvents, static_cast<double>(c.bits.bit_count));
  state.counters["tree_bits"] = static_cast<double>(c.bits.bit_count);
  state.counters["stream_bytes"] = static_cast<double>(c.stream.size());
}

// What compress's encode window runs: keys, tree bits, rANS.
void BM_EncodeWindow(benchmark::State& state) {
  const ovk::CellKeyer keyer(kGeometry, kBins);
  for (auto _ : state) {
    std::vector<std::uint64_t> keys;
    (void)keyer.occupied_into(recording(), keys);
    const auto bits = ovk::encode_tree_bits(keys, kGeometry, kDepth).value();
    benchmark::DoNotOptimize(ovk::rans_encode_bits(bits.bytes, bits.bit_count));
  }
  set_rates(state, kEvents, static_cast<double>(coded().bits.bit_count));
}

void BM_RansDecode(benchmark::State& state) {
  const Coded& c = coded();
  for (auto _ : state) benchmark::DoNotOptimize(ovk::rans_decode_bits(c.stream, c.bits.bit_count));
  set_rates(state, kEvents, static_cast<double>(c.bits.bit_count));
}

void BM_DecodeTree(benchmark::State& state) {
  const Coded& c = coded();
  for (auto _ : state) {
    ovk::Octree tree;
    ovk::decode_tree_into(c.bits.bytes, c.bits.bit_count, ovk::TreeLevels(kGeometry, kDepth), tree);
    benchmark::DoNotOptimize(tree);
  }
  set_rates(state, kEvents, static_cast<double>(c.bits.bit_count));
}

// The same into one tree reused call after call, as the decode windows do.
void BM_DecodeTreeReused(benchmark::State& state) {
  const Coded& c = coded();
  const ovk::TreeLevels levels(kGeometry, kDepth);
  ovk::Octree tree;
  for (auto _ : state) {
    ovk::decode_tree_into(c.bits.bytes, c.bits.bit_count, levels, tree);
    benchmark::DoNotOptimize(tree);
  }
  set_rates(state, kEvents, static_cast<double>(c.bits.bit_count));
}

void BM_Compress(benchmark::State& state) {
  for (auto _ : state) {
    auto out = ovk::compress_events(recording(), kWidth, kHeight, kBins, kDepth);
    benchmark::DoNotOptimize(out);
  }
  set_rates(state, kEvents, 0);
  const auto out = ovk::compress_events(recording(), kWidth, kHeight, kBins, kDepth).value();
  state.counters["bits_per_event"] = out.record.bits_per_event();
  state.counters["encode_ms"] = static_cast<double>(out.record.encode_us) / 1e3;
}

void BM_CompressSequence(benchmark::State& state) {
  const auto n_frames = static_cast<std::uint64_t>(state.range(0));
  for (auto _ : state) {
    auto out = ovk::compress_sequence(recording(), kWidth, kHeight, kBins, kDepth, n_frames);
    benchmark::DoNotOptimize(out);
  }
  set_rates(state, kEvents, 0);
}

// Peak resident memory in bytes since the last reset_peak(), from the kernel.
std::uint64_t status_kib(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1));
  }
  return 0;
}
// Returns freed heap memory to the system first, so that the next peak counts
// what the measured call itself needs.
void reset_peak() {
  malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";
}

struct Rung {
  const char* name;
  bool uniform;  // the random recording instead of the synthetic one
  std::uint16_t width, height, bins;
  std::uint8_t depth;
};
constexpr Rung kLadder[] = {
    {"synthetic 346x260x64 d10", false, 346, 260, 64, 10},
    {"synthetic 1280x720x4096 d16", false, 1280, 720, 4096, 16},
    {"synthetic 4096x4096x65535 d16", false, 4096, 4096, 65535, 16},
    {"synthetic 65535^3 d16", false, 65535, 65535, 65535, 16},
    {"synthetic 65535^3 d20", false, 65535, 65535, 65535, 20},
    {"uniform 65535^3 d16", true, 65535, 65535, 65535, 16},
};

// Whole compress (encode and decode windows) per geometry, 1M events. The
// cost per unit of work is the time per (event + tree bit).
void BM_GeometryLadder(benchmark::State& state) {
  const Rung& r = kLadder[state.range(0)];
  const ovk::EventVec& events = r.uniform ? uniform_recording() : recording();
  state.SetLabel(r.name);
  reset_peak();
  const std::uint64_t base_kib = status_kib("VmRSS");
  const auto first = ovk::compress_events(events, r.width, r.height, r.bins, r.depth).value();
  const std::uint64_t peak_kib = status_kib("VmHWM");
  for (auto _ : state) {
    auto out = ovk::compress_events(events, r.width, r.height, r.bins, r.depth);
    benchmark::DoNotOptimize(out);
  }
  const double work = static_cast<double>(events.size() + first.record.n_bits);
  state.counters["n_bits"] = static_cast<double>(first.record.n_bits);
  state.counters["bytes"] = static_cast<double>(first.record.bitstream_bytes);
  state.counters["peak_MB"] = static_cast<double>(peak_kib - base_kib) / 1024.0;
  state.counters["ns/(event+bit)"] = benchmark::Counter(
      work * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_CellKeys)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeBits)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RansEncode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeWindow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RansDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeTree)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeTreeReused)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Compress)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompressSequence)->Arg(10)->Arg(1000)->Arg(100'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GeometryLadder)->DenseRange(0, 5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
