// The fast chunk code (version 3): every field of every event, in order,
// as a few tokens an event coded with static per-chunk tables and rANS
// (static_rans.h), and the bits below each token's leading bits as plain
// bits. It codes and decodes several times faster than the adaptive binary
// code of versions 1 and 2, at some cost in size.
//
// Per event, relative to the event before it in the chunk (the first one to
// x = y = t = p = 0):
//   time   the step t - t_prev as a signed 64-bit number: a token of its
//          sign, bit length and the bit below the leading one, in the
//          context of the previous step's bit length (8 classes); the bits
//          below those as plain bits.
//   place  one token joining where the event is and its polarity:
//          - where: how many events back (1 ... 4,096) the event's pixel
//            last fired, as the leading bits of that count (its lower bits
//            plain), or "new";
//          - polarity: the predicted one (that earlier event's, or the
//            previous event's for a new pixel), that one with its lowest
//            bit flipped, or "other" (then its 8 bits as plain bits);
//          in the context of whether the previous event's pixel was new and
//          whether the time step is zero (4).
//   row, column (new pixels only)  the steps y - y_prev and x - x_prev
//          modulo 2^16, read as signed, as tokens like the time step's: the
//          row in the context of the time step's class (zero, up to 15 us,
//          more), the column in that of the row step's (zero, one, more) and
//          the time step's.
//
// A chunk's code: the 24 tables (time 8, place 4, row 3, column 9, in that
// order, as plain bits to a byte's end; static_rans.h has their layout),
// the rANS code's length in bytes (LEB128), the rANS code, then the plain
// bits to the end.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "codec/event.h"
#include "codec/result.h"

namespace ovk::lossless {

// The fast code's working memory, kept from chunk to chunk by a thread
// that codes many.
class FastChunkScratch {
 public:
  FastChunkScratch();
  ~FastChunkScratch();
  FastChunkScratch(FastChunkScratch&&) noexcept;
  FastChunkScratch& operator=(FastChunkScratch&&) noexcept;

  struct Tables;
  Tables& tables() { return *tables_; }

 private:
  std::unique_ptr<Tables> tables_;
};

void encode_fast_chunk(Event64Span events, std::vector<std::uint8_t>& out,
                       FastChunkScratch& scratch);

// Decodes `count` events from `code`; fails, reading nothing outside it,
// when the code is not one encode_fast_chunk makes for `count` events.
[[nodiscard]] Status decode_fast_chunk(std::span<const std::uint8_t> code, std::size_t count,
                                       Event64Vec& events, FastChunkScratch& scratch);

}  // namespace ovk::lossless
