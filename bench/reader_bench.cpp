// Reader throughput (file to EventVec, no Python objects) on a synthetic
// 5,000,000-event recording in each format, written to a temporary folder.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "io/recording_readers.h"
#include "synthetic_recording.h"

namespace {

constexpr std::size_t kEvents = 5'000'000;

const std::filesystem::path& folder() {
  static const std::filesystem::path dir = [] {
    auto d =
        std::filesystem::temp_directory_path() / ("ovk-reader-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}

std::string file_for(const char* extension) {
  const std::string path = (folder() / (std::string("recording") + extension)).string();
  if (!std::filesystem::exists(path)) {
    static const ovk::EventVec events = ovk::bench::make_synthetic_recording(kEvents, 346, 260);
    const auto bytes = ovk::bench::encode_recording(events, path);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  return path;
}

using Reader = ovk::Result<ovk::EventVec> (*)(std::string_view, const ovk::io::Interruptions&);

void BM_Reader(benchmark::State& state, Reader reader, const char* extension) {
  const std::string path = file_for(extension);
  std::size_t n = 0;
  for (auto _ : state) {
    auto events = reader(path, ovk::io::retry_interrupted());
    if (!events.ok()) {
      state.SkipWithError(events.error().message().c_str());
      return;
    }
    n = events.value().size();
    benchmark::DoNotOptimize(events);
  }
  state.counters["events/s"] =
      benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["MB/s"] =
      benchmark::Counter(static_cast<double>(std::filesystem::file_size(path)) / 1e6,
                         benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK_CAPTURE(BM_Reader, compact, &ovk::io::read_compact, ".evb")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Reader, nmnist, &ovk::io::read_nmnist, ".bin")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Reader, aedat2, &ovk::io::read_aedat2, ".aedat")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Reader, csv, &ovk::io::read_csv, ".csv")->Unit(benchmark::kMillisecond);

struct Cleanup {
  ~Cleanup() {
    std::error_code ec;
    std::filesystem::remove_all(folder(), ec);
  }
} cleanup;

}  // namespace
