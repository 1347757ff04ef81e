// One-call forms of the codec's encode steps for tests, fuzz targets and
// benchmarks: each makes what production makes once per geometry (the
// CellKeyer, the TreeLevels, the memory budget) and calls the production
// function that reuses it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/context_coder.h"
#include "codec/event.h"
#include "codec/memory_budget.h"
#include "codec/result.h"
#include "codec/tree_bits.h"
#include "codec/voxel_grid.h"

namespace ovk {

// The sorted, distinct keys of the cells the events occupy.
inline Result<std::vector<std::uint64_t>> occupied_cell_keys(EventSpan events,
                                                             const GridGeometry& geometry,
                                                             std::uint16_t time_bins) {
  std::vector<std::uint64_t> keys;
  OVK_RETURN_IF_ERROR(CellKeyer(geometry, time_bins).occupied_into(events, keys));
  return keys;
}

// The packed tree bits of sorted, distinct keys.
inline Result<PackedBits> encode_tree_bits(std::span<const std::uint64_t> sorted_keys,
                                           const TreeLevels& levels, std::uint64_t memory_budget) {
  PackedBits out;
  OVK_RETURN_IF_ERROR(encode_tree_bits_into(sorted_keys, levels, memory_budget, out));
  return out;
}
inline Result<PackedBits> encode_tree_bits(std::span<const std::uint64_t> sorted_keys,
                                           const GridGeometry& geometry, std::uint8_t max_depth) {
  return encode_tree_bits(sorted_keys, TreeLevels(geometry, max_depth), memory_budget_bytes());
}

// The context code of a tree's bits, and back, each with a scratch of its
// own.
inline std::vector<std::uint8_t> context_encode_tree(std::span<const std::uint8_t> bits,
                                                     std::uint64_t bit_count,
                                                     const ContextLayout& layout) {
  ContextCoderScratch scratch;
  std::vector<std::uint8_t> out;
  context_encode_tree_into(bits, bit_count, layout, scratch, out);
  return out;
}
inline Result<PackedBits> context_decode_tree(std::span<const std::uint8_t> code,
                                              std::uint64_t bit_count,
                                              const ContextLayout& layout) {
  ContextCoderScratch scratch;
  PackedBits out;
  OVK_RETURN_IF_ERROR(context_decode_tree_into(code, bit_count, layout, scratch, out));
  return out;
}

}  // namespace ovk
