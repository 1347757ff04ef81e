// The tree readers fed arbitrary tree bits, either as they are or as a rANS
// stream, over arbitrary geometries and depth limits. The readers production
// uses (decode_tree_into and the code file's decode_leaf_boxes) must agree
// with each other and with the test-only readers, and none may crash, hang
// or fault. The bit count is bounded by what the input's bytes can carry, so
// the work per input follows its length.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "codec/rans.h"
#include "codec/tree_bits.h"
#include "codefile/code_file.h"
#include "fuzz_input.h"
#include "tree_checks.h"

namespace {

// Tree bits allowed per byte of a rANS stream: sparse trees code to far
// fewer bits than they hold, but not without bound.
constexpr std::uint64_t kBitsPerStreamByte = 32;

// Trees larger than this take no path that smaller ones do not, only longer.
constexpr std::uint64_t kMaxBits = 1 << 14;

// A bit count from `wanted` no larger than `most` (what the input can
// carry), nor than kMaxBits or a few bits past the largest tree of the
// geometry.
std::uint64_t bounded_bit_count(std::uint16_t wanted, std::uint64_t most,
                                const ovk::codefile::Geometry& geometry) {
  most = std::min(most, kMaxBits);
  const std::uint64_t tree_bits = ovk::codefile::max_tree_bits(geometry);  // saturates
  const std::uint64_t limit = tree_bits >= most ? most : std::min(most, tree_bits + 8);
  return wanted % (limit + 1);
}

// The rANS stream's header made one the code file accepts (probability
// 1..4095, state 2^23..2^31-1), since anything else is refused before
// decoding; an accepted header is kept as it is.
std::vector<std::uint8_t> accepted_stream(std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> stream(payload.begin(), payload.end());
  std::uint32_t p0 = stream[0] | (std::uint32_t{stream[1]} << 8);
  if (p0 == 0 || p0 >= ovk::kRansScale) p0 = 1 + p0 % (ovk::kRansScale - 1);
  std::uint32_t state = 0;
  for (int k = 0; k < 4; ++k) state |= std::uint32_t{stream[2 + k]} << (8 * k);
  state &= 0x7FFFFFFFu;
  if (state < ovk::kRansLowerBound) state |= ovk::kRansLowerBound;
  stream[0] = static_cast<std::uint8_t>(p0);
  stream[1] = static_cast<std::uint8_t>(p0 >> 8);
  for (int k = 0; k < 4; ++k) stream[2 + k] = static_cast<std::uint8_t>(state >> (8 * k));
  return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ovk::fuzz::FuzzInput in(data, size);
  const bool as_rans = (in.take<std::uint8_t>() & 1) != 0;
  ovk::codefile::Geometry geometry;
  geometry.width = in.take_side();
  geometry.height = in.take_side();
  geometry.time_bins = in.take_side();
  geometry.depth = in.take_depth();
  const auto wanted = in.take<std::uint16_t>();
  const auto payload = in.rest();

  std::vector<std::uint8_t> bits;
  std::uint64_t bit_count = 0;
  if (!as_rans) {
    bit_count = bounded_bit_count(wanted, 8 * payload.size(), geometry);
    bits.assign(payload.begin(),
                payload.begin() + static_cast<std::ptrdiff_t>(ovk::packed_byte_count(bit_count)));
  } else {
    if (payload.size() < ovk::kRansHeaderBytes) return 0;
    const std::vector<std::uint8_t> stream = accepted_stream(payload);
    bit_count = bounded_bit_count(wanted, kBitsPerStreamByte * stream.size(), geometry);
    bits = ovk::rans_decode_bits(stream, bit_count);
    OVK_FUZZ_CHECK(bits.size() == ovk::packed_byte_count(bit_count));
    OVK_FUZZ_CHECK(bit_count % 8 == 0 || (bits.back() & (0xFFu >> (bit_count % 8))) == 0);
    // The encoder's stream for those bits decodes back to them.
    OVK_FUZZ_CHECK(ovk::rans_decode_bits(ovk::rans_encode_bits(bits, bit_count), bit_count) ==
                   bits);
  }
  static ovk::fuzz::DecodedTree decoded;
  ovk::fuzz::check_tree_readers(bits, bit_count, geometry, decoded);
  return 0;
}
