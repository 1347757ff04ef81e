// Throughput of each codec stage on a synthetic 1,000,000-event recording of
// a 346 x 260 sensor, 64 time bins, depth limit 10.
#include <benchmark/benchmark.h>

#include "codec/compress.h"
#include "codec/octree.h"
#include "codec/rans.h"
#include "codec/tree_bits.h"
#include "codec/voxel_grid.h"
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

void set_rates(benchmark::State& state, double events, double bits) {
  using benchmark::Counter;
  state.counters["events/s"] = Counter(events, Counter::kIsIterationInvariantRate);
  if (bits > 0) state.counters["bits/s"] = Counter(bits, Counter::kIsIterationInvariantRate);
}

void BM_Grid(benchmark::State& state) {
  for (auto _ : state) {
    auto grid = ovk::build_voxel_grid(recording(), kWidth, kHeight, kBins);
    benchmark::DoNotOptimize(grid);
  }
  set_rates(state, kEvents, 0);
}

void BM_Tree(benchmark::State& state) {
  const auto grid = ovk::build_voxel_grid(recording(), kWidth, kHeight, kBins).value();
  for (auto _ : state) benchmark::DoNotOptimize(ovk::build_octree(grid, kDepth));
  set_rates(state, kEvents, 0);
  state.counters["occupied"] = static_cast<double>(grid.occupied);
}

void BM_Serialize(benchmark::State& state) {
  const auto grid = ovk::build_voxel_grid(recording(), kWidth, kHeight, kBins).value();
  const ovk::Octree tree = ovk::build_octree(grid, kDepth);
  for (auto _ : state) benchmark::DoNotOptimize(ovk::serialize_tree(tree));
  set_rates(state, kEvents, static_cast<double>(tree.nodes.size()));
}

struct Coded {
  ovk::PackedBits bits;
  std::vector<std::uint8_t> stream;
};
const Coded& coded() {
  static const Coded c = [] {
    const auto grid = ovk::build_voxel_grid(recording(), kWidth, kHeight, kBins).value();
    Coded out;
    out.bits = ovk::serialize_tree(ovk::build_octree(grid, kDepth));
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

void BM_RansDecode(benchmark::State& state) {
  const Coded& c = coded();
  for (auto _ : state) benchmark::DoNotOptimize(ovk::rans_decode_bits(c.stream, c.bits.bit_count));
  set_rates(state, kEvents, static_cast<double>(c.bits.bit_count));
}

void BM_DecodeTree(benchmark::State& state) {
  const Coded& c = coded();
  const std::uint64_t wp = ovk::next_power_of_two(kWidth), hp = ovk::next_power_of_two(kHeight),
                      tp = ovk::next_power_of_two(kBins);
  for (auto _ : state)
    benchmark::DoNotOptimize(ovk::decode_tree(c.bits.bytes, c.bits.bit_count, wp, hp, tp, kDepth));
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
}

void BM_CompressSequence10(benchmark::State& state) {
  for (auto _ : state) {
    auto out = ovk::compress_sequence(recording(), kWidth, kHeight, kBins, kDepth, 10);
    benchmark::DoNotOptimize(out);
  }
  set_rates(state, kEvents, 0);
}

BENCHMARK(BM_Grid)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Tree)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Serialize)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RansEncode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RansDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeTree)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Compress)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompressSequence10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
