// In-process throughput of the tool's streaming readers: each recording given
// on the command line is opened through the reader registry (the format its
// extension or first bytes name) and read to the end, a block at a time, as
// `ovk convert` and `ovk info` read it; nothing is written. The page cache
// holds the file after the first pass, so this is the reader's own speed.
//
//   ovk_source_bench [benchmark flags] FILE...
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "io/registry/registry.h"

namespace {

ovk::Result<std::uint64_t> drain(const std::string& path) {
  OVK_ASSIGN_OR_RETURN(ovk::io::OpenedRecording opened,
                       ovk::io::open_recording(path, nullptr, ovk::io::ReaderOptions{}));
  std::uint64_t events = 0;
  ovk::Event64Vec block;
  for (;;) {
    OVK_RETURN_IF_ERROR(opened.source->next_block(block));
    if (block.empty()) return events;
    benchmark::DoNotOptimize(block.data());
    events += block.size();
  }
}

void read_source(benchmark::State& state, const std::string& path) {
  std::uint64_t events = 0;
  for (auto _ : state) {
    ovk::Result<std::uint64_t> drained = drain(path);
    if (!drained.ok()) {
      state.SkipWithError(drained.error().message().c_str());
      return;
    }
    events = drained.value();
  }
  state.counters["Mevents/s"] = benchmark::Counter(static_cast<double>(events) / 1e6,
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: ovk_source_bench [benchmark flags] FILE...\n");
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string path = argv[i];
    benchmark::RegisterBenchmark(path.c_str(), read_source, path)
        ->Unit(benchmark::kMillisecond)
        ->MeasureProcessCPUTime();
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
