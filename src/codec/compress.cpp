#include "codec/compress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <new>
#include <stdexcept>

#include "codec/frame_delta.h"
#include "codec/octree.h"
#include "codec/rans.h"
#include "codec/stopwatch.h"
#include "codec/tree_bits.h"
#include "codec/voxel_grid.h"

namespace ovk {

double CompressionRecord::bits_per_event() const noexcept {
  return static_cast<double>(bitstream_bytes) * 8.0 /
         static_cast<double>(std::max<std::uint64_t>(n_events, 1));
}

double CompressionRecord::compression_ratio() const noexcept {
  return static_cast<double>(raw_bytes) /
         static_cast<double>(std::max<std::uint64_t>(bitstream_bytes, 1));
}

namespace {

// glibc's printf rounds the exact binary value to nearest, ties to even, and
// never switches to exponent notation for %f.
std::string fixed_two_decimals(double value) {
  const int len = std::snprintf(nullptr, 0, "%.2f", value);
  std::string out(static_cast<std::size_t>(len), '\0');
  std::snprintf(out.data(), out.size() + 1, "%.2f", value);
  return out;
}

// The decode half exists to be timed: keep the optimiser from dropping it.
template <class T>
void keep_alive(const T& value) {
  asm volatile("" : : "g"(&value) : "memory");
}

// Packed bits of the tree of a grid without events: a single empty root.
PackedBits empty_tree_bits() { return PackedBits{{0x00}, 1}; }

// Every frame costs at least a code buffer, its bookkeeping and, in the
// caller, a bytes object; refuse frame counts that cannot fit in physical
// memory before anything is allocated.
bool frame_count_fits(std::uint64_t n_frames) {
  constexpr std::uint64_t kMinBytesPerFrame = 64;
  std::uint64_t limit = std::numeric_limits<std::size_t>::max() / kMinBytesPerFrame;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page_size > 0) {
    limit = std::min(limit, static_cast<std::uint64_t>(pages) *
                                static_cast<std::uint64_t>(page_size) / kMinBytesPerFrame);
  }
  return n_frames <= limit;
}

}  // namespace

std::string format_record_repr(const CompressionRecord& record) {
  return "CompressionResult(n_events=" + std::to_string(record.n_events) +
         ", ratio=" + fixed_two_decimals(record.compression_ratio()) +
         "x, bpe=" + fixed_two_decimals(record.bits_per_event()) + ")";
}

Result<CompressOutput> compress_events(EventSpan events, std::uint16_t width, std::uint16_t height,
                                       std::uint16_t time_bins, std::uint8_t max_depth) try {
  CompressOutput out;
  CompressionRecord& rec = out.record;
  rec.n_events = events.size();
  rec.raw_bytes = 9 * rec.n_events;

  const Stopwatch encode_clock;
  OVK_ASSIGN_OR_RETURN(const VoxelGrid grid, build_voxel_grid(events, width, height, time_bins));
  rec.sparsity = grid.sparsity();
  PackedBits bits;
  {
    const Octree tree = build_octree(grid, max_depth);
    bits = serialize_tree(tree);
  }
  rec.n_bits = bits.bit_count;
  out.bitstream = rans_encode_bits(bits.bytes, bits.bit_count);
  rec.encode_us = encode_clock.elapsed_us();
  rec.bitstream_bytes = out.bitstream.size();

  const Stopwatch decode_clock;
  const std::vector<std::uint8_t> decoded = rans_decode_bits(out.bitstream, rec.n_bits);
  {
    const Octree rebuilt = decode_tree(decoded, rec.n_bits, grid.padded_width, grid.padded_height,
                                       grid.padded_bins, max_depth);
    keep_alive(rebuilt);
  }
  rec.decode_us = decode_clock.elapsed_us();
  return out;
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
} catch (const std::length_error&) {
  return Error::out_of_memory();
}

std::vector<std::uint64_t> split_frames(EventSpan events, std::uint64_t n_frames) {
  std::vector<std::uint64_t> frame_of(events.size(), 0);
  if (events.empty() || n_frames == 0) return frame_of;
  std::uint32_t tmin = events.front().t;
  std::uint32_t tmax = tmin;
  for (const Event& e : events) {
    tmin = std::min(tmin, e.t);
    tmax = std::max(tmax, e.t);
  }
  const std::uint32_t range = std::max<std::uint32_t>(tmax - tmin, 1);
  const double factor = static_cast<double>(n_frames) - 1.0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const double q = static_cast<double>(static_cast<std::uint32_t>(events[i].t - tmin)) /
                     static_cast<double>(range);
    frame_of[i] = std::min(saturating_double_to_u64(factor * q), n_frames - 1);
  }
  return frame_of;
}

Result<SequenceOutput> compress_sequence(EventSpan events, std::uint16_t width,
                                         std::uint16_t height, std::uint16_t time_bins,
                                         std::uint8_t max_depth, std::uint64_t n_frames) try {
  SequenceOutput out;
  CompressionRecord& rec = out.record;
  if (n_frames == 0 || events.empty()) return out;
  if (!frame_count_fits(n_frames)) return Error::out_of_memory();
  const std::size_t frames = static_cast<std::size_t>(n_frames);

  // Group the events by frame, keeping input order inside each frame
  // (a counting sort: offsets[k] .. offsets[k + 1] is frame k).
  std::vector<std::uint64_t> offsets(frames + 1, 0);
  EventVec grouped(events.size());
  {
    const std::vector<std::uint64_t> frame_of = split_frames(events, n_frames);
    for (const std::uint64_t f : frame_of) ++offsets[f + 1];
    for (std::size_t k = 0; k < frames; ++k) offsets[k + 1] += offsets[k];
    std::vector<std::uint64_t> cursor(offsets.begin(), offsets.end() - 1);
    for (std::size_t i = 0; i < events.size(); ++i) grouped[cursor[frame_of[i]]++] = events[i];
  }
  const EventSpan all(grouped);
  auto frame_events = [&](std::size_t k) {
    return all.subspan(offsets[k], offsets[k + 1] - offsets[k]);
  };

  out.frame_codes.reserve(frames);
  out.frame_bit_counts.reserve(frames);
  std::vector<std::uint32_t> frame_bits;
  frame_bits.reserve(frames);
  double sparsity_sum = 0.0;

  const Stopwatch encode_clock;
  std::vector<std::uint8_t> previous;  // packed tree bits of frame k - 1
  for (std::size_t k = 0; k < frames; ++k) {
    const EventSpan frame = frame_events(k);
    PackedBits bits;
    double sparsity = 1.0;
    if (frame.empty()) {
      bits = empty_tree_bits();  // what an empty grid's tree serialises to
    } else {
      OVK_ASSIGN_OR_RETURN(const VoxelGrid grid, build_voxel_grid(frame, width, height, time_bins));
      sparsity = grid.sparsity();
      bits = serialize_tree(build_octree(grid, max_depth));
    }
    std::vector<std::uint8_t> code = k == 0 ? rans_encode_bits(bits.bytes, bits.bit_count)
                                            : rle_encode(xor_delta(previous, bits.bytes));
    sparsity_sum += sparsity;
    rec.n_bits += bits.bit_count;
    rec.bitstream_bytes += code.size();
    frame_bits.push_back(static_cast<std::uint32_t>(bits.bit_count));
    out.frame_bit_counts.push_back(bits.bit_count);
    out.frame_codes.push_back(std::move(code));
    previous = std::move(bits.bytes);
  }
  rec.encode_us = encode_clock.elapsed_us();

  // The padded sizes are the same for every frame; no grid is needed to
  // learn them, so the decode window measures decoding only.
  const std::uint64_t wp = next_power_of_two(width);
  const std::uint64_t hp = next_power_of_two(height);
  const std::uint64_t tp = next_power_of_two(time_bins);
  const Stopwatch decode_clock;
  std::vector<std::uint8_t> previous_decoded;
  for (std::size_t k = 0; k < frames; ++k) {
    std::vector<std::uint8_t> decoded =
        k == 0 ? rans_decode_bits(out.frame_codes[0], frame_bits[0])
               : xor_delta(previous_decoded, rle_decode(out.frame_codes[k]));
    {
      const Octree rebuilt = decode_tree(decoded, frame_bits[k], wp, hp, tp, max_depth);
      keep_alive(rebuilt);
    }
    previous_decoded = std::move(decoded);
  }
  rec.decode_us = decode_clock.elapsed_us();

  rec.n_events = events.size();
  rec.raw_bytes = 9 * rec.n_events;
  rec.sparsity = sparsity_sum / static_cast<double>(n_frames);
  return out;
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
} catch (const std::length_error&) {
  return Error::out_of_memory();
}

}  // namespace ovk
