// The context coding beside the static code on the synthetic
// 1,000,000-event recording (346 x 260 sensor, 64 time bins, single-cell
// depth 9), in one run: the whole encode window (cells, tree bits and the
// coding, as compress and compress_events_context time it), the decode
// window, the encode window's steps in CPU time, and the entropy coders
// alone on the same tree bits, with the
// coded bits per event and the rate in tree bits per second.
#include <benchmark/benchmark.h>

#include "codec/compress.h"
#include "codec/context_coder.h"
#include "codec/context_compress.h"
#include "codec/rans.h"
#include "codec/tree_bits.h"
#include "codec/tree_contexts.h"
#include "codec/voxel_grid.h"
#include "codec_shortcuts.h"
#include "synthetic_recording.h"

namespace {

constexpr std::size_t kEvents = 1'000'000;
constexpr std::uint16_t kWidth = 346, kHeight = 260, kBins = 64;
constexpr std::uint8_t kDepth = 9;  // single cells: log2 of the padded 512

const ovk::EventVec& recording() {
  static const ovk::EventVec events =
      ovk::bench::make_synthetic_recording(kEvents, kWidth, kHeight);
  return events;
}

const ovk::PackedBits& tree_bits() {
  static const ovk::PackedBits bits = [] {
    const ovk::GridGeometry g(kWidth, kHeight, kBins);
    return ovk::encode_tree_bits(ovk::occupied_cell_keys(recording(), g, kBins).value(), g, kDepth)
        .value();
  }();
  return bits;
}

const ovk::ContextLayout& layout() {
  static const ovk::ContextLayout l(ovk::GridGeometry(kWidth, kHeight, kBins), kDepth);
  return l;
}

void set_counters(benchmark::State& state, std::uint64_t coded_bytes) {
  using benchmark::Counter;
  const double bits = static_cast<double>(tree_bits().bit_count);
  state.counters["tree_bits/s"] = Counter(bits, Counter::kIsIterationInvariantRate);
  state.counters["bits/event"] = 8.0 * static_cast<double>(coded_bytes) / kEvents;
}

// The drivers' own encode and decode windows (manual time).
template <bool kContext>
void windows(benchmark::State& state, bool decode) {
  std::uint64_t bytes = 0;
  for (auto _ : state) {
    const ovk::CompressOutput out =
        (kContext ? ovk::compress_events_context : ovk::compress_events)(recording(), kWidth,
                                                                          kHeight, kBins, kDepth)
            .value();
    bytes = out.record.bitstream_bytes;
    state.SetIterationTime(static_cast<double>(decode ? out.record.decode_us
                                                      : out.record.encode_us) /
                           1e6);
  }
  set_counters(state, bytes);
}

void BM_EncodeWindowStatic(benchmark::State& s) { windows<false>(s, false); }
void BM_EncodeWindowContext(benchmark::State& s) { windows<true>(s, false); }
void BM_DecodeWindowStatic(benchmark::State& s) { windows<false>(s, true); }
void BM_DecodeWindowContext(benchmark::State& s) { windows<true>(s, true); }

// The encode window's steps as the drivers run them (cells, tree bits, the
// coding into fresh buffers), timed in CPU time: on a loaded machine the
// windows' wall time above also counts other processes.
template <bool kContext>
void encode_steps(benchmark::State& state) {
  const ovk::GridGeometry g(kWidth, kHeight, kBins);
  std::uint64_t bytes = 0;
  for (auto _ : state) {
    const ovk::PackedBits bits = [&] {  // the keys gone before the coding, as the drivers do
      const std::vector<std::uint64_t> keys = ovk::occupied_cell_keys(recording(), g, kBins).value();
      return ovk::encode_tree_bits(keys, g, kDepth).value();
    }();
    const std::vector<std::uint8_t> code =
        kContext ? ovk::context_encode_tree(bits.bytes, bits.bit_count, layout())
                 : ovk::rans_encode_bits(bits.bytes, bits.bit_count);
    bytes = code.size();
    benchmark::DoNotOptimize(code.data());
  }
  set_counters(state, bytes);
}

void BM_EncodeStepsStatic(benchmark::State& s) { encode_steps<false>(s); }
void BM_EncodeStepsContext(benchmark::State& s) { encode_steps<true>(s); }

void BM_CoderEncodeStatic(benchmark::State& state) {
  std::vector<std::uint8_t> code;
  for (auto _ : state) {
    code = ovk::rans_encode_bits(tree_bits().bytes, tree_bits().bit_count);
    benchmark::DoNotOptimize(code.data());
  }
  set_counters(state, code.size());
}

void BM_CoderEncodeContext(benchmark::State& state) {
  ovk::ContextCoderScratch scratch;
  std::vector<std::uint8_t> code;
  for (auto _ : state) {
    ovk::context_encode_tree_into(tree_bits().bytes, tree_bits().bit_count, layout(), scratch,
                                  code);
    benchmark::DoNotOptimize(code.data());
  }
  set_counters(state, code.size());
}

void BM_CoderDecodeStatic(benchmark::State& state) {
  const std::vector<std::uint8_t> code =
      ovk::rans_encode_bits(tree_bits().bytes, tree_bits().bit_count);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ovk::rans_decode_bits(code, tree_bits().bit_count).data());
  }
  set_counters(state, code.size());
}

void BM_CoderDecodeContext(benchmark::State& state) {
  const std::vector<std::uint8_t> code =
      ovk::context_encode_tree(tree_bits().bytes, tree_bits().bit_count, layout());
  ovk::ContextCoderScratch scratch;
  ovk::PackedBits bits;
  for (auto _ : state) {
    if (!ovk::context_decode_tree_into(code, tree_bits().bit_count, layout(), scratch, bits).ok()) {
      state.SkipWithError("decode failed");
    }
    benchmark::DoNotOptimize(bits.bytes.data());
  }
  set_counters(state, code.size());
}

}  // namespace

BENCHMARK(BM_EncodeWindowStatic)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeWindowContext)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeWindowStatic)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeWindowContext)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeStepsStatic)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeStepsContext)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CoderEncodeStatic)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CoderEncodeContext)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CoderDecodeStatic)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CoderDecodeContext)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
