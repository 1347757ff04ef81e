// The drivers: run the occupancy codec over a whole recording (compress) or
// over consecutive time frames of it (compress_sequence), time both halves and
// report the measurement record. Pure C++; the Python layer only converts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/cell_sets.h"
#include "codec/event.h"
#include "codec/result.h"

namespace ovk {

// Bits per event of `bytes` coding `events` events (the denominator is never
// below 1): the figure of every code, the occupancy code's and the others
// it is compared with.
double bits_per_event(std::uint64_t bytes, std::uint64_t events) noexcept;

// Measurement record of one compress or compress_sequence call. Filled once.
struct CompressionRecord {
  std::uint64_t n_events = 0;
  std::uint64_t raw_bytes = 0;        // 9 bytes per event (compact record size)
  std::uint64_t bitstream_bytes = 0;  // coded bytes returned to the caller
  std::uint64_t n_bits = 0;           // tree bits before entropy coding
  std::uint64_t encode_us = 0;
  std::uint64_t decode_us = 0;
  double sparsity = 1.0;  // 1 - occupied / padded cells

  // bits_per_event(bitstream_bytes, n_events).
  double bits_per_event() const noexcept;
  // raw_bytes / bitstream_bytes; the denominator is never below 1.
  double compression_ratio() const noexcept;
};

struct CompressOutput {
  std::vector<std::uint8_t> bitstream;
  CompressionRecord record;
};

// Cells, tree bits and rANS coding, then the full decode half (to be timed).
// Time and memory follow the events and the tree, not the padded volume.
// Fails only with kOutOfMemory, judged before the tree's buffers are made.
Result<CompressOutput> compress_events(EventSpan events, std::uint16_t width, std::uint16_t height,
                                       std::uint16_t time_bins, std::uint8_t max_depth);

// compress_events from the recording's occupied cells (their sorted,
// distinct keys, as CellKeyer makes them) and its event count: the same
// code and record. The encode window starts at the keys.
Result<CompressOutput> compress_cells(KeySpan keys, std::uint64_t n_events, std::uint16_t width,
                                      std::uint16_t height, std::uint16_t time_bins,
                                      std::uint8_t max_depth);

struct SequenceOutput {
  std::vector<std::vector<std::uint8_t>> frame_codes;  // one per frame, in order
  std::vector<std::uint64_t> frame_bit_counts;         // each frame's tree bit count, in order
  CompressionRecord record;
};

// Assigns every event to one of n_frames frames by normalised timestamp; the
// factor is n_frames - 1, so with n_frames >= 2 the last frame gets exactly the
// events at the largest timestamp. Returns one frame index per event.
std::vector<std::uint64_t> split_frames(EventSpan events, std::uint64_t n_frames);

// Frame 0 through the full codec; frame k > 0 as the run-length code of the
// xor of its tree bits with frame k - 1's. Empty input or n_frames == 0 yields
// no frames, zero counters and sparsity 1.0 without reading the clock.
// Each frame costs what its own events and tree bits cost, plus a fixed
// kFrameBookkeepingBytes; an empty frame costs nothing more. Fails
// with kOutOfMemory, before any work, when n_frames frames cannot fit in
// memory, or when a frame's tree cannot.
// Memory one frame holds besides its own code until the caller has taken the
// codes: the code vector's header and bit count here, and what a caller
// wraps each code in (a bytes object and a list slot in the module, measured
// at 120 bytes). The frame-count guard multiplies it by the frame count.
inline constexpr std::uint64_t kFrameBookkeepingBytes = 128;

Result<SequenceOutput> compress_sequence(EventSpan events, std::uint16_t width,
                                         std::uint16_t height, std::uint16_t time_bins,
                                         std::uint8_t max_depth, std::uint64_t n_frames);

// compress_sequence from each frame's cells (cells.size() frames) and the
// recording's event count: the same codes and record.
Result<SequenceOutput> compress_sequence_cells(const FrameCells& cells, std::uint64_t n_events,
                                               std::uint16_t width, std::uint16_t height,
                                               std::uint16_t time_bins, std::uint8_t max_depth);

}  // namespace ovk
