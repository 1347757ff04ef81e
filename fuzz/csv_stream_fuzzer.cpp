// The streaming CSV reader against the tests' model of it on the same bytes:
// both must agree exactly. The reader's buffer is larger than any fuzz
// input, so the bytes reach it through a packet pipe: the first input byte
// picks the size of its reads, and lines are cut across refills wherever the
// packets end.
#include <cstdint>
#include <span>

#include "csv_model.h"
#include "io/recording_readers.h"
#include "packet_pipe.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> bytes(data + 1, size - 1);
  const ovk::Result<ovk::EventVec> in_memory = ovk::reference::decode_csv(bytes);

  ovk::fuzz::PacketPipe pipe;
  if (!pipe.fill(bytes, 1 + std::size_t{data[0]})) return 0;
  const ovk::Result<ovk::EventVec> streamed = ovk::io::read_csv(pipe.path());

  if (in_memory.ok() != streamed.ok()) __builtin_trap();
  if (in_memory.ok() ? in_memory.value() != streamed.value()
                     : in_memory.error().message() != streamed.error().message()) {
    __builtin_trap();
  }
  return 0;
}
