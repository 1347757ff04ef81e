#include "lossless/fast_chunk.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "lossless/event_steps.h"
#include "lossless/static_rans.h"

namespace ovk::lossless {
namespace {

constexpr unsigned kTimeTable = 0;     // 8 contexts
constexpr unsigned kPlaceTable = 8;    // 4
constexpr unsigned kRowTable = 12;     // 3
constexpr unsigned kColumnTable = 15;  // 9
constexpr unsigned kTables = 24;

// Recent pixels: those of the last kRecent events. An event on one of them
// is coded by how many events back it fired, as the token of a step of
// age - 1 (kAgeTokens of them for ages up to kRecent).
constexpr std::uint32_t kRecent = 4096;
constexpr unsigned kAgeTokens = 24;
constexpr unsigned kNewPlace = kAgeTokens;
constexpr unsigned kPolarityClasses = 3;  // predicted, lowest bit flipped, other
constexpr unsigned kTimeAlphabet = 255;
constexpr unsigned kPlaceAlphabet = (kAgeTokens + 1) * kPolarityClasses;
constexpr unsigned kStepAlphabet = 63;  // steps of 16 bits

constexpr unsigned alphabet_of(unsigned table) {
  return table < kPlaceTable ? kTimeAlphabet : (table < kRowTable ? kPlaceAlphabet : kStepAlphabet);
}

constexpr unsigned kPixelBits = 18;
// How many more plain bits an age may take than the steps it replaces and
// still be chosen (the steps' two tokens cost more than the age's one).
constexpr int kAgeAllowance = 3;

// A signed step's token: 0 for zero; else, for a magnitude m of bit length
// L, k = m when m = 1, else 2 (L - 1) + the bit below the leading one; the
// token is 2k - 1 for a positive step and 2k for a negative one. The L - 2
// bits below those two go as plain bits.
struct StepToken {
  unsigned symbol = 0;
  unsigned length = 0;  // L
  unsigned plain_bits = 0;
  std::uint64_t plain = 0;
};

StepToken step_token(std::uint64_t magnitude, bool negative) {
  // Without branches (whether a step is 0, 1 or longer is data): the plain
  // bits are the L - 2 below the top two (none when L < 2), the top bits
  // above them t (0, 1, 2 or 3), and k = 2 (L - 2) + t where L >= 2, k = t
  // below.
  StepToken token;
  token.length = bit_length(magnitude);
  token.plain_bits = std::max(token.length, 2U) - 2;
  const auto top = static_cast<unsigned>(magnitude >> token.plain_bits);
  const unsigned k = 2 * token.plain_bits + top;
  token.plain = magnitude & ((std::uint64_t{1} << token.plain_bits) - 1);
  token.symbol = 2 * k - static_cast<unsigned>(k != 0 && !negative);
  return token;
}

// What a token says: the magnitude's leading bits, the plain bits below
// them, its bit length and its sign; and the contexts it picks, as a time
// token (the next time token's table, the class of the row and column
// tables) and as a row token (the column table's offset for its class).
struct StepInfo {
  std::uint64_t top = 0;
  std::uint64_t sign = 0;  // all ones for a negative step
  std::uint8_t plain_bits = 0;
  std::uint8_t length = 0;
  std::uint8_t next_time_table = kTimeTable;
  std::uint8_t time_class = 0;     // 0 for a zero step, 1 up to 4 bits, 2 for longer
  std::uint8_t column_offset = 0;  // 3 x (0 for a zero step, 1 for +-1, 2 for longer)
};

constexpr std::array<StepInfo, 256> kStepInfo = [] {
  std::array<StepInfo, 256> info{};
  for (unsigned symbol = 1; symbol < kTimeAlphabet; ++symbol) {
    const unsigned k = (symbol + 1) / 2;
    StepInfo& i = info[symbol];
    i.sign = symbol % 2 == 0 ? ~std::uint64_t{0} : 0;
    i.length = 1;
    i.top = 1;
    if (k >= 2) {
      i.length = static_cast<std::uint8_t>(k / 2 + 1);
      i.plain_bits = static_cast<std::uint8_t>(i.length - 2);
      i.top = (std::uint64_t{1} << (i.length - 1)) | (std::uint64_t{k & 1U} << i.plain_bits);
    }
    i.next_time_table = static_cast<std::uint8_t>(kTimeTable + std::min(i.length, std::uint8_t{7}));
    i.time_class = i.length <= 4 ? 1 : 2;
    i.column_offset = symbol <= 2 ? 3 : 6;
  }
  return info;
}();

std::uint32_t packed(std::uint16_t x, std::uint16_t y) {
  return (static_cast<std::uint32_t>(x) << 16) | y;
}

// The recent events' pixels and polarities, in a ring: what both sides
// keep of the events before the one being coded.
struct Recent {
  std::array<std::uint32_t, kRecent> pixel{};
  std::array<std::uint8_t, kRecent> polarity{};
};

}  // namespace

struct FastChunkScratch::Tables {
  // The encoder's: the number (from 1) of each pixel's last event in the
  // chunk, modulo 2^16 (0 for none), by the low 9 bits of x and y; set back
  // to 0 after each chunk. 16 bits are enough: the ring tells whether the
  // pixel is really there as many events back as they say.
  std::vector<std::uint16_t> last_event;
  // The encoder's tokens (table << 8 | symbol) and their counts.
  std::vector<std::uint16_t> tokens;
  std::array<std::array<std::uint32_t, rans::kMaxAlphabet>, kTables> counts{};
  std::array<std::uint32_t, rans::kMaxAlphabet> frequencies{};
  std::vector<rans::DecodeTable> decode = std::vector<rans::DecodeTable>(kTables);
  Recent recent;
  // The encoder's buffers: plain bits, rANS words, each symbol's place.
  std::vector<std::uint8_t> plain;
  std::vector<std::uint16_t> words;
  std::vector<rans::EncodeSymbol> places = std::vector<rans::EncodeSymbol>(kTables << 8);

  void forget(Event64Span events) {
    if (events.size() < last_event.size() / 16) {
      for (const Event64& e : events) last_event[pixel_key(e.x, e.y)] = 0;
    } else {
      std::fill(last_event.begin(), last_event.end(), std::uint16_t{0});
    }
  }
};

FastChunkScratch::FastChunkScratch() : tables_(std::make_unique<Tables>()) {}
FastChunkScratch::~FastChunkScratch() = default;
FastChunkScratch::FastChunkScratch(FastChunkScratch&&) noexcept = default;
FastChunkScratch& FastChunkScratch::operator=(FastChunkScratch&&) noexcept = default;

namespace {

// How many events back the event's pixel last fired, when that is within
// the recent events and its plain bits are fewer than the steps' would be
// (allowing kAgeAllowance); else 0.
std::uint32_t recent_age(std::uint32_t last, std::uint32_t n, const Recent& recent,
                         std::uint32_t pixel, std::uint16_t dx, std::uint16_t dy) {
  // Selects, not branches: whether a pixel is recent is data.
  const std::uint32_t age = ((n - last) & 0xFFFFU) + 1;
  const bool there = (last != 0) & (age <= kRecent) &
                     (recent.pixel[(n - age) % kRecent] == pixel);
  const auto age_bits = static_cast<int>(bit_length(age - 1));
  const auto step_bits = static_cast<int>(bit_length(magnitude16(dx)) + bit_length(magnitude16(dy)));
  return there & (age_bits <= step_bits + kAgeAllowance) ? age : 0;
}

// Turns the events into counted tokens and plain bits (into t.plain);
// returns how many tokens.
std::size_t tokenise(Event64Span events, FastChunkScratch::Tables& t) {
  std::uint16_t* tokens = t.tokens.data();
  std::uint16_t* last_event = t.last_event.data();
  auto& counts = t.counts;
  Recent& recent = t.recent;
  t.plain.clear();
  rans::BitWriter plain(t.plain);
  std::size_t n_tokens = 0;
  const auto emit = [&](unsigned table, unsigned symbol) {
    tokens[n_tokens++] = static_cast<std::uint16_t>((table << 8) | symbol);
    ++counts[table][symbol];
  };
  Event64 previous{};
  unsigned time_table = kTimeTable;
  unsigned known = 0;
  for (std::uint32_t n = 0; n < events.size(); ++n) {
    const Event64 e = events[n];
    const std::uint64_t dt = e.t - previous.t;
    const StepToken time = step_token(magnitude_of(dt), (dt >> 63) != 0);
    emit(time_table, time.symbol);
    plain.put(time.plain, time.plain_bits);

    const std::uint32_t pixel = packed(e.x, e.y);
    const std::uint32_t key = pixel_key(e.x, e.y);
    const auto dy = static_cast<std::uint16_t>(e.y - previous.y);
    const auto dx = static_cast<std::uint16_t>(e.x - previous.x);
    const std::uint32_t age = recent_age(last_event[key], n, recent, pixel, dx, dy);
    const unsigned predicted = age != 0 ? recent.polarity[(n - age) % kRecent] : previous.p;
    // 0: as predicted; 1: its low bit flipped; 2: another value.
    const unsigned polarity = std::min(e.p ^ predicted, 2U);
    const unsigned place_table = kPlaceTable + known * 2 + (time.symbol == 0 ? 1U : 0U);
    if (age != 0) {
      const StepToken back = step_token(age - 1U, false);
      emit(place_table, (back.symbol + 1) / 2 * kPolarityClasses + polarity);
      plain.put(back.plain, back.plain_bits);
    } else {
      emit(place_table, kNewPlace * kPolarityClasses + polarity);
      const unsigned tc = kStepInfo[time.symbol].time_class;
      const StepToken row = step_token(magnitude16(dy), (dy & 0x8000U) != 0);
      emit(kRowTable + tc, row.symbol);
      plain.put(row.plain, row.plain_bits);
      const StepToken column = step_token(magnitude16(dx), (dx & 0x8000U) != 0);
      emit(kColumnTable + kStepInfo[row.symbol].column_offset + tc, column.symbol);
      plain.put(column.plain, column.plain_bits);
    }
    if (polarity == 2) plain.put(e.p, 8);
    recent.pixel[n % kRecent] = pixel;
    recent.polarity[n % kRecent] = e.p;
    last_event[key] = static_cast<std::uint16_t>(n + 1);
    known = age != 0 ? 1U : 0U;
    time_table = kStepInfo[time.symbol].next_time_table;
    previous = e;
  }
  plain.finish();
  return n_tokens;
}

}  // namespace

void encode_fast_chunk(Event64Span events, std::vector<std::uint8_t>& out,
                       FastChunkScratch& scratch) {
  FastChunkScratch::Tables& t = scratch.tables();
  if (t.last_event.empty()) t.last_event.assign(std::size_t{1} << kPixelBits, 0);
  t.tokens.resize(4 * events.size());
  for (auto& c : t.counts) c.fill(0);
  const std::size_t n_tokens = tokenise(events, t);
  t.forget(events);

  std::vector<rans::EncodeSymbol>& places = t.places;
  rans::BitWriter stored(out);
  for (unsigned table = 0; table < kTables; ++table) {
    const unsigned alphabet = alphabet_of(table);
    const std::span<std::uint32_t> f(t.frequencies.data(), alphabet);
    rans::put_table(stored, std::span(t.counts[table]).first(alphabet), f);
    std::uint32_t start = 0;
    for (unsigned s = 0; s < alphabet; ++s) {
      places[(table << 8) | s] = {f[s], start};
      start += f[s];
    }
  }
  stored.finish();
  rans::Encoder coder(t.words, n_tokens);
  for (std::size_t i = n_tokens; i-- > 0;) coder.put(i, places[t.tokens[i]]);
  rans::put_varint(out, static_cast<std::uint32_t>(coder.size()));
  coder.finish(out);
  out.insert(out.end(), t.plain.begin(), t.plain.end());
}

namespace {

Error damaged(const char* why) { return Error(ErrorKind::kInvalidData, why); }

// What a place token says: the age's step token (or kNewPlace) and the
// polarity's class.
struct PlaceInfo {
  std::uint8_t age_symbol = 0;
  std::uint8_t place = 0;
  std::uint8_t polarity = 0;
};
constexpr std::array<PlaceInfo, kPlaceAlphabet> kPlaceInfo = [] {
  std::array<PlaceInfo, kPlaceAlphabet> info{};
  for (unsigned token = 0; token < kPlaceAlphabet; ++token) {
    const unsigned place = token / kPolarityClasses;
    info[token].place = static_cast<std::uint8_t>(place);
    info[token].age_symbol = static_cast<std::uint8_t>(place == 0 ? 0 : 2 * place - 1);
    info[token].polarity = static_cast<std::uint8_t>(token % kPolarityClasses);
  }
  return info;
}();

// The events from their tokens (the rANS code) and plain bits. Symbols
// alternate between the coder's two states, and every event has an even
// number of them (time and place; row and column for a new pixel), so the
// time and row tokens are always state 0's and the others state 1's.
// Returns why the code is not one the encoder makes, or nothing.
const char* decode_events(const rans::DecodeTable* tables, std::span<const std::uint8_t> code,
                          std::span<const std::uint8_t> plain, std::span<Event64> events,
                          Recent& recent) {
  rans::Decoder coder(code);
  rans::BitReader bits(plain);
  const auto step = [&bits](unsigned symbol) {
    const StepInfo& info = kStepInfo[symbol];
    const std::uint64_t m = info.top | bits.get(info.plain_bits);
    return (m ^ info.sign) - info.sign;
  };
  std::uint64_t t = 0;
  std::uint16_t x = 0;
  std::uint16_t y = 0;
  unsigned p = 0;
  unsigned time_table = kTimeTable;
  unsigned known = 0;
  for (std::uint32_t n = 0; n < events.size(); ++n) {
    const unsigned time = coder.take<0>(tables[time_table]);
    const unsigned token = coder.take<1>(tables[kPlaceTable + known * 2 + (time == 0 ? 1U : 0U)]);
    coder.renormalise();
    if (time >= kTimeAlphabet || token >= kPlaceAlphabet) return "impossible token";
    t += step(time);
    const PlaceInfo place = kPlaceInfo[token];
    unsigned predicted = p;
    if (place.place != kNewPlace) {
      const std::uint64_t age = step(place.age_symbol) + 1;
      if (age > n) return "recent pixel out of range";
      const std::uint32_t back = (n - static_cast<std::uint32_t>(age)) % kRecent;
      x = static_cast<std::uint16_t>(recent.pixel[back] >> 16);
      y = static_cast<std::uint16_t>(recent.pixel[back]);
      predicted = recent.polarity[back];
      known = 1;
    } else {
      const unsigned tc = kStepInfo[time].time_class;
      const unsigned row = coder.take<0>(tables[kRowTable + tc]);
      const unsigned column = coder.take<1>(tables[kColumnTable + kStepInfo[row].column_offset + tc]);
      coder.renormalise();
      if (row >= kStepAlphabet || column >= kStepAlphabet) return "impossible token";
      y = static_cast<std::uint16_t>(y + step(row));
      x = static_cast<std::uint16_t>(x + step(column));
      known = 0;
    }
    p = predicted ^ (place.polarity & 1U);  // class 1 flips it; 2 is read below
    if (place.polarity == 2) p = static_cast<unsigned>(bits.get(8));
    recent.pixel[n % kRecent] = packed(x, y);
    recent.polarity[n % kRecent] = static_cast<std::uint8_t>(p);
    time_table = kStepInfo[time].next_time_table;
    Event64 e;
    e.x = x;
    e.y = y;
    e.t = t;
    e.p = static_cast<std::uint8_t>(p);
    events[n] = e;
  }
  if (coder.overran()) return "code ends before its events";
  if (!bits.ended_cleanly()) return "plain bits do not end with the events";
  if (!coder.ended_cleanly()) return "code does not end where its events do";
  return nullptr;
}

}  // namespace

Status decode_fast_chunk(std::span<const std::uint8_t> code, std::size_t count,
                         Event64Vec& events, FastChunkScratch& scratch) {
  return catching_out_of_memory([&]() -> Status {
    FastChunkScratch::Tables& t = scratch.tables();
    rans::BitReader stored(code);
    for (unsigned table = 0; table < kTables; ++table) {
      const unsigned alphabet = alphabet_of(table);
      const std::span<std::uint32_t> f(t.frequencies.data(), alphabet);
      OVK_ASSIGN_OR_RETURN(const bool present, rans::get_table(stored, alphabet, f));
      if (present) {
        t.decode[table].build(f);
      } else {
        t.decode[table].build_absent();
      }
    }
    // The tables end at a byte's end, the bits after the last one 0.
    if (stored.get((8 - stored.bits_read() % 8) % 8) != 0 || stored.overran()) {
      return damaged("bad frequency table");
    }
    std::size_t at = stored.bits_read() / 8;
    OVK_ASSIGN_OR_RETURN(const std::uint32_t length, rans::get_varint(code, at));
    if (length > code.size() - at) return damaged("code ends before its events");
    events.resize(count);
    const char* why = decode_events(t.decode.data(), code.subspan(at, length),
                                    code.subspan(at + length), events, t.recent);
    if (why != nullptr) return damaged(why);
    return Ok{};
  });
}

}  // namespace ovk::lossless
