#include "codec/compress.h"

#include <algorithm>
#include <limits>

#include "codec/frame_delta.h"
#include "codec/frame_groups.h"
#include "codec/memory_budget.h"
#include "codec/octree.h"
#include "codec/rans.h"
#include "codec/sequence_driver.h"
#include "codec/stopwatch.h"
#include "codec/tree_bits.h"
#include "codec/voxel_grid.h"

namespace ovk {

double bits_per_event(std::uint64_t bytes, std::uint64_t events) noexcept {
  return static_cast<double>(bytes) * 8.0 / static_cast<double>(std::max<std::uint64_t>(events, 1));
}

double CompressionRecord::bits_per_event() const noexcept {
  return ovk::bits_per_event(bitstream_bytes, n_events);
}

double CompressionRecord::compression_ratio() const noexcept {
  return static_cast<double>(raw_bytes) /
         static_cast<double>(std::max<std::uint64_t>(bitstream_bytes, 1));
}

namespace {

// The decode half exists to be timed: keep the optimiser from dropping it.
template <class T>
void keep_alive(const T& value) {
  asm volatile("" : : "g"(&value) : "memory");
}

// A recording's (or a frame's) tree bits and cell keys; the buffers are
// reused from one frame to the next.
struct TreeCode {
  PackedBits bits;
  std::vector<std::uint64_t> keys;
};

// Everything about one geometry and depth limit that every recording or
// frame coded with them shares, worked out once per call.
struct TreeCoder {
  TreeCoder(std::uint16_t width, std::uint16_t height, std::uint16_t time_bins,
            std::uint8_t max_depth)
      : geometry(width, height, time_bins),
        keyer(geometry, time_bins),
        levels(geometry, max_depth),
        memory_budget(memory_budget_bytes()),
        max_depth(max_depth) {}

  // Codes the events' tree into `out` and returns the sparsity of their cells.
  Result<double> code(EventSpan events, TreeCode& out) const {
    out.keys.clear();
    if (!events.empty()) OVK_RETURN_IF_ERROR(keyer.occupied_into(events, out.keys));
    return code(KeySpan(out.keys), out);
  }
  // The same from the cells' keys (no cells: sparsity 1).
  Result<double> code(KeySpan keys, TreeCode& out) const {
    OVK_RETURN_IF_ERROR(encode_tree_bits_into(keys, levels, memory_budget, out.bits));
    return geometry.sparsity(keys.size());
  }

  const GridGeometry geometry;
  const CellKeyer keyer;
  const TreeLevels levels;
  const std::uint64_t memory_budget;
  const std::uint8_t max_depth;
};

// Rebuilds the tree from its bits into `tree` (whose buffer the next frame
// reuses), as the decode half does.
void rebuild_tree(std::span<const std::uint8_t> bits, std::uint64_t bit_count,
                  const TreeCoder& coder, Octree& tree) {
  decode_tree_into(bits, bit_count, coder.levels, tree);
  keep_alive(tree);
}

}  // namespace

namespace {

// compress_events and compress_cells: `input` is the events or their cells.
template <class Input>
Result<CompressOutput> compress_one(Input input, std::uint64_t n_events, std::uint16_t width,
                                    std::uint16_t height, std::uint16_t time_bins,
                                    std::uint8_t max_depth) {
  return catching_out_of_memory([&]() -> Result<CompressOutput> {
    CompressOutput out;
    CompressionRecord& rec = out.record;
    rec.n_events = n_events;
    rec.raw_bytes = kCompactRecordBytes * rec.n_events;
    const TreeCoder coder(width, height, time_bins, max_depth);

    const Stopwatch encode_clock;
    TreeCode tree;
    OVK_ASSIGN_OR_RETURN(rec.sparsity, coder.code(input, tree));
    rec.n_bits = tree.bits.bit_count;
    out.bitstream = rans_encode_bits(tree.bits.bytes, tree.bits.bit_count);
    rec.encode_us = encode_clock.elapsed_us();
    rec.bitstream_bytes = out.bitstream.size();

    const Stopwatch decode_clock;
    Octree rebuilt;
    rebuild_tree(rans_decode_bits(out.bitstream, rec.n_bits), rec.n_bits, coder, rebuilt);
    rec.decode_us = decode_clock.elapsed_us();
    return out;
  });
}

}  // namespace

Result<CompressOutput> compress_events(EventSpan events, std::uint16_t width, std::uint16_t height,
                                       std::uint16_t time_bins, std::uint8_t max_depth) {
  return compress_one(events, events.size(), width, height, time_bins, max_depth);
}

Result<CompressOutput> compress_cells(KeySpan keys, std::uint64_t n_events, std::uint16_t width,
                                      std::uint16_t height, std::uint16_t time_bins,
                                      std::uint8_t max_depth) {
  return compress_one(keys, n_events, width, height, time_bins, max_depth);
}

std::vector<std::uint64_t> split_frames(EventSpan events, std::uint64_t n_frames) {
  std::vector<std::uint64_t> frame_of(events.size(), 0);
  if (events.empty() || n_frames == 0) return frame_of;
  const FrameSplit split(TimeScale(events), n_frames);
  for (std::size_t i = 0; i < events.size(); ++i) frame_of[i] = split.frame_of(events[i].t);
  return frame_of;
}

namespace {

// Frame 0 rANS-coded, every later frame as the run-length code of the xor of
// its tree bits with the previous frame's. Fills the codes, bit counts and
// the record's totals; returns the sum of the frames' sparsities.
// `frames` are the events' (FrameGroups) or the cells' (FrameCells).
template <class Frames>
Result<double> encode_frames(const Frames& frames, const TreeCoder& coder, SequenceOutput& out) {
  double sparsity_sum = 0.0;
  TreeCode tree;
  std::vector<std::uint8_t> previous;  // packed tree bits of frame k - 1
  XorRunLengthEncoder delta_coder;
  for (std::size_t k = 0; k < frames.size(); ++k) {
    OVK_ASSIGN_OR_RETURN(const double sparsity, coder.code(frames.frame(k), tree));
    const PackedBits& bits = tree.bits;
    std::vector<std::uint8_t> code = k == 0 ? rans_encode_bits(bits.bytes, bits.bit_count)
                                            : delta_coder.encode(previous, bits.bytes);
    sparsity_sum += sparsity;
    out.record.n_bits += bits.bit_count;
    out.record.bitstream_bytes += code.size();
    out.frame_bit_counts.push_back(bits.bit_count);
    out.frame_codes.push_back(std::move(code));
    previous.swap(tree.bits.bytes);  // the next frame writes over the older buffer
  }
  return sparsity_sum;
}

// Recovers every frame's bits from the codes, in order, and rebuilds its tree.
// Frame k's bits are those of frame k - 1 with its delta applied in place;
// the bytes never shrink, and only a frame's own bit count is read from them.
void decode_frames(const SequenceOutput& out, const TreeCoder& coder) {
  std::vector<std::uint8_t> bits;
  Octree tree;
  for (std::size_t k = 0; k < out.frame_codes.size(); ++k) {
    const std::uint64_t bit_count = out.frame_bit_counts[k];
    if (k == 0) {
      bits = rans_decode_bits(out.frame_codes[0], bit_count);
    } else {
      xor_rle_decoded(bits, out.frame_codes[k]);
    }
    rebuild_tree(bits, bit_count, coder, tree);
  }
}

// The sequence drivers' shared parts, for either kind of frames.
template <class MakeFrames>
Result<SequenceOutput> sequence_of(std::uint64_t n_events, std::uint64_t n_frames,
                                   const MakeFrames& make_frames, std::uint16_t width,
                                   std::uint16_t height, std::uint16_t time_bins,
                                   std::uint8_t max_depth) {
  return drive_sequence(
      n_events, n_frames, make_frames,
      [&] { return TreeCoder(width, height, time_bins, max_depth); },
      [](const auto& frames, const TreeCoder& coder, SequenceOutput& out) {
        return encode_frames(frames, coder, out);
      },
      decode_frames);
}

}  // namespace

Result<SequenceOutput> compress_sequence(EventSpan events, std::uint16_t width,
                                         std::uint16_t height, std::uint16_t time_bins,
                                         std::uint8_t max_depth, std::uint64_t n_frames) {
  return sequence_of(events.size(), n_frames, event_frames(events, n_frames), width, height,
                     time_bins, max_depth);
}

Result<SequenceOutput> compress_sequence_cells(const FrameCells& cells, std::uint64_t n_events,
                                               std::uint16_t width, std::uint16_t height,
                                               std::uint16_t time_bins, std::uint8_t max_depth) {
  return sequence_of(n_events, cells.size(), cell_frames(cells), width, height, time_bins,
                     max_depth);
}

}  // namespace ovk
