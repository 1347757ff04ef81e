// Code file throughput on the synthetic 1,000,000-event recording (346 x 260
// sensor, 64 time bins, depth limit 10). Decoding end to end: read the file,
// verify the checksum, parse, rANS-decode and rebuild the leaf boxes (and,
// for ToNpy, build the .npy box table in memory), rated in tree bits per
// second. Encoding (code and serialise the file) against compress.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "cell_table_shortcuts.h"
#include "codec/compress.h"
#include "codefile/code_file.h"
#include "codefile/encode.h"
#include "codefile/leaf_boxes.h"
#include "cell_table_shortcuts.h"
#include "io/file_access.h"
#include "io/file_write.h"
#include "synthetic_recording.h"

namespace {

constexpr std::size_t kEvents = 1'000'000;
constexpr ovk::codefile::Geometry kGeometry{346, 260, 64, 10};

const ovk::EventVec& recording() {
  static const ovk::EventVec events =
      ovk::bench::make_synthetic_recording(kEvents, kGeometry.width, kGeometry.height);
  return events;
}

// The recording's code file, written once to the temporary folder.
struct CodedFile {
  std::string path;
  std::uint64_t bits = 0;
  std::size_t bytes = 0;
};
const CodedFile& coded_file(std::uint64_t frames) {
  static CodedFile one, many;
  CodedFile& c = frames == 1 ? one : many;
  if (c.path.empty()) {
    const auto file = ovk::codefile::encode_events(recording(), kGeometry, frames).value();
    const auto bytes = ovk::codefile::serialize_code_file(file);
    c.path = (std::filesystem::temp_directory_path() /
              ("ovk_code_file_bench_" + std::to_string(frames) + ".ovkc"))
                 .string();
    auto writer = ovk::io::AtomicFileWriter::create(c.path);
    if (!writer.ok() || !writer.value().write(bytes).ok() || !writer.value().commit().ok()) {
      std::abort();
    }
    for (const auto& f : file.frames) c.bits += f.bit_count;
    c.bytes = bytes.size();
  }
  return c;
}

void set_rates(benchmark::State& state, double bits) {
  using benchmark::Counter;
  state.counters["events/s"] = Counter(kEvents, Counter::kIsIterationInvariantRate);
  state.counters["tree_bits/s"] = Counter(bits, Counter::kIsIterationInvariantRate);
}

void decode_file(benchmark::State& state, std::uint64_t frames, bool rows) {
  const CodedFile& c = coded_file(frames);
  for (auto _ : state) {
    const auto bytes = ovk::io::read_whole_file(c.path).value();
    const auto file = ovk::codefile::parse_code_file(bytes).value();
    const auto boxes = ovk::codefile::decode_frames(file).value();
    benchmark::DoNotOptimize(boxes.data());
    if (rows) {
      benchmark::DoNotOptimize(ovk::codefile::cells_npy(file, boxes).data());
    }
  }
  set_rates(state, static_cast<double>(c.bits));
  state.counters["file_bytes"] = static_cast<double>(c.bytes);
}

void BM_DecodeFile(benchmark::State& state) { decode_file(state, 1, false); }
void BM_DecodeFileToNpy(benchmark::State& state) { decode_file(state, 1, true); }
void BM_DecodeFile10Frames(benchmark::State& state) { decode_file(state, 10, false); }

void BM_Compress(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(ovk::compress_events(recording(), kGeometry.width, kGeometry.height,
                                                  kGeometry.time_bins, kGeometry.depth));
  }
  set_rates(state, static_cast<double>(coded_file(1).bits));
}

void BM_EncodeFile(benchmark::State& state) {
  for (auto _ : state) {
    const auto file = ovk::codefile::encode_events(recording(), kGeometry, 1).value();
    benchmark::DoNotOptimize(ovk::codefile::serialize_code_file(file).data());
  }
  set_rates(state, static_cast<double>(coded_file(1).bits));
}

}  // namespace

BENCHMARK(BM_DecodeFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeFileToNpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeFile10Frames)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Compress)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeFile)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
