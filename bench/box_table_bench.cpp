// The box table of many small frames: each frame's rows cost its boxes, not
// its padded time bins. The same rows (one box per frame, 200,000 frames) are
// written at 64 and at 65,535 time bins; the times should match.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "cell_table_shortcuts.h"
#include "codefile/code_file.h"
#include "codefile/leaf_boxes.h"

namespace {

using namespace ovk::codefile;

constexpr std::size_t kFrames = 200'000;

void BM_BoxTableOfSmallFrames(benchmark::State& state) {
  const auto bins = static_cast<std::uint16_t>(state.range(0));
  CodeFile file;
  file.geometry = {4, 4, bins, 2};
  file.frames.resize(kFrames);
  for (std::size_t k = 0; k < kFrames; ++k) {
    file.frames[k].event_count = 1;
    file.frames[k].tmin = static_cast<std::uint32_t>(10 * k);
    file.frames[k].tmax = static_cast<std::uint32_t>(10 * k + 9);
  }
  LeafBoxes boxes;
  boxes.origins = {{1, 2, 0}};
  const std::vector<LeafBoxes> frames(kFrames, boxes);
  for (auto _ : state) {
    const std::vector<std::uint8_t> csv = cells_csv(file, frames);
    benchmark::DoNotOptimize(csv.data());
  }
  state.counters["rows/s"] =
      benchmark::Counter(static_cast<double>(kFrames), benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_BoxTableOfSmallFrames)->Arg(64)->Arg(65535)->Unit(benchmark::kMillisecond);

}  // namespace
