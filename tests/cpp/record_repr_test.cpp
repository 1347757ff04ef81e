// The repr text of CompressionResult, digit by digit.
#include "python/record_repr.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace ovk::python {
namespace {

TEST(CompressionRecord, PropertiesAndRepr) {
  CompressionRecord r;
  r.n_events = 1000;
  r.raw_bytes = 9000;
  r.bitstream_bytes = 600;
  EXPECT_EQ(format_record_repr(r), "CompressionResult(n_events=1000, ratio=15.00x, bpe=4.80)");
  r.raw_bytes = 7500;
  EXPECT_EQ(format_record_repr(r), "CompressionResult(n_events=1000, ratio=12.50x, bpe=4.80)");
  // Exact binary ties go to the even digit: 0.125 -> 0.12, 0.375 -> 0.38.
  r = CompressionRecord{};
  r.n_events = 64;
  r.bitstream_bytes = 1;  // bpe 0.125
  r.raw_bytes = 0;
  EXPECT_EQ(format_record_repr(r), "CompressionResult(n_events=64, ratio=0.00x, bpe=0.12)");
  r.bitstream_bytes = 3;  // bpe 0.375
  EXPECT_EQ(format_record_repr(r), "CompressionResult(n_events=64, ratio=0.00x, bpe=0.38)");
  // Large values print every digit, never an exponent.
  r.raw_bytes = std::numeric_limits<std::uint64_t>::max();
  r.bitstream_bytes = 1;
  r.n_events = 0;
  EXPECT_EQ(format_record_repr(r),
            "CompressionResult(n_events=0, ratio=18446744073709551616.00x, bpe=8.00)");
  r.bitstream_bytes = 0;
  EXPECT_EQ(r.compression_ratio(), static_cast<double>(r.raw_bytes));
}

}  // namespace
}  // namespace ovk::python
