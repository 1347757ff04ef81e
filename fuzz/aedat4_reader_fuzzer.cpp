// The AEDAT 4.0 reader fed arbitrary bytes: header, stream XML, packet
// headers, LZ4/zstd frames and event flatbuffers. It must hand out events or
// a one-line error, never crash, hang or read out of bounds. Decompressed
// packets are limited to 1 MiB here so that bombs cost little time.
#include <cstdint>
#include <vector>

#include "io/formats/aedat4_reader.h"
#include "memory_byte_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto source = ovk::io::open_aedat4_input(
      ovk::io::memory_byte_input(std::vector<std::uint8_t>(data, data + size)), std::size_t{1} << 20);
  if (!source.ok()) {
    if (source.error().message().empty()) __builtin_trap();
    return 0;
  }
  ovk::Event64Vec block;
  for (;;) {
    const ovk::Status status = source.value()->next_block(block);
    if (!status.ok()) {
      const std::string& message = status.error().message();
      if (message.empty() || message.find('\n') != std::string::npos) __builtin_trap();
      break;
    }
    if (block.empty()) break;
    if (block.size() > ovk::io::kSourceBlockEvents) __builtin_trap();
  }
  (void)source.value()->skipped_records();
  return 0;
}
