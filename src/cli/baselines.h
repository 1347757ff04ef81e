// General-purpose compressors that a sweep compares the occupancy code with:
// each codes the recording's compact 9-byte records in memory.
#pragma once

#include <cstdint>
#include <memory>
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

// Compresses compact records handed over in pieces, in memory that does
// not grow with them, and times it. zstd streams as its own tool streams a
// file, pledged the total: the one-shot call's size while the records fit
// its window, within a few bytes of it past that (the streaming encoder's
// buffer wraps around and can find other matches). xz's size is that of
// its one-shot stream, whose block header states the sizes.
// Fails with "out of memory" when the library cannot have its state, or
// with the library's message.
class BaselineStream {
 public:
  class Coder;

  // `total_bytes`: the size of all the records that add() will be given.
  [[nodiscard]] static Result<BaselineStream> start(Baseline baseline, std::uint64_t total_bytes);
  BaselineStream(BaselineStream&&) noexcept;
  BaselineStream& operator=(BaselineStream&&) noexcept;
  ~BaselineStream();

  [[nodiscard]] Status add(std::span<const std::uint8_t> records);
  [[nodiscard]] Result<BaselineMeasure> finish();

 private:
  BaselineStream(Baseline baseline, std::unique_ptr<Coder> coder);

  Baseline baseline_;
  std::unique_ptr<Coder> coder_;
  std::uint64_t ns_ = 0;  // time spent in the library
};

}  // namespace ovk::cli
