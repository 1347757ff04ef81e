// Arbitrary events and small geometries through the whole codec: the sparse
// encoder must give exactly the reference model's tree bits, the decode half
// must rebuild a tree with one node per bit, and compress / compress_sequence
// must agree with the stages run by hand.
#include <cstdint>

#include "codec/compress.h"
#include "codec/frame_delta.h"
#include "codec/rans.h"
#include "codec/tree_bits.h"
#include "codec/voxel_grid.h"
#include "fuzz_input.h"
#include "reference_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ovk::fuzz::FuzzInput in(data, size);
  // Small geometry keeps one run fast (at most 2^8 x 2^8 x 2^6 cells).
  const auto width = static_cast<std::uint16_t>(in.take<std::uint8_t>());
  const auto height = static_cast<std::uint16_t>(in.take<std::uint8_t>());
  const auto time_bins = static_cast<std::uint16_t>(in.take<std::uint8_t>() % 65);
  const auto max_depth = in.take<std::uint8_t>();
  const std::uint64_t n_frames = in.take<std::uint8_t>() % 9;
  const auto payload = in.rest();
  ovk::EventVec events;
  for (std::size_t i = 0; i + 9 <= payload.size(); i += 9) {
    const std::uint8_t* r = payload.data() + i;
    events.push_back({static_cast<std::uint16_t>(r[0] | (r[1] << 8)),
                      static_cast<std::uint16_t>(r[2] | (r[3] << 8)),
                      static_cast<std::uint32_t>(r[4] | (r[5] << 8) | (r[6] << 16) |
                                                 (std::uint32_t{r[7]} << 24)),
                      r[8]});
  }

  const ovk::reference::Code expected =
      ovk::reference::encode(events, width, height, time_bins, max_depth);
  const ovk::PackedBits& bits = expected.bits;
  const ovk::GridGeometry geometry(width, height, time_bins);
  const auto keys = ovk::occupied_cell_keys(events, geometry, time_bins).value();
  if (ovk::encode_tree_bits(keys, geometry, max_depth).value() != bits) __builtin_trap();
  const auto stream = ovk::rans_encode_bits(bits.bytes, bits.bit_count);
  const auto decoded = ovk::rans_decode_bits(stream, bits.bit_count);
  if (decoded != bits.bytes) __builtin_trap();
  const ovk::Octree rebuilt =
      ovk::decode_tree(decoded, bits.bit_count, geometry.padded_width(), geometry.padded_height(),
                       geometry.padded_bins(), max_depth);
  if (rebuilt.nodes.size() != bits.bit_count) __builtin_trap();
  for (std::uint64_t i = 0; i < bits.bit_count; ++i)
    if ((rebuilt.nodes[i].kind != ovk::NodeKind::kEmpty) != ovk::packed_bit(bits.bytes.data(), i))
      __builtin_trap();

  const ovk::CompressOutput out =
      ovk::compress_events(events, width, height, time_bins, max_depth).value();
  if (out.bitstream != stream || out.record.n_bits != bits.bit_count ||
      out.record.sparsity != expected.sparsity) {
    __builtin_trap();
  }

  const ovk::SequenceOutput seq =
      ovk::compress_sequence(events, width, height, time_bins, max_depth, n_frames).value();
  const std::size_t expected_frames = events.empty() ? 0 : n_frames;
  if (seq.frame_codes.size() != expected_frames) __builtin_trap();
  if (n_frames == 1 && !events.empty() && seq.frame_codes[0] != stream) __builtin_trap();
  // Later frames are run-length pairs with counts 1..255.
  for (std::size_t k = 1; k < seq.frame_codes.size(); ++k) {
    const auto& code = seq.frame_codes[k];
    if (code.empty() || code.size() % 2 != 0) __builtin_trap();
    for (std::size_t i = 0; i < code.size(); i += 2)
      if (code[i] == 0) __builtin_trap();
  }
  return 0;
}
