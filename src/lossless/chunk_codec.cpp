#include "lossless/chunk_codec.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "lossless/event_steps.h"
#include "lossless/fast_chunk.h"
#include "lossless/logistic_mix.h"
#include "lossless/range_coder.h"

namespace ovk::lossless {
namespace {

// The encoder and the decoder run the same model code; each side either
// codes the value it is given or returns the value it decodes.
struct EncodeSide {
  RangeEncoder& coder;
  static constexpr bool kDecoding = false;
  template <class Counter>
  unsigned bit(Counter& p, unsigned b) {
    coder.bit(p, b);
    return b;
  }
  std::uint64_t raw(std::uint64_t value, unsigned count) {
    coder.raw_bits(value, count);
    return value;
  }
};

// Prices the bits the model would code, in bits, without coding them or
// moving any context: how the encoder chooses between two ways of coding an
// event.
struct CostSide {
  float bits = 0;
  static constexpr bool kDecoding = false;
  template <class Counter>
  unsigned bit(Counter& p, unsigned b) {
    const std::uint32_t zero = p.zero();
    bits += price(b == 0 ? zero : kProbabilityOne - zero);
    return b;
  }
  std::uint64_t raw(std::uint64_t value, unsigned count) {
    bits += static_cast<float>(count);
    return value;
  }
  // -log2(chance / kProbabilityOne), from a table.
  static float price(std::uint32_t chance) {
    static const std::array<float, kProbabilityOne + 1> table = [] {
      std::array<float, kProbabilityOne + 1> t{};
      t[0] = 2.0F * kProbabilityBits;
      for (std::uint32_t i = 1; i <= kProbabilityOne; ++i) {
        t[i] = static_cast<float>(kProbabilityBits) - std::log2(static_cast<float>(i));
      }
      return t;
    }();
    return table[chance];
  }
};

struct DecodeSide {
  RangeDecoder& coder;
  // Why the code cannot be one the encoder made, once that is known.
  const char* damaged = nullptr;
  static constexpr bool kDecoding = true;
  template <class Counter>
  unsigned bit(Counter& p, unsigned /*unused*/) { return coder.bit(p); }
  std::uint64_t raw(std::uint64_t /*unused*/, unsigned count) { return coder.raw_bits(count); }
};

// Sets each context the model would use back to its fresh state: walking
// a coded event's position through it restores what coding it moved.
struct ResetSide {
  static constexpr bool kDecoding = false;
  template <class Counter>
  unsigned bit(Counter& p, unsigned b) {
    p = Counter{};
    return b;
  }
};

// A bit tree over `bits` bits, most significant first.
template <class Side, class Counter>
unsigned tree(Side& side, Counter* probs, unsigned bits, unsigned value) {
  unsigned node = 1;
  for (unsigned i = bits; i-- > 0;) node = (node << 1) | side.bit(probs[node], (value >> i) & 1U);
  return node - (1U << bits);
}

// A signed step coded as bit length, sign and mantissa, with kLengthBits
// bits for the length (lengths up to kMaxLength are valid).
template <class Counter, unsigned kLengthBits, unsigned kMaxLength, unsigned kLengthContexts,
          unsigned kSignContexts, unsigned kTopBits>
struct StepModel {
  std::array<std::array<Counter, 1U << kLengthBits>, kLengthContexts> lengths{};
  std::array<Counter, kLengthContexts> repeat{};
  std::array<Counter, kSignContexts> sign{};
  std::array<std::array<Counter, 1U << kTopBits>, kMaxLength + 1> top{};

  // Codes the magnitude of a step; returns it with its bit length.
  // The bit length is first coded as "the same as `previous`" or not, which
  // saves the length tree whenever the step keeps its size.
  template <class Side>
  std::uint64_t magnitude(Side& side, unsigned context, unsigned previous, std::uint64_t value,
                          unsigned& length_out) {
    const auto wanted = static_cast<unsigned>(std::bit_width(value));
    unsigned length = previous;
    if (side.bit(repeat[context], wanted == previous ? 0U : 1U) != 0) {
      length = tree(side, lengths[context].data(), kLengthBits, wanted);
    }
    if constexpr (Side::kDecoding) {
      if (length > kMaxLength) {
        side.damaged = "impossible step length";
        length = 0;
      }
    }
    length_out = length;
    if (length <= 1) return length;
    const unsigned below = length - 1;
    const unsigned top_bits = std::min(below, kTopBits);
    const unsigned rest = below - top_bits;
    const unsigned high = tree(side, top[length].data(), top_bits,
                               static_cast<unsigned>(value >> rest) & ((1U << top_bits) - 1));
    const std::uint64_t low =
        rest == 0 ? 0 : side.raw(value & ((std::uint64_t{1} << rest) - 1), rest);
    return (std::uint64_t{1} << below) | (std::uint64_t{high} << rest) | low;
  }

  // Codes a signed step given as magnitude and sign; returns it as a
  // two's-complement value in 64 bits.
  template <class Side>
  std::uint64_t step(Side& side, unsigned length_context, unsigned previous_length,
                     unsigned sign_context, std::uint64_t magnitude_value, bool negative,
                     unsigned& length_out) {
    const std::uint64_t m =
        magnitude(side, length_context, previous_length, magnitude_value, length_out);
    if (m == 0) return 0;
    const unsigned s = side.bit(sign[sign_context], negative ? 1U : 0U);
    return s ? 0 - m : m;
  }
};

// Time step: lengths 0..64; context the previous step's length.
template <class Counter>
using TimeModel = StepModel<Counter, 7, 64, 65, 2, 3>;
// Row and column steps: lengths 0..16.
constexpr unsigned kTimeBuckets = 3;
template <class Counter>
using RowModel = StepModel<Counter, 5, 16, kTimeBuckets * 17, 2, 3>;
template <class Counter>
using ColumnModel = StepModel<Counter, 5, 16, 3 * kTimeBuckets * 17, 6, 3>;

constexpr unsigned kPixelTableBits = 18;

// Polarity contexts. Version 1: whether the pixel had a polarity, and
// whether it agrees with the previous event's (4). Version 2 also: the time
// step's class (3), whether the previous event's polarity missed its
// prediction (2), the left and upper neighbours' polarities (none, agreeing
// with the prediction, not: 3 x 3) and how long ago the pixel last fired
// (not yet, up to 2^10 us, up to 2^16 us, longer: 4).
constexpr unsigned kNeighbourClasses = 9;
constexpr unsigned kAgeClasses = 4;
template <unsigned kVersion>
constexpr unsigned kPolarityContexts =
    kVersion == 1 ? 4 : 4 * kTimeBuckets * 2 * kNeighbourClasses * kAgeClasses;

template <class Counter, unsigned kVersion>
struct PolarityModel {
  std::array<Counter, kPolarityContexts<kVersion>> same{};
  std::array<Counter, kPolarityContexts<kVersion>> flipped{};
  std::array<Counter, 256> value{};
};

unsigned time_bucket(unsigned length) { return length == 0 ? 0 : (length <= 4 ? 1 : 2); }

// How a chunk codes positions: steps from the previous event, or the row and
// column themselves (for sensors whose activity sits on a few pixels).
enum class PositionMode : unsigned { kSteps = 0, kAbsolute = 1 };

constexpr unsigned kColumnHashBits = 20;

struct Pixel {
  std::uint16_t x = 0;
  std::uint16_t y = 0;
};

// Absolute positions. Versions 1 and 2: the row in a 16-bit tree, the
// column in a 16-bit tree whose nodes are told apart by row (hashed into
// 2^20 states). Version 4: the pixel in one tree of 32 levels that take a
// bit of y, then a bit of x, from the top: a quadtree over the sensor, whose
// upper nodes are shared by neighbouring rows and columns, so the activity
// of a region is learnt from every event in it (2^20 states, hashed).
constexpr unsigned kBandLevels = 4;
template <class Counter, unsigned kVersion>
struct AbsoluteModel {
  std::vector<Counter> row = std::vector<Counter>(kVersion >= 4 ? 0 : 1U << 16);
  std::vector<Counter> column = std::vector<Counter>(1U << kColumnHashBits);
  // Version 4: each level's weights over its nodes' states, and the first
  // level coded: 32 - 2w for positions of w bits (the levels above are 0).
  std::array<LogisticWeights, 32> weights{};
  unsigned first_level = 0;

  static std::uint32_t hash(unsigned node, std::uint16_t y, unsigned bits) {
    return ((node * 0x9E3779B1U) ^ (static_cast<std::uint32_t>(y) * 0x85EBCA77U)) >> (32 - bits);
  }
  // Version 1: each node of the column tree hashed with y on its own.
  // Version 2: the tree cut into bands of four levels; a band's fifteen
  // nodes under one node of its top level share a block of sixteen states
  // (one cache line) found by hashing that top node with y, and lie in it
  // by their place in the band (1 ... 15).
  static std::uint32_t column_index(unsigned node, unsigned level, std::uint16_t y) {
    if constexpr (kVersion == 1) {
      return hash(node, y, kColumnHashBits);
    } else {
      const unsigned below = level % kBandLevels;
      const unsigned top = node >> below;
      const unsigned place = (1U << below) | (node & ((1U << below) - 1));
      return (hash(top, y, kColumnHashBits - kBandLevels) << kBandLevels) | place;
    }
  }

  // Codes (x, y) in this version's trees; returns the pixel coded.
  template <class Side>
  Pixel code(Side& side, std::uint16_t x, std::uint16_t y) {
    if constexpr (kVersion >= 4) {
      return code_pixel(side, x, y);
    } else {
      Pixel out;
      out.y = code_row(side, y);
      out.x = code_column(side, x, out.y);
      return out;
    }
  }

  // Version 4: the state of the quadtree's node n with d bits below its
  // leading one, in blocks of sixteen as for the column tree, the band's top
  // node hashed alone.
  static std::uint32_t quad_index(std::uint32_t node, unsigned depth) {
    const unsigned below = depth % kBandLevels;
    const std::uint32_t top = node >> below;
    const unsigned place = (1U << below) | (node & ((1U << below) - 1));
    return (((top * 0x9E3779B1U) >> (32 - (kColumnHashBits - kBandLevels))) << kBandLevels) | place;
  }

  // Codes (x, y) as the quadtree's levels from first_level on, level l
  // taking bit 15 - l / 2 of y (l even) or of x (l odd). Returns the pixel
  // coded.
  template <class Side>
  Pixel code_pixel(Side& side, std::uint16_t x, std::uint16_t y) {
    std::uint64_t node = 1;
    for (unsigned level = first_level; level < 32; ++level) {
      const unsigned shift = 15 - level / 2;
      const unsigned b = (((level % 2 == 0) ? y : x) >> shift) & 1U;
      Counter& state = column[quad_index(static_cast<std::uint32_t>(node), level - first_level)];
      if constexpr (std::is_same_v<Side, ResetSide>) {
        node = (node << 1) | side.bit(state, b);
      } else {
        WeightedCounter<Counter> weighted(state, weights[level]);
        node = (node << 1) | side.bit(weighted, b);
      }
    }
    const std::uint64_t bits = node ^ (std::uint64_t{1} << (32 - first_level));
    Pixel out;
    for (unsigned i = 0; i < 16; ++i) {
      out.y = static_cast<std::uint16_t>(out.y | (((bits >> (2 * i + 1)) & 1U) << i));
      out.x = static_cast<std::uint16_t>(out.x | (((bits >> (2 * i)) & 1U) << i));
    }
    return out;
  }

  template <class Side>
  std::uint16_t code_row(Side& side, std::uint16_t y) {
    unsigned node = 1;
    for (unsigned i = 16; i-- > 0;) node = (node << 1) | side.bit(row[node], (y >> i) & 1U);
    return static_cast<std::uint16_t>(node - (1U << 16));
  }
  template <class Side>
  std::uint16_t code_column(Side& side, std::uint16_t x, std::uint16_t y) {
    unsigned node = 1;
    for (unsigned i = 16; i-- > 0;) {
      node = (node << 1) | side.bit(column[column_index(node, 15 - i, y)], (x >> i) & 1U);
    }
    return static_cast<std::uint16_t>(node - (1U << 16));
  }
};

// Version 2's recent pixels: whether an event is on the pixel of one of the
// last kRecentEvents events (in the context of whether the previous event
// was, and of the time step's class), and how many events back that pixel
// last fired, minus one, coded like a step's magnitude.
constexpr std::uint32_t kRecentEvents = 4096;
template <class Counter>
struct RecentModel {
  std::array<Counter, 2 * kTimeBuckets> hit{};
  StepModel<Counter, 5, 16, 2 * kTimeBuckets, 1, 3> age;
};

// The counter each version of the chunk code adapts its contexts with.
template <unsigned kVersion>
using CounterOf = std::conditional_t<kVersion == 1, ShiftCounter, TwoRateCounter>;

// The whole state of a chunk's coding: models and the previous event.
template <unsigned kVersion>
struct ChunkModel {
  using Counter = CounterOf<kVersion>;
  TimeModel<Counter> time;
  RowModel<Counter> row;
  ColumnModel<Counter> column;
  PolarityModel<Counter, kVersion> polarity;
  PositionMode mode = PositionMode::kSteps;
  std::unique_ptr<AbsoluteModel<Counter, kVersion>> absolute;
  // Last polarity plus one of each pixel (0: none yet), and (version 2) the
  // low 32 bits of its last timestamp, by the low 9 bits of x and y.
  std::vector<std::uint16_t> pixel_polarity = std::vector<std::uint16_t>(1U << kPixelTableBits);
  std::vector<std::uint32_t> pixel_time =
      std::vector<std::uint32_t>(kVersion == 1 ? 0 : 1U << kPixelTableBits);
  // Version 2's recent pixels: the pixels of the last kRecentEvents events
  // (x << 16 | y) in a ring, and for the encoder the index + 1 of the last
  // event of each pixel key.
  std::vector<std::uint32_t> recent = std::vector<std::uint32_t>(kVersion == 1 ? 0 : kRecentEvents);
  std::vector<std::uint32_t> last_event;
  std::uint32_t events_coded = 0;
  RecentModel<Counter> recent_model;
  unsigned previous_recent = 0;
  unsigned age_length = 0;
  Event64 previous{};
  unsigned time_length = 0;
  unsigned time_class = 0;
  unsigned polarity_missed = 0;
  unsigned row_length = 0;
  unsigned column_length = 0;
  unsigned column_negative = 0;

  // Back to the state of a fresh model once `coded` (every event coded since
  // the model was fresh) is coded: the small models anew; the per-pixel
  // tables and (after an absolute chunk) the absolute trees entry by entry
  // along the coded events when they are few, else whole.
  void restart(Event64Span coded) {
    const bool absolute_used = mode == PositionMode::kAbsolute;
    set_fresh(time);
    set_fresh(row);
    set_fresh(column);
    set_fresh(polarity);
    set_fresh(recent_model);
    mode = PositionMode::kSteps;
    events_coded = 0;
    previous_recent = 0;
    age_length = 0;
    previous = {};
    time_length = time_class = polarity_missed = 0;
    row_length = column_length = column_negative = 0;
    fill_fresh(recent);
    if (coded.size() < pixel_polarity.size() / 16) {
      for (const Event64& e : coded) clear_pixel(pixel_key(e.x, e.y));
    } else {
      fill_fresh(pixel_polarity);
      fill_fresh(pixel_time);
      fill_fresh(last_event);
    }
    if (absolute == nullptr || !absolute_used) return;
    absolute->weights.fill({});
    if (coded.size() < absolute->column.size() / 64) {
      ResetSide side;
      for (const Event64& e : coded) (void)absolute->code(side, e.x, e.y);
    } else {
      fill_fresh(absolute->row);
      fill_fresh(absolute->column);
    }
  }

  // Every entry of `table` as a value-initialised one, by block copies that
  // double each time (no loop of single stores).
  template <class T>
  static void fill_fresh(std::vector<T>& table) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (table.empty()) return;
    table[0] = T{};
    for (std::size_t done = 1; done < table.size(); done *= 2) {
      std::memcpy(table.data() + done, table.data(), std::min(done, table.size() - done) * sizeof(T));
    }
  }

  // A copy of a fresh model: one block copy, where making a new one would
  // set each of its thousands of counters in turn.
  template <class Model>
  static void set_fresh(Model& model) {
    static_assert(std::is_trivially_copyable_v<Model>);
    static const Model fresh{};
    model = fresh;
  }

  void clear_pixel(std::uint32_t key) {
    pixel_polarity[key] = 0;
    if (!pixel_time.empty()) pixel_time[key] = 0;
    if (!last_event.empty()) last_event[key] = 0;
  }

  template <class Side>
  Event64 code(Side& side, const Event64& e) {
    Event64 out;
    // t
    const std::uint64_t dt = e.t - previous.t;
    unsigned t_length = 0;
    const std::uint64_t t_step =
        time.step(side, time_length, time_length, 0, magnitude_of(dt), (dt >> 63) != 0, t_length);
    out.t = previous.t + t_step;
    const unsigned bucket = time_bucket(t_length);
    time_class = bucket;
    if (kVersion == 1 || !code_recent(side, e, out)) code_position(side, e, bucket, out);
    if constexpr (kVersion >= 2) {
      recent[events_coded % kRecentEvents] = packed_pixel(out);
      ++events_coded;
      if constexpr (!Side::kDecoding) last_event[pixel_key(out.x, out.y)] = events_coded;
    }
    code_polarity(side, e, out);
    time_length = t_length;
    previous = out;
    return out;
  }

  static std::uint32_t packed_pixel(const Event64& e) {
    return (static_cast<std::uint32_t>(e.x) << 16) | e.y;
  }

  template <class Side>
  void code_position(Side& side, const Event64& e, unsigned bucket, Event64& out) {
    if (mode == PositionMode::kAbsolute) {
      const Pixel pixel = absolute->code(side, e.x, e.y);
      out.x = pixel.x;
      out.y = pixel.y;
    } else {
      code_steps(side, e, bucket, out);
    }
  }

  // The number of events since the last one on e's pixel, when that is at
  // most kRecentEvents and coding it (a one and the age) is priced below
  // coding the position (a zero and the position); else 0.
  std::uint32_t recent_age(const Event64& e) {
    const std::uint32_t last = last_event[pixel_key(e.x, e.y)];
    if (last == 0 || events_coded - last >= kRecentEvents ||
        recent[(last - 1) % kRecentEvents] != packed_pixel(e)) {
      return 0;
    }
    const std::uint32_t age = events_coded - last + 1;
    const unsigned context = previous_recent * kTimeBuckets + time_class;
    CostSide as_recent;
    as_recent.bit(recent_model.hit[context], 1);
    unsigned length = 0;
    (void)recent_model.age.magnitude(as_recent, context, age_length, age - 1, length);
    CostSide as_position;
    as_position.bit(recent_model.hit[context], 0);
    const unsigned saved[] = {row_length, column_length, column_negative};
    Event64 scratch;
    code_position(as_position, e, time_class, scratch);
    row_length = saved[0];
    column_length = saved[1];
    column_negative = saved[2];
    return as_recent.bits < as_position.bits ? age : 0;
  }

  // Version 2: whether the event is on a recent pixel and, if so, how many
  // events ago that pixel last fired (the pixel then comes from the ring).
  // Returns whether it was.
  template <class Side>
  bool code_recent(Side& side, const Event64& e, Event64& out) {
    std::uint32_t age = 0;
    if constexpr (!Side::kDecoding) age = recent_age(e);
    const unsigned context = previous_recent * kTimeBuckets + time_class;
    previous_recent = side.bit(recent_model.hit[context], age != 0 ? 1U : 0U);
    if (previous_recent == 0) return false;
    unsigned length = 0;
    const std::uint64_t back = recent_model.age.magnitude(side, context, age_length, age - 1U, length);
    age_length = length;
    if constexpr (Side::kDecoding) {
      if (back >= events_coded || back >= kRecentEvents) {
        side.damaged = "recent pixel out of range";
        return true;
      }
    }
    const std::uint32_t pixel = recent[(events_coded - 1 - back) % kRecentEvents];
    out.x = static_cast<std::uint16_t>(pixel >> 16);
    out.y = static_cast<std::uint16_t>(pixel);
    return true;
  }

  template <class Side>
  void code_steps(Side& side, const Event64& e, unsigned bucket, Event64& out) {
    const auto dy = static_cast<std::uint16_t>(e.y - previous.y);
    unsigned y_length = 0;
    const std::uint64_t y_step = row.step(side, bucket * 17 + row_length, row_length, 0, magnitude16(dy),
                                          (dy & 0x8000U) != 0, y_length);
    out.y = static_cast<std::uint16_t>(previous.y + y_step);
    // x
    const auto dx = static_cast<std::uint16_t>(e.x - previous.x);
    unsigned x_length = 0;
    const unsigned row_class = std::min(y_length, 2U);
    const std::uint64_t x_step =
        column.step(side, (row_class * kTimeBuckets + bucket) * 17 + column_length, column_length,
                    row_class * 2 + column_negative, magnitude16(dx), (dx & 0x8000U) != 0,
                    x_length);
    out.x = static_cast<std::uint16_t>(previous.x + x_step);
    row_length = y_length;
    column_length = x_length;
    column_negative = x_length == 0 ? column_negative : ((x_step >> 63) != 0 ? 1U : 0U);
  }

  // A neighbour's last polarity against the prediction: none, agrees, not.
  unsigned neighbour_class(std::uint16_t x, std::uint16_t y, unsigned predicted) const {
    const std::uint16_t last = pixel_polarity[pixel_key(x, y)];
    return last == 0 ? 0U : (last - 1U == predicted ? 1U : 2U);
  }

  unsigned polarity_context(const Event64& out, bool known, unsigned predicted) {
    const unsigned base = (known ? 2U : 0U) + (previous.p == predicted ? 1U : 0U);
    if constexpr (kVersion == 1) {
      return base;
    } else {
      const unsigned neighbours =
          neighbour_class(static_cast<std::uint16_t>(out.x - 1), out.y, predicted) * 3 +
          neighbour_class(out.x, static_cast<std::uint16_t>(out.y - 1), predicted);
      std::uint32_t& last_time = pixel_time[pixel_key(out.x, out.y)];
      const auto age = static_cast<unsigned>(std::bit_width(static_cast<std::uint32_t>(out.t) - last_time));
      const unsigned age_class = !known ? 0U : (age <= 10 ? 1U : (age <= 16 ? 2U : 3U));
      last_time = static_cast<std::uint32_t>(out.t);
      return (((base * kTimeBuckets + time_class) * 2 + polarity_missed) * kNeighbourClasses +
              neighbours) * kAgeClasses + age_class;
    }
  }

  template <class Side>
  void code_polarity(Side& side, const Event64& e, Event64& out) {
    std::uint16_t& last = pixel_polarity[pixel_key(out.x, out.y)];
    const unsigned predicted = last != 0 ? last - 1U : previous.p;
    const unsigned context = polarity_context(out, last != 0, predicted);
    unsigned p = e.p;
    if (side.bit(polarity.same[context], p == predicted ? 0U : 1U) == 0) {
      p = predicted;
    } else {
      const unsigned flip = predicted ^ 1U;
      if (side.bit(polarity.flipped[context], p == flip ? 0U : 1U) == 0) {
        p = flip;
      } else {
        p = tree(side, polarity.value.data(), 8, p);
      }
    }
    out.p = static_cast<std::uint8_t>(p);
    polarity_missed = p == predicted ? 0U : 1U;
    last = static_cast<std::uint16_t>(p + 1);
  }
};

}  // namespace

namespace {

// The events sampled to choose a chunk's position mode.
constexpr std::size_t kModeSample = 4096;

// The position mode (one bit at one half) and, for absolute positions in
// version 4, the bit width of x and y (5 plain bits, at most 16).
template <unsigned kVersion, class Side>
void start_chunk(Side& side, ChunkModel<kVersion>& model, PositionMode mode, unsigned width) {
  CounterOf<kVersion> half;
  model.mode = static_cast<PositionMode>(side.bit(half, static_cast<unsigned>(mode)));
  if (model.mode != PositionMode::kAbsolute) return;
  if (model.absolute == nullptr) {
    model.absolute = std::make_unique<AbsoluteModel<CounterOf<kVersion>, kVersion>>();
  }
  if constexpr (kVersion >= 4) {
    width = static_cast<unsigned>(side.raw(width, 5));
    if constexpr (Side::kDecoding) {
      if (width > 16) {
        side.damaged = "impossible position width";
        width = 16;
      }
    }
    model.absolute->first_level = 32 - 2 * width;
  }
}

// The bit width of the largest x or y of `events`.
unsigned position_width(Event64Span events) {
  unsigned either = 0;
  for (const Event64& e : events) either |= static_cast<unsigned>(e.x) | e.y;
  return static_cast<unsigned>(std::bit_width(either));
}

}  // namespace

struct ChunkScratch::Models {
  std::unique_ptr<ChunkModel<1>> v1;
  std::unique_ptr<ChunkModel<2>> v2;
  FastChunkScratch v3;
  std::unique_ptr<ChunkModel<4>> v4;

  template <unsigned kVersion>
  std::unique_ptr<ChunkModel<kVersion>>& slot() {
    if constexpr (kVersion == 1) {
      return v1;
    } else if constexpr (kVersion == 2) {
      return v2;
    } else {
      return v4;
    }
  }
};

ChunkScratch::ChunkScratch() : models_(std::make_unique<Models>()) {}
ChunkScratch::~ChunkScratch() = default;
ChunkScratch::ChunkScratch(ChunkScratch&&) noexcept = default;
ChunkScratch& ChunkScratch::operator=(ChunkScratch&&) noexcept = default;

namespace {

// The scratch's model in its fresh state (a new one when it has none: a
// model lost to an exception is simply made again).
template <unsigned kVersion>
std::unique_ptr<ChunkModel<kVersion>> take_model(ChunkScratch& scratch) {
  auto& slot = scratch.models().slot<kVersion>();
  return slot != nullptr ? std::move(slot) : std::make_unique<ChunkModel<kVersion>>();
}

// Gives a model that coded `coded` back to the scratch, fresh again.
template <unsigned kVersion>
void return_model(ChunkScratch& scratch, std::unique_ptr<ChunkModel<kVersion>> model,
                  Event64Span coded) {
  model->restart(coded);
  scratch.models().slot<kVersion>() = std::move(model);
}

// Codes `events` in `mode` after what `out` holds, for as long as
// `go_on(coded, coder)`, asked after each event, allows; returns how many
// events it coded. The code is finished only when it coded them all.
template <unsigned kVersion, class GoOn>
std::size_t encode_in_mode(Event64Span events, PositionMode mode, std::vector<std::uint8_t>& out,
                           ChunkScratch& scratch, GoOn go_on) {
  auto model = take_model<kVersion>(scratch);
  if constexpr (kVersion >= 2) {
    if (model->last_event.empty()) model->last_event.assign(std::size_t{1} << kPixelTableBits, 0);
  }
  RangeEncoder coder(out);
  EncodeSide side{coder};
  start_chunk(side, *model, mode, mode == PositionMode::kAbsolute ? position_width(events) : 0);
  std::size_t coded = 0;
  while (coded < events.size()) {
    model->code(side, events[coded]);
    ++coded;
    if (!go_on(coded, std::as_const(coder))) break;
  }
  if (coded == events.size()) coder.finish();
  return_model<kVersion>(scratch, std::move(model), events.first(coded));
  return coded;
}

// Steps, unless the chunk is smaller in absolute positions. The absolute
// code is kept only when, over the first kModeSample events, it is at most
// a tenth larger than the steps code, and over the whole chunk smaller.
// The steps code is made first, noting its size at the end of the sample
// (a coder knows the size it will finish with at any point); the absolute
// one stops as soon as either rule rules it out.
template <unsigned kVersion>
void encode_in_version(Event64Span events, std::vector<std::uint8_t>& out, ChunkScratch& scratch) {
  const std::size_t sample = std::min(events.size(), kModeSample);
  const std::size_t start = out.size();
  std::size_t steps_sample_size = 0;
  encode_in_mode<kVersion>(events, PositionMode::kSteps, out, scratch,
                           [&](std::size_t coded, const RangeEncoder& coder) {
                             if (coded == sample) steps_sample_size = coder.finished_size();
                             return true;
                           });
  const std::size_t steps_size = out.size() - start;
  std::vector<std::uint8_t> absolute;
  const std::size_t coded = encode_in_mode<kVersion>(
      events, PositionMode::kAbsolute, absolute, scratch,
      [&](std::size_t done, const RangeEncoder& coder) {
        const std::size_t size = coder.finished_size();
        if (done == sample && size * 10 > steps_sample_size * 11) return false;
        return size < steps_size;
      });
  if (coded == events.size() && absolute.size() < steps_size) {
    out.resize(start);
    out.insert(out.end(), absolute.begin(), absolute.end());
  }
}

// Decodes events[0, count) while the code allows; returns how many events
// the model coded (the last one possibly damaged) and the verdict.
template <unsigned kVersion>
Status decode_events(ChunkModel<kVersion>& model, std::span<const std::uint8_t> code,
                     Event64Vec& events, std::size_t& coded) {
  RangeDecoder coder(code);
  DecodeSide side{coder};
  start_chunk(side, model, PositionMode::kSteps, 0);
  if (side.damaged != nullptr) return Error(ErrorKind::kInvalidData, side.damaged);
  for (coded = 0; coded < events.size();) {
    events[coded] = model.code(side, Event64{});
    ++coded;
    if (side.damaged != nullptr) return Error(ErrorKind::kInvalidData, side.damaged);
    if (coder.overrun() > 0) return Error(ErrorKind::kInvalidData, "code ends before its events");
  }
  return Ok{};
}

template <unsigned kVersion>
Status decode_in_version(std::span<const std::uint8_t> code, std::size_t count,
                         Event64Vec& events, ChunkScratch& scratch) {
  return catching_out_of_memory([&]() -> Status {
    events.resize(count);
    auto model = take_model<kVersion>(scratch);
    std::size_t coded = 0;
    Status status = decode_events(*model, code, events, coded);
    return_model<kVersion>(scratch, std::move(model), Event64Span(events).first(coded));
    return status;
  });
}

void check_version(unsigned version) {
  if (version < kOldestChunkVersion || version > kNewestChunkVersion) {
    OVK_FAULT("no chunk code of version " + std::to_string(version));
  }
}

}  // namespace

void encode_chunk(Event64Span events, std::vector<std::uint8_t>& out, unsigned version,
                  ChunkScratch& scratch) {
  check_version(version);
  if (version == 1) {
    encode_in_version<1>(events, out, scratch);
  } else if (version == 2) {
    encode_in_version<2>(events, out, scratch);
  } else if (version == 4) {
    encode_in_version<4>(events, out, scratch);
  } else {
    encode_fast_chunk(events, out, scratch.models().v3);
  }
}

Status decode_chunk(std::span<const std::uint8_t> code, std::size_t count, Event64Vec& events,
                    unsigned version, ChunkScratch& scratch) {
  check_version(version);
  if (version == 3) return decode_fast_chunk(code, count, events, scratch.models().v3);
  if (version == 4) return decode_in_version<4>(code, count, events, scratch);
  return version == 1 ? decode_in_version<1>(code, count, events, scratch)
                      : decode_in_version<2>(code, count, events, scratch);
}

}  // namespace ovk::lossless
