// The drivers of compress.h with the context coding of the tree bits
// (context_coder.h) in place of the static rANS code: the same cells and
// tree bits, the same measurement record. Every frame of a sequence is
// context-coded on its own.
#pragma once

#include <cstdint>

#include "codec/compress.h"
#include "codec/event.h"
#include "codec/result.h"

namespace ovk {

// As compress_events: cells, tree bits, context coding (the encode window),
// then context decoding and the tree rebuilt (the decode window).
Result<CompressOutput> compress_events_context(EventSpan events, std::uint16_t width,
                                               std::uint16_t height, std::uint16_t time_bins,
                                               std::uint8_t max_depth);

// As compress_sequence, each frame context-coded on its own.
Result<SequenceOutput> compress_sequence_context(EventSpan events, std::uint16_t width,
                                                 std::uint16_t height, std::uint16_t time_bins,
                                                 std::uint8_t max_depth, std::uint64_t n_frames);

// The same two from the recording's cells (compress_cells,
// compress_sequence_cells).
Result<CompressOutput> compress_cells_context(KeySpan keys, std::uint64_t n_events,
                                              std::uint16_t width, std::uint16_t height,
                                              std::uint16_t time_bins, std::uint8_t max_depth);
Result<SequenceOutput> compress_sequence_cells_context(const FrameCells& cells,
                                                       std::uint64_t n_events, std::uint16_t width,
                                                       std::uint16_t height,
                                                       std::uint16_t time_bins,
                                                       std::uint8_t max_depth);

}  // namespace ovk
