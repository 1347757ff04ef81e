// What compress_sequence and compress_sequence_context share: the guards,
// the frames, the timed encode and decode halves and the record's totals.
// Only the coding of the frames differs.
#pragma once

#include <cstdint>

#include "codec/compress.h"
#include "codec/event.h"
#include "codec/frame_groups.h"
#include "codec/memory_budget.h"
#include "codec/result.h"
#include "codec/stopwatch.h"

namespace ovk {

// make_frames() gives the frames (FrameGroups of the events, or the
// frames' cells); make_coder() builds what the frames share, under the
// out-of-memory guard; encode(frames, coder, out) codes every frame into
// out's codes and bit counts, adds to out.record's n_bits and
// bitstream_bytes and returns the sum of the frames' sparsities (the encode
// window); decode(out, coder) decodes every frame again (the decode window).
// No events or n_frames == 0 yields no frames without reading the clock;
// kOutOfMemory before any work when n_frames frames cannot fit.
template <class MakeFrames, class MakeCoder, class Encode, class Decode>
Result<SequenceOutput> drive_sequence(std::uint64_t n_events, std::uint64_t n_frames,
                                      const MakeFrames& make_frames, const MakeCoder& make_coder,
                                      const Encode& encode, const Decode& decode) {
  if (n_frames == 0 || n_events == 0) return SequenceOutput{};
  if (!fits_in_memory(n_frames, kFrameBookkeepingBytes)) return Error::out_of_memory();
  return catching_out_of_memory([&]() -> Result<SequenceOutput> {
    SequenceOutput out;
    const std::size_t n = static_cast<std::size_t>(n_frames);
    decltype(auto) frames = make_frames();
    auto coder = make_coder();
    out.frame_codes.reserve(n);
    out.frame_bit_counts.reserve(n);

    const Stopwatch encode_clock;
    OVK_ASSIGN_OR_RETURN(const double sparsity_sum, encode(frames, coder, out));
    out.record.encode_us = encode_clock.elapsed_us();

    const Stopwatch decode_clock;
    decode(out, coder);
    out.record.decode_us = decode_clock.elapsed_us();

    out.record.n_events = n_events;
    out.record.raw_bytes = kCompactRecordBytes * n_events;
    out.record.sparsity = sparsity_sum / static_cast<double>(n_frames);
    return out;
  });
}

// drive_sequence over the events' frames (FrameGroups), or over frames'
// cells: the frames each kind of input gives.
inline auto event_frames(EventSpan events, std::uint64_t n_frames) {
  return [events, n_frames] { return FrameGroups(events, static_cast<std::size_t>(n_frames)); };
}
inline auto cell_frames(const FrameCells& cells) {
  return [&cells]() -> const FrameCells& { return cells; };
}

}  // namespace ovk
