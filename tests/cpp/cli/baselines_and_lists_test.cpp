// The sweep's baselines pinned against the compression libraries themselves,
// and the number lists of the command line.
#include <gtest/gtest.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <random>
#include <vector>

#include "cli/baselines.h"
#include "cli/cli_common.h"

namespace ovk::cli {
namespace {

// Appends one compact record (x u16, y u16, t u32, p u8, little-endian).
void put_record(std::vector<std::uint8_t>& out, std::uint16_t x, std::uint16_t y, std::uint32_t t,
                std::uint8_t p) {
  const std::uint8_t rec[9] = {static_cast<std::uint8_t>(x),       static_cast<std::uint8_t>(x >> 8),
                               static_cast<std::uint8_t>(y),       static_cast<std::uint8_t>(y >> 8),
                               static_cast<std::uint8_t>(t),       static_cast<std::uint8_t>(t >> 8),
                               static_cast<std::uint8_t>(t >> 16), static_cast<std::uint8_t>(t >> 24),
                               p};
  out.insert(out.end(), rec, rec + 9);
}

// Compact records of a recording with some structure: increasing times,
// clustered coordinates.
std::vector<std::uint8_t> sample_records() {
  std::mt19937_64 rng(21);
  std::vector<std::uint8_t> out;
  std::uint32_t t = 0;
  for (int i = 0; i < 12000; ++i) {
    const std::uint16_t x = static_cast<std::uint16_t>(100 + rng() % 40);
    const std::uint16_t y = static_cast<std::uint16_t>(60 + rng() % 30);
    t += static_cast<std::uint32_t>(rng() % 50);
    put_record(out, x, y, t, static_cast<std::uint8_t>(rng() % 2));
  }
  return out;
}

std::size_t zstd_size(const std::vector<std::uint8_t>& in, int level) {
  std::vector<std::uint8_t> out(ZSTD_compressBound(in.size()));
  const std::size_t n = ZSTD_compress(out.data(), out.size(), in.data(), in.size(), level);
  EXPECT_FALSE(ZSTD_isError(n));
  return n;
}

// The streamed size, the records handed over in pieces of `piece` bytes.
std::uint64_t measured(Baseline baseline, const std::vector<std::uint8_t>& records,
                       std::size_t piece = std::size_t{1} << 16) {
  BaselineStream stream = BaselineStream::start(baseline, records.size()).value();
  for (std::size_t at = 0; at < records.size(); at += piece) {
    const std::size_t n = std::min(piece, records.size() - at);
    EXPECT_TRUE(stream.add(std::span(records).subspan(at, n)).ok());
  }
  return stream.finish().value().compressed_bytes;
}

std::size_t xz_size(const std::vector<std::uint8_t>& in) {
  std::vector<std::uint8_t> out(lzma_stream_buffer_bound(in.size()));
  std::size_t n = 0;
  EXPECT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, in.data(), in.size(),
                                    out.data(), &n, out.size()),
            LZMA_OK);
  return n;
}

std::size_t zlib_size(const std::vector<std::uint8_t>& in) {
  uLongf n = compressBound(static_cast<uLong>(in.size()));
  std::vector<std::uint8_t> out(n);
  EXPECT_EQ(compress2(out.data(), &n, in.data(), static_cast<uLong>(in.size()), 6), Z_OK);
  return n;
}

// The one-shot size of each library on the whole records.
std::uint64_t one_shot(Baseline baseline, const std::vector<std::uint8_t>& records) {
  switch (baseline) {
    case Baseline::kZstd3:
      return zstd_size(records, 3);
    case Baseline::kZstd19:
      return zstd_size(records, 19);
    case Baseline::kXz:
      return xz_size(records);
    case Baseline::kZlib:
      return zlib_size(records);
  }
  return 0;
}

// Records that compress well (sample_records repeated), that do not
// compress at all (random bytes), and none.
std::vector<std::vector<std::uint8_t>> record_sets() {
  std::vector<std::uint8_t> repeated;
  const std::vector<std::uint8_t> sample = sample_records();
  for (int i = 0; i < 30; ++i) repeated.insert(repeated.end(), sample.begin(), sample.end());
  std::mt19937_64 rng(5);
  std::vector<std::uint8_t> noise(900'000);
  for (std::uint8_t& b : noise) b = static_cast<std::uint8_t>(rng());
  return {sample, repeated, noise, {}, {1, 2, 3, 4, 5, 6, 7, 8, 9}};
}

TEST(Baselines, ZstdLevelsArePinnedAgainstTheLibrary) {
  const std::vector<std::uint8_t> records = sample_records();
  const std::size_t level3 = zstd_size(records, 3);
  const std::size_t level19 = zstd_size(records, 19);
  ASSERT_LT(level19, level3);  // the records tell the levels apart
  EXPECT_EQ(measured(Baseline::kZstd19, records), level19);
  EXPECT_EQ(measured(Baseline::kZstd3, records), level3);
}

TEST(Baselines, XzAndZlibArePinnedAgainstTheirLibraries) {
  const std::vector<std::uint8_t> records = sample_records();
  std::vector<std::uint8_t> out(lzma_stream_buffer_bound(records.size()));
  std::size_t xz = 0;
  ASSERT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, records.data(), records.size(),
                                    out.data(), &xz, out.size()),
            LZMA_OK);
  EXPECT_EQ(measured(Baseline::kXz, records), xz);
  uLongf zlib = compressBound(static_cast<uLong>(records.size()));
  out.resize(zlib);
  ASSERT_EQ(compress2(out.data(), &zlib, records.data(), static_cast<uLong>(records.size()), 6),
            Z_OK);
  EXPECT_EQ(measured(Baseline::kZlib, records), zlib);
}

TEST(Baselines, StreamedSizesAreTheOneShotSizesWhateverThePieces) {
  for (const std::vector<std::uint8_t>& records : record_sets()) {
    for (const Baseline baseline : {Baseline::kZstd3, Baseline::kZstd19, Baseline::kXz,
                                    Baseline::kZlib}) {
      const std::uint64_t want = one_shot(baseline, records);
      for (const std::size_t piece : {std::size_t{9}, std::size_t{9} << 16, std::size_t{1} << 24}) {
        EXPECT_EQ(measured(baseline, records, piece), want)
            << baseline_name(baseline) << ", " << records.size() << " bytes in pieces of "
            << piece;
      }
    }
  }
}

// Records of random pixels on a 640 x 480 sensor at increasing times: many
// times zstd's window, so that the streaming encoder's input buffer wraps
// around (and may find other matches than the one-shot call).
std::vector<std::uint8_t> long_records(std::size_t n) {
  std::mt19937_64 rng(8);
  std::vector<std::uint8_t> out;
  out.reserve(9 * n);
  std::uint32_t t = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint16_t x = static_cast<std::uint16_t>(rng() % 640);
    const std::uint16_t y = static_cast<std::uint16_t>(rng() % 480);
    t += static_cast<std::uint32_t>(rng() % 3);
    put_record(out, x, y, t, static_cast<std::uint8_t>(rng() % 2));
  }
  return out;
}

// Far past its window, zstd is measured as its own tool streams a file: the
// same size however the records arrive, within a few bytes of the one-shot
// call, and never a window's worth of records more in memory.
TEST(Baselines, ZstdStreamedSizeFarPastItsWindowDoesNotDependOnThePieces) {
  const std::vector<std::uint8_t> records = long_records(3'000'000);  // 27 MB, 2 MB window
  const std::uint64_t streamed = measured(Baseline::kZstd3, records, std::size_t{9} << 16);
  for (const std::size_t piece : {std::size_t{4096}, std::size_t{1} << 17, std::size_t{5} << 20}) {
    EXPECT_EQ(measured(Baseline::kZstd3, records, piece), streamed) << piece;
  }
  const std::uint64_t one_shot = zstd_size(records, 3);
  EXPECT_LE(std::max(streamed, one_shot) - std::min(streamed, one_shot), one_shot / 100'000);
}

TEST(NumberLists, EmptyItemsAreRefused) {
  for (const char* text : {"", ",", "16,", ",16", "16,,64", "1-", "-4", " 16"}) {
    EXPECT_FALSE(parse_number_list(text, 1, 65535).has_value()) << '"' << text << '"';
  }
  EXPECT_EQ(parse_number_list("16,64,4-6,16", 1, 65535),
            (std::vector<std::uint64_t>{16, 64, 4, 5, 6}));
}

}  // namespace
}  // namespace ovk::cli
