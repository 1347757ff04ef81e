// The sweep's baselines pinned against the compression libraries themselves,
// and the number lists of the command line.
#include <gtest/gtest.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <random>
#include <vector>

#include "cli/baselines.h"
#include "cli/cli_common.h"

namespace ovk::cli {
namespace {

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
    const std::uint8_t rec[9] = {static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(x >> 8),
                                 static_cast<std::uint8_t>(y), static_cast<std::uint8_t>(y >> 8),
                                 static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(t >> 8),
                                 static_cast<std::uint8_t>(t >> 16),
                                 static_cast<std::uint8_t>(t >> 24),
                                 static_cast<std::uint8_t>(rng() % 2)};
    out.insert(out.end(), rec, rec + 9);
  }
  return out;
}

std::size_t zstd_size(const std::vector<std::uint8_t>& in, int level) {
  std::vector<std::uint8_t> out(ZSTD_compressBound(in.size()));
  const std::size_t n = ZSTD_compress(out.data(), out.size(), in.data(), in.size(), level);
  EXPECT_FALSE(ZSTD_isError(n));
  return n;
}

std::uint64_t measured(Baseline baseline, const std::vector<std::uint8_t>& records) {
  return measure_baseline(baseline, records).value().compressed_bytes;
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

TEST(NumberLists, EmptyItemsAreRefused) {
  for (const char* text : {"", ",", "16,", ",16", "16,,64", "1-", "-4", " 16"}) {
    EXPECT_FALSE(parse_number_list(text, 1, 65535).has_value()) << '"' << text << '"';
  }
  EXPECT_EQ(parse_number_list("16,64,4-6,16", 1, 65535),
            (std::vector<std::uint64_t>{16, 64, 4, 5, 6}));
}

}  // namespace
}  // namespace ovk::cli
