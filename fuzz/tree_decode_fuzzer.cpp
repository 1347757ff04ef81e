// The decode half fed arbitrary streams, bit counts, sizes and depths. A
// header the encoder never writes is an internal fault by design; anything
// else must decode without crashing or hanging.
#include <cstdint>

#include "codec/rans.h"
#include "codec/result.h"
#include "codec/tree_bits.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ovk::fuzz::FuzzInput in(data, size);
  // Bounded so one input stays fast: up to 2^16 bits, sizes up to 2^16.
  const std::uint64_t bit_count = in.take<std::uint16_t>();
  // Odd size bytes pick arbitrary sizes (the general reader), even ones
  // powers of two (the fast path, checked against the general reader).
  auto pick_size = [&in] {
    const auto raw = in.take<std::uint16_t>();
    return (raw & 1) ? std::uint64_t{1} + (raw >> 1) : std::uint64_t{1} << ((raw >> 1) % 17);
  };
  const std::uint64_t wp = pick_size(), hp = pick_size(), tp = pick_size();
  const auto max_depth = in.take<std::uint8_t>();
  const auto stream = in.rest();
  try {
    const std::vector<std::uint8_t> bits = ovk::rans_decode_bits(stream, bit_count);
    if (bits.size() != ovk::packed_byte_count(bit_count)) __builtin_trap();
    const ovk::Octree tree = ovk::decode_tree(bits, bit_count, wp, hp, tp, max_depth);
    // Every node but the root is some split node's child.
    std::uint64_t children = 0;
    for (const ovk::OctreeNode& node : tree.nodes) children += node.n_children;
    if (tree.nodes.empty() || children + 1 != tree.nodes.size()) __builtin_trap();
    if (!(tree == ovk::detail::decode_tree_any_sizes(bits, bit_count, wp, hp, tp, max_depth))) {
      __builtin_trap();
    }
    // Decoding the bytes directly as tree bits must also be safe.
    (void)ovk::decode_tree(stream, bit_count, wp, hp, tp, max_depth);
  } catch (const ovk::Fault&) {
  }
  return 0;
}
