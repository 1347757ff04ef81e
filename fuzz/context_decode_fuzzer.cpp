// The context decoder fed arbitrary codes, bit counts and geometries. Every
// input must decode or fail with a one-line kInvalidData error, never crash
// or hang; a tree it accepts must code back to the same bytes' bits.
#include <cstdint>
#include <string>

#include "codec/context_coder.h"
#include "codec/result.h"
#include "codec/tree_contexts.h"
#include "codec/voxel_grid.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ovk::fuzz::FuzzInput in(data, size);
  const auto width = in.take<std::uint16_t>();
  const auto height = in.take<std::uint16_t>();
  const auto bins = in.take<std::uint16_t>();
  const auto depth = static_cast<std::uint8_t>(in.take<std::uint8_t>() % 20);
  const auto raw_bits = in.take<std::uint16_t>();
  const auto code = in.rest();
  // Bit counts within what the code can carry, as the file reader insists.
  const std::uint64_t most = ovk::max_context_bits(code.size());
  const std::uint64_t bit_count = most == 0 ? raw_bits : 1 + raw_bits % most;
  const ovk::ContextLayout layout(ovk::GridGeometry(width, height, bins), depth);
  const ovk::Result<ovk::PackedBits> bits = ovk::context_decode_tree(code, bit_count, layout);
  if (!bits.ok()) {
    const std::string& message = bits.error().message();
    if (bits.error().kind() != ovk::ErrorKind::kInvalidData || message.empty() ||
        message.find('\n') != std::string::npos) {
      __builtin_trap();
    }
    return 0;
  }
  // An accepted code is a tree the encoder can code again, to the same bits.
  const std::vector<std::uint8_t> again =
      ovk::context_encode_tree(bits.value().bytes, bits.value().bit_count, layout);
  const ovk::Result<ovk::PackedBits> back = ovk::context_decode_tree(again, bit_count, layout);
  if (!back.ok() || !(back.value() == bits.value())) __builtin_trap();
  return 0;
}
