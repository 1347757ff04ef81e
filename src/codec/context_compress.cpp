#include "codec/context_compress.h"

#include "codec/context_coder.h"
#include "codec/frame_groups.h"
#include "codec/memory_budget.h"
#include "codec/octree.h"
#include "codec/sequence_driver.h"
#include "codec/stopwatch.h"
#include "codec/tree_bits.h"
#include "codec/tree_contexts.h"
#include "codec/voxel_grid.h"

namespace ovk {

namespace {

// What every frame of one geometry shares, and the buffers frames reuse.
class ContextFrameCoder {
 public:
  ContextFrameCoder(std::uint16_t width, std::uint16_t height, std::uint16_t time_bins,
                    std::uint8_t max_depth)
      : geometry_(width, height, time_bins),
        keyer_(geometry_, time_bins),
        layout_(geometry_, max_depth),
        memory_budget_(memory_budget_bytes()) {}

  // Codes the events' tree into `code`; returns the sparsity of their cells
  // and leaves the tree's bit count in bit_count().
  Result<double> encode(EventSpan events, std::vector<std::uint8_t>& code) {
    OVK_ASSIGN_OR_RETURN(const double sparsity, tree_bits_of(events));
    context_encode_tree_into(bits_.bytes, bits_.bit_count, layout_, scratch_, code);
    return sparsity;
  }
  // The same from the cells' keys (no cells: sparsity 1).
  Result<double> encode(KeySpan keys, std::vector<std::uint8_t>& code) {
    OVK_ASSIGN_OR_RETURN(const double sparsity, tree_bits_of(keys));
    context_encode_tree_into(bits_.bytes, bits_.bit_count, layout_, scratch_, code);
    return sparsity;
  }
  std::uint64_t bit_count() const noexcept { return bits_.bit_count; }

  // Decodes a code made by encode() and rebuilds its tree, as the decode
  // window does; a failure here is a fault of the coder.
  void decode(const std::vector<std::uint8_t>& code, std::uint64_t bit_count) {
    if (!context_decode_tree_into(code, bit_count, layout_, scratch_, bits_).ok()) {
      OVK_FAULT("the context coder cannot decode its own code");
    }
    decode_tree_into(bits_.bytes, bit_count, layout_.levels, tree_);
    asm volatile("" : : "g"(&tree_) : "memory");
  }

 private:
  // The cells' keys live only until the tree's bits are made: gone before
  // the walk's buffers grow, they keep the heap's peak low enough that the
  // allocator keeps it from call to call, rather than handing it back to the
  // system at the end of one and faulting it in again in the next.
  Result<double> tree_bits_of(EventSpan events) {
    std::vector<std::uint64_t> keys;
    if (!events.empty()) OVK_RETURN_IF_ERROR(keyer_.occupied_into(events, keys));
    return tree_bits_of(KeySpan(keys));
  }
  Result<double> tree_bits_of(KeySpan keys) {
    OVK_RETURN_IF_ERROR(encode_tree_bits_into(keys, layout_.levels, memory_budget_, bits_));
    return geometry_.sparsity(keys.size());
  }

  const GridGeometry geometry_;
  const CellKeyer keyer_;
  const ContextLayout layout_;
  const std::uint64_t memory_budget_;
  PackedBits bits_;
  ContextCoderScratch scratch_;
  Octree tree_;
};

// compress_events_context and compress_cells_context: `input` is the
// events or their cells.
template <class Input>
Result<CompressOutput> compress_one(Input input, std::uint64_t n_events, std::uint16_t width,
                                    std::uint16_t height, std::uint16_t time_bins,
                                    std::uint8_t max_depth) {
  return catching_out_of_memory([&]() -> Result<CompressOutput> {
    CompressOutput out;
    CompressionRecord& rec = out.record;
    rec.n_events = n_events;
    rec.raw_bytes = kCompactRecordBytes * rec.n_events;
    ContextFrameCoder coder(width, height, time_bins, max_depth);
    const Stopwatch encode_clock;
    OVK_ASSIGN_OR_RETURN(rec.sparsity, coder.encode(input, out.bitstream));
    rec.encode_us = encode_clock.elapsed_us();
    rec.n_bits = coder.bit_count();
    rec.bitstream_bytes = out.bitstream.size();
    const Stopwatch decode_clock;
    coder.decode(out.bitstream, rec.n_bits);
    rec.decode_us = decode_clock.elapsed_us();
    return out;
  });
}

// Every frame context-coded on its own, for either kind of frames.
template <class MakeFrames>
Result<SequenceOutput> sequence_of(std::uint64_t n_events, std::uint64_t n_frames,
                                   const MakeFrames& make_frames, std::uint16_t width,
                                   std::uint16_t height, std::uint16_t time_bins,
                                   std::uint8_t max_depth) {
  const auto encode = [](const auto& frames, ContextFrameCoder& coder,
                         SequenceOutput& out) -> Result<double> {
    double sparsity_sum = 0.0;
    for (std::size_t k = 0; k < frames.size(); ++k) {
      std::vector<std::uint8_t> code;
      OVK_ASSIGN_OR_RETURN(const double sparsity, coder.encode(frames.frame(k), code));
      sparsity_sum += sparsity;
      out.record.n_bits += coder.bit_count();
      out.record.bitstream_bytes += code.size();
      out.frame_bit_counts.push_back(coder.bit_count());
      out.frame_codes.push_back(std::move(code));
    }
    return sparsity_sum;
  };
  const auto decode = [](const SequenceOutput& out, ContextFrameCoder& coder) {
    for (std::size_t k = 0; k < out.frame_codes.size(); ++k)
      coder.decode(out.frame_codes[k], out.frame_bit_counts[k]);
  };
  return drive_sequence(
      n_events, n_frames, make_frames,
      [&] { return ContextFrameCoder(width, height, time_bins, max_depth); }, encode, decode);
}

}  // namespace

Result<CompressOutput> compress_events_context(EventSpan events, std::uint16_t width,
                                               std::uint16_t height, std::uint16_t time_bins,
                                               std::uint8_t max_depth) {
  return compress_one(events, events.size(), width, height, time_bins, max_depth);
}

Result<CompressOutput> compress_cells_context(KeySpan keys, std::uint64_t n_events,
                                              std::uint16_t width, std::uint16_t height,
                                              std::uint16_t time_bins, std::uint8_t max_depth) {
  return compress_one(keys, n_events, width, height, time_bins, max_depth);
}

Result<SequenceOutput> compress_sequence_context(EventSpan events, std::uint16_t width,
                                                 std::uint16_t height, std::uint16_t time_bins,
                                                 std::uint8_t max_depth, std::uint64_t n_frames) {
  return sequence_of(events.size(), n_frames, event_frames(events, n_frames), width, height,
                     time_bins, max_depth);
}

Result<SequenceOutput> compress_sequence_cells_context(const FrameCells& cells,
                                                       std::uint64_t n_events, std::uint16_t width,
                                                       std::uint16_t height,
                                                       std::uint16_t time_bins,
                                                       std::uint8_t max_depth) {
  return sequence_of(n_events, cells.size(), cell_frames(cells), width, height, time_bins,
                     max_depth);
}

}  // namespace ovk
