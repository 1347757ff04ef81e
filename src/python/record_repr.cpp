#include "python/record_repr.h"

#include <cstdio>

namespace ovk::python {
namespace {

// glibc's printf rounds the exact binary value to nearest, ties to even, and
// never switches to exponent notation for %f.
std::string fixed_two_decimals(double value) {
  const int len = std::snprintf(nullptr, 0, "%.2f", value);
  std::string out(static_cast<std::size_t>(len), '\0');
  std::snprintf(out.data(), out.size() + 1, "%.2f", value);
  return out;
}

}  // namespace

std::string format_record_repr(const CompressionRecord& record) {
  return "CompressionResult(n_events=" + std::to_string(record.n_events) +
         ", ratio=" + fixed_two_decimals(record.compression_ratio()) +
         "x, bpe=" + fixed_two_decimals(record.bits_per_event()) + ")";
}

}  // namespace ovk::python
