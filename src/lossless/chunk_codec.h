// The lossless coding of one chunk of events: every field of every event,
// in order, coded with an adaptive binary range coder whose models start
// afresh at each chunk, so a chunk decodes without any other.
//
// The code starts with the chunk's position mode (steps, or absolute rows
// and columns; the encoder keeps whichever is smaller). Then per event,
// relative to the event before it in the chunk (the first one to
// x = y = t = p = 0):
//   t  the step t - t_prev as a signed 64-bit number (unsorted, repeated and
//      wrapping timestamps are steps like any other): its magnitude's bit
//      length, in the context of the previous step's bit length; its sign,
//      when not zero; the two bits below the leading one in the context of
//      the bit length; the rest as plain bits.
//   y  (step mode; absolute mode codes y in a 16-bit tree, then x in a
//      16-bit tree whose nodes are told apart by y) the step y - y_prev modulo 2^16, read as signed: the same three parts,
//      the bit length in the context of the time step (zero, short, long) and
//      of the previous row step's bit length.
//   x  the step x - x_prev likewise, in the context of the row step's bit
//      length (zero, one, more), the time step and the previous column step.
//   p  whether it equals a prediction: the pixel's last polarity in this
//      chunk, or the previous event's when the pixel has none yet (context:
//      whether the pixel had one, and whether the two agree; version 2 adds
//      the time step's class, whether the previous event's polarity missed
//      its prediction, the left and upper neighbours' last polarities and how
//      long ago the pixel last fired); if not, whether it is the prediction
//      with its lowest bit flipped; if not, its 8 bits.
//
// Version 1 adapts its contexts with ShiftCounter, version 2 with
// TwoRateCounter (range_coder.h). Version 3 is another code altogether,
// several times faster and somewhat larger: fast_chunk.h.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "codec/event.h"
#include "codec/result.h"

namespace ovk::lossless {

inline constexpr unsigned kOldestChunkVersion = 1;
inline constexpr unsigned kNewestChunkVersion = 4;

// The models of the chunk code, kept from chunk to chunk by whoever codes
// many chunks on one thread: their tables (a few MiB) then stay allocated,
// and after each chunk only the entries that chunk touched are set back, so
// the next chunk starts from the same fresh state at a cost that follows
// its events. The code never depends on the scratch it was made with.
class ChunkScratch {
 public:
  ChunkScratch();
  ~ChunkScratch();
  ChunkScratch(ChunkScratch&&) noexcept;
  ChunkScratch& operator=(ChunkScratch&&) noexcept;

  struct Models;
  Models& models() { return *models_; }
  // A buffer for a chunk's code as read.
  std::vector<std::uint8_t>& code() { return code_; }

 private:
  std::unique_ptr<Models> models_;
  std::vector<std::uint8_t> code_;
};

// Appends the code of `events` to `out`, in the given version of the code.
void encode_chunk(Event64Span events, std::vector<std::uint8_t>& out, unsigned version,
                  ChunkScratch& scratch);

// Decodes `count` events from `code` into `events` (replacing its contents).
// Fails, without reading outside `code`, when the code is not one that
// encode_chunk makes for `count` events (an impossible step length, or the
// code ending before its events).
// A version outside kOldestChunkVersion ... kNewestChunkVersion is a fault.
[[nodiscard]] Status decode_chunk(std::span<const std::uint8_t> code, std::size_t count,
                                  Event64Vec& events, unsigned version, ChunkScratch& scratch);

}  // namespace ovk::lossless
