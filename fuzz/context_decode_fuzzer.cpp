// The context decoder fed arbitrary codes, bit counts and geometries. Every
// input must decode or fail with a one-line kInvalidData error, never crash
// or hang; a tree it accepts must code back to the same bytes' bits.
#include <algorithm>
#include <cstdint>
#include <map>
#include <string>

#include "codec/context_coder.h"
#include "codec_shortcuts.h"
#include "codec/result.h"
#include "codec/tree_contexts.h"
#include "codec/voxel_grid.h"
#include "fuzz_input.h"

namespace {

// Tree bits allowed per byte of code: well above what trees of real
// recordings code to.
constexpr std::uint64_t kBitsPerCodeByte = 128;

// Trees larger than this take no path that smaller ones do not, only longer.
constexpr std::uint64_t kMaxBits = 1 << 14;

// The layouts of the geometries inputs asked for lately, kept as the code
// file's reader keeps one for all the frames of a file: making a layout
// (per-depth context tables) costs more than decoding a small tree.
const ovk::ContextLayout& layout_for(std::uint16_t width, std::uint16_t height,
                                     std::uint16_t bins, std::uint8_t depth) {
  static std::map<std::uint64_t, ovk::ContextLayout> kept;
  const std::uint64_t key = (std::uint64_t{width} << 40) | (std::uint64_t{height} << 24) |
                            (std::uint64_t{bins} << 8) | depth;
  if (const auto found = kept.find(key); found != kept.end()) return found->second;
  if (kept.size() >= 64) kept.clear();
  return kept.try_emplace(key, ovk::GridGeometry(width, height, bins), depth).first->second;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ovk::fuzz::FuzzInput in(data, size);
  const auto width = in.take<std::uint16_t>();
  const auto height = in.take<std::uint16_t>();
  const auto bins = in.take<std::uint16_t>();
  const auto depth = static_cast<std::uint8_t>(in.take<std::uint8_t>() % 20);
  const auto raw_bits = in.take<std::uint16_t>();
  const auto code = in.rest();
  // Bit counts within what the code can carry, as the file reader insists,
  // and within what real trees code to: the decoder walks the tree to the
  // bit count (or the tree's end) however short the code, and the
  // decoder's own bound (46,000 bits a byte) would let every short input
  // walk tens of thousands of bits.
  const std::uint64_t most = std::min(
      {ovk::max_context_bits(code.size()), kBitsPerCodeByte * code.size(), kMaxBits});
  const std::uint64_t bit_count = most == 0 ? raw_bits : 1 + raw_bits % most;
  const ovk::ContextLayout& layout = layout_for(width, height, bins, depth);
  // The probability table and walk buffers kept from input to input, as
  // the code file's reader keeps them from frame to frame: a table made
  // afresh costs more than decoding a small tree.
  static ovk::ContextCoderScratch scratch;
  ovk::PackedBits bits;
  const ovk::Status status = ovk::context_decode_tree_into(code, bit_count, layout, scratch, bits);
  if (!status.ok()) {
    const std::string& message = status.error().message();
    if (status.error().kind() != ovk::ErrorKind::kInvalidData || message.empty() ||
        message.find('\n') != std::string::npos) {
      __builtin_trap();
    }
    return 0;
  }
  // An accepted code is a tree the encoder can code again, to the same
  // bits; and the one-call decoder (a scratch of its own) agrees.
  std::vector<std::uint8_t> again;
  ovk::context_encode_tree_into(bits.bytes, bits.bit_count, layout, scratch, again);
  const ovk::Result<ovk::PackedBits> back = ovk::context_decode_tree(again, bit_count, layout);
  if (!back.ok() || !(back.value() == bits)) __builtin_trap();
  return 0;
}
