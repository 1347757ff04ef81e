#include "cli/baselines.h"

#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string>

namespace ovk::cli {
namespace {

constexpr int kZstdFastLevel = 3;
constexpr int kZstdStrongLevel = 19;
constexpr std::uint32_t kXzPreset = 6;
constexpr int kZlibLevel = 6;

constexpr std::array<Baseline, 4> kAllBaselines{Baseline::kZstd3, Baseline::kZstd19, Baseline::kXz,
                                                Baseline::kZlib};

Error library_error(std::string_view library, std::string_view what) {
  return Error(ErrorKind::kInvalidData, std::string(library) + " failed: " + std::string(what));
}

Result<std::size_t> run_zstd(int level, std::span<const std::uint8_t> in,
                             std::vector<std::uint8_t>& out) {
  out.resize(ZSTD_compressBound(in.size()));
  const std::size_t n = ZSTD_compress(out.data(), out.size(), in.data(), in.size(), level);
  if (ZSTD_isError(n)) return library_error("zstd", ZSTD_getErrorName(n));
  return n;
}

Result<std::size_t> run_xz(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out) {
  out.resize(lzma_stream_buffer_bound(in.size()));
  std::size_t written = 0;
  const lzma_ret ret = lzma_easy_buffer_encode(kXzPreset, LZMA_CHECK_CRC64, nullptr, in.data(),
                                               in.size(), out.data(), &written, out.size());
  if (ret == LZMA_MEM_ERROR) return Error::out_of_memory();
  if (ret != LZMA_OK) return library_error("xz", "error " + std::to_string(ret));
  return written;
}

Result<std::size_t> run_zlib(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out) {
  uLongf written = compressBound(static_cast<uLong>(in.size()));
  out.resize(written);
  const int ret =
      compress2(out.data(), &written, in.data(), static_cast<uLong>(in.size()), kZlibLevel);
  if (ret == Z_MEM_ERROR) return Error::out_of_memory();
  if (ret != Z_OK) return library_error("zlib", "error " + std::to_string(ret));
  return static_cast<std::size_t>(written);
}

Result<std::size_t> run(Baseline baseline, std::span<const std::uint8_t> in,
                        std::vector<std::uint8_t>& out) {
  switch (baseline) {
    case Baseline::kZstd3:
      return run_zstd(kZstdFastLevel, in, out);
    case Baseline::kZstd19:
      return run_zstd(kZstdStrongLevel, in, out);
    case Baseline::kXz:
      return run_xz(in, out);
    case Baseline::kZlib:
      return run_zlib(in, out);
  }
  OVK_FAULT("unknown baseline");
}

}  // namespace

std::string_view baseline_name(Baseline baseline) {
  switch (baseline) {
    case Baseline::kZstd3:
      return "zstd3";
    case Baseline::kZstd19:
      return "zstd19";
    case Baseline::kXz:
      return "xz";
    case Baseline::kZlib:
      return "zlib";
  }
  OVK_FAULT("unknown baseline");
}

std::optional<std::vector<Baseline>> parse_baselines(std::string_view text) {
  std::vector<Baseline> out;
  if (text == "none") return out;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view item = text.substr(start, comma - start);
    const auto* found = std::find_if(kAllBaselines.begin(), kAllBaselines.end(),
                                     [item](Baseline b) { return baseline_name(b) == item; });
    if (found == kAllBaselines.end()) return std::nullopt;
    if (std::find(out.begin(), out.end(), *found) == out.end()) out.push_back(*found);
    start = comma + 1;
  }
  return out;
}

Result<BaselineMeasure> measure_baseline(Baseline baseline, std::span<const std::uint8_t> records) {
  return catching_out_of_memory([&]() -> Result<BaselineMeasure> {
    std::vector<std::uint8_t> out;
    const auto start = std::chrono::steady_clock::now();
    OVK_ASSIGN_OR_RETURN(const std::size_t bytes, run(baseline, records, out));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
    return BaselineMeasure{baseline, bytes,
                           static_cast<std::uint64_t>(std::max<std::int64_t>(us, 0))};
  });
}

}  // namespace ovk::cli
