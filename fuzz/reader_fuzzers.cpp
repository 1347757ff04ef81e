// Every recording decoder fed arbitrary bytes: it must return events or an
// error, never crash, hang or read out of bounds. Built once per format with
// OVK_FUZZ_READER naming the decoder (for CSV, the line scanner through the
// tests' model of the reader).
#include <cstdint>

#include "csv_model.h"
#include "io/recording_readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const ovk::Result<ovk::EventVec> result = OVK_FUZZ_READER(bytes);
  if (result.ok()) {
    volatile std::size_t n = result.value().size();
    (void)n;
  } else if (result.error().message().empty()) {
    __builtin_trap();  // every failure carries its message
  }
  return 0;
}
