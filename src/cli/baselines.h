// General-purpose compressors that a sweep compares the occupancy code with:
// each codes the recording's compact 9-byte records in memory.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "codec/result.h"

namespace ovk::cli {

enum class Baseline : std::uint8_t { kZstd3, kZstd19, kXz, kZlib };

// "zstd3" (zstd level 3), "zstd19" (zstd level 19), "xz" (preset 6),
// "zlib" (level 6).
std::string_view baseline_name(Baseline baseline);

// "zstd3,xz", ... in the order given, repeats dropped; "none" is the empty
// list. nullopt for an unknown name or an empty item.
std::optional<std::vector<Baseline>> parse_baselines(std::string_view text);

struct BaselineMeasure {
  Baseline baseline = Baseline::kZstd3;
  std::uint64_t compressed_bytes = 0;
  std::uint64_t us = 0;  // time spent compressing, microseconds
};

// Compresses `records` with `baseline` and times it. Fails with "out of
// memory" when the output buffer cannot be had, or with the library's message.
Result<BaselineMeasure> measure_baseline(Baseline baseline, std::span<const std::uint8_t> records);

}  // namespace ovk::cli
