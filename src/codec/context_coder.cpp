#include "codec/context_coder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>

namespace ovk {

namespace {

constexpr std::uint32_t kProbOne = 1u << kContextProbBits;
constexpr std::uint32_t kRangeTop = 1u << 24;

// A context's state: the probability of a 0 in its top 12 bits, the number
// of bits it has seen (up to 15) in its low 4. The step toward each bit
// seen shrinks with that number, from 1/2 to 1/64: a context learns fast at
// first and then settles. p stays within 1 .. 4095. Written without
// branches: the bits are what the coder cannot predict.
//
// kAdaptStep[seen] holds the step's shift in its low byte and what `seen`
// grows by above it, so that the state moves by one add.
constexpr std::uint32_t adapt_step(unsigned shift, unsigned grows) { return shift | (grows << 8); }
constexpr std::uint32_t kAdaptStep[16] = {
    adapt_step(1, 1), adapt_step(2, 1), adapt_step(2, 1), adapt_step(3, 1),
    adapt_step(3, 1), adapt_step(3, 1), adapt_step(3, 1), adapt_step(4, 1),
    adapt_step(4, 1), adapt_step(4, 1), adapt_step(4, 1), adapt_step(4, 1),
    adapt_step(5, 1), adapt_step(5, 1), adapt_step(5, 1), adapt_step(6, 0)};

inline std::uint32_t probability(std::uint32_t state) noexcept { return state >> 4; }

// The state after `bit`, from the state s before it: p down by p >> shift
// after a 1, up by (4096 - p) >> shift after a 0.
inline std::uint16_t adapted(std::uint32_t s, bool bit) noexcept {
  const std::uint32_t p = probability(s), step = kAdaptStep[s & 15u];
  const std::uint32_t ones = 0u - std::uint32_t{bit};
  const std::uint32_t toward = (kProbOne - p) ^ ((p ^ (kProbOne - p)) & ones);
  const std::uint32_t move = ((toward >> (step & 0xFFu)) ^ ones) - ones;  // negated after a 1
  return static_cast<std::uint16_t>(s + (move << 4) + (step >> 8));
}

void reset_probabilities(std::vector<std::uint16_t>& p) {
  p.assign(kTreeContexts, kContextProbInit);
}

Error invalid(std::string message) { return {ErrorKind::kInvalidData, std::move(message)}; }

// The bytes of a range encoder, with carry propagation: `cache` holds the
// last byte not yet written (a carry may still reach it) and `pending` the
// 0xFF bytes after it. The very first byte it would write is always 0 and is
// left out. It is kept apart from the encoder's low end and range, which
// stay in registers, and is reached about once a byte of output.
class ByteSink {
 public:
  explicit ByteSink(std::vector<std::uint8_t>& out) : out_(&out) { out_->clear(); }

  // Takes the top byte of `low` (with its carry), returns what is left.
  [[gnu::noinline]] std::uint64_t shift_low(std::uint64_t low) {
    if (static_cast<std::uint32_t>(low) < 0xFF000000u || (low >> 32) != 0) {
      const std::uint8_t carry = static_cast<std::uint8_t>(low >> 32);
      std::uint8_t byte = cache_;
      do {
        emit(static_cast<std::uint8_t>(byte + carry));
        byte = 0xFF;
      } while (--pending_ != 0);
      cache_ = static_cast<std::uint8_t>(low >> 24);
    }
    ++pending_;
    return (low & 0x00FFFFFFu) << 8;
  }

 private:
  void emit(std::uint8_t byte) {
    if (first_) {
      if (byte != 0) OVK_FAULT("range coder's first byte is not zero");
      first_ = false;
      return;
    }
    out_->push_back(byte);
  }

  std::vector<std::uint8_t>* out_;
  std::uint8_t cache_ = 0;
  std::uint64_t pending_ = 1;
  bool first_ = true;
};

class RangeEncoder {
 public:
  explicit RangeEncoder(ByteSink& sink) : sink_(&sink) {}

  void encode(std::uint16_t& p, bool bit) {
    const std::uint32_t state = p;
    const std::uint32_t bound = (range_ >> kContextProbBits) * probability(state);
    const std::uint32_t ones = 0u - std::uint32_t{bit};
    low_ += bound & ones;
    range_ = bound ^ ((bound ^ (range_ - bound)) & ones);
    p = adapted(state, bit);
    while (range_ < kRangeTop) [[unlikely]] {
      range_ <<= 8;
      low_ = sink_->shift_low(low_);
    }
  }

  void finish() {
    for (int i = 0; i < 5; ++i) low_ = sink_->shift_low(low_);
  }

 private:
  ByteSink* sink_;
  std::uint64_t low_ = 0;
  std::uint32_t range_ = 0xFFFFFFFFu;
};

class RangeDecoder {
 public:
  explicit RangeDecoder(std::span<const std::uint8_t> code)
      : end_(code.data() + code.size()),
        size_(code.size()),
        ahead_(-static_cast<std::int64_t>(code.size())) {
    for (int i = 0; i < 4; ++i) value_ = (value_ << 8) | next_byte();
  }

  bool decode(std::uint16_t& p) {
    const std::uint32_t state = p;
    const std::uint32_t bound = (range_ >> kContextProbBits) * probability(state);
    const bool bit = value_ >= bound;
    const std::uint32_t ones = 0u - std::uint32_t{bit};
    value_ -= bound & ones;
    range_ = bound ^ ((bound ^ (range_ - bound)) & ones);
    p = adapted(state, bit);
    while (range_ < kRangeTop) [[unlikely]] {
      range_ <<= 8;
      value_ = (value_ << 8) | next_byte();
    }
    return bit;
  }

  // Bytes read, counting those past the end (read as zero).
  std::uint64_t consumed() const noexcept {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(size_) + ahead_);
  }

 private:
  // Counted from the end, so that a read needs one register besides the end.
  std::uint32_t next_byte() noexcept {
    const std::uint32_t byte = ahead_ < 0 ? end_[ahead_] : 0u;
    ++ahead_;
    return byte;
  }

  const std::uint8_t* end_;
  std::size_t size_;
  std::int64_t ahead_;  // the next byte's place less the size: negative while bytes are left
  std::uint32_t value_ = 0;
  std::uint32_t range_ = 0xFFFFFFFFu;
};

// 64 bits as eight bytes, most significant first.
inline std::uint64_t big_endian(std::uint64_t w) noexcept {
  if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
  return w;
}

// The encoder reads the tree's bits from a word refilled 64 bits at a time.
struct EncodingCoder {
  static constexpr bool kDecodes = false;
  std::span<const std::uint8_t> bits;
  std::uint16_t* p;
  RangeEncoder rc;
  std::uint64_t ahead = 0;  // the bits from pos to the next multiple of 64, the next one on top

  bool bit(std::uint64_t pos, const BitContext& context) {
    const bool b = take(pos);
    rc.encode(p[context.number], b);
    return b;
  }
  void forced(std::uint64_t pos) {
    if (!take(pos)) OVK_FAULT("a split node without an occupied child");
  }

 private:
  bool take(std::uint64_t pos) {
    if ((pos & 63) == 0) {
      // The last word may run past the bytes: what is missing reads as 0.
      const std::uint64_t at = pos >> 3;
      std::uint64_t w = 0;
      std::memcpy(&w, bits.data() + at, std::min<std::uint64_t>(sizeof w, bits.size() - at));
      ahead = big_endian(w);
    }
    const bool b = (ahead >> 63) != 0;
    ahead <<= 1;
    return b;
  }
};

// Each byte with its bits in reverse order.
constexpr std::array<std::uint8_t, 256> kReversed = [] {
  std::array<std::uint8_t, 256> t{};
  for (unsigned m = 0; m < 256; ++m) {
    for (unsigned i = 0; i < 8; ++i) t[m] |= static_cast<std::uint8_t>(((m >> i) & 1u) << (7 - i));
  }
  return t;
}();

// The decoder writes its bits a split at a time (DecodingCoder::coded), not
// a bit at a time: a byte store could reach anything, and every value the
// walk had loaded would have to be loaded again after it. The bytes it
// writes into hold one more than the tree's, all zero at first.
struct DecodingCoder {
  static constexpr bool kDecodes = true;
  std::uint8_t* bits;
  std::uint16_t* p;
  RangeDecoder rc;

  bool bit(std::uint64_t, const BitContext& context) { return rc.decode(p[context.number]); }
  void forced(std::uint64_t) const noexcept {}
  // The n <= 8 bits from pos on are `got`, the first in bit 0.
  void coded(std::uint64_t pos, unsigned got, unsigned n) const noexcept {
    const unsigned window = (unsigned{kReversed[got]} >> (8 - n)) << (16 - n - (pos & 7));
    std::uint8_t* const at = bits + (pos >> 3);
    at[0] = static_cast<std::uint8_t>(at[0] | (window >> 8));
    at[1] = static_cast<std::uint8_t>(at[1] | (window & 0xFFu));
  }
};

}  // namespace

std::uint64_t max_context_bits(std::uint64_t length) noexcept {
  if (length < kContextCodeMinBytes) return 0;
  constexpr std::uint64_t kPerByte = 46'000;  // 2 x 8 / log2(4096 / 4095), rounded up
  const std::uint64_t bytes = length - 2;
  return bytes > UINT64_MAX / kPerByte ? UINT64_MAX : bytes * kPerByte;
}

void context_encode_tree_into(std::span<const std::uint8_t> bits, std::uint64_t bit_count,
                              const ContextLayout& layout, ContextCoderScratch& scratch,
                              std::vector<std::uint8_t>& out) {
  if (bits.size() < packed_byte_count(bit_count)) OVK_FAULT("tree bits shorter than their count");
  reset_probabilities(scratch.probabilities);
  ByteSink sink(out);
  EncodingCoder coder{bits, scratch.probabilities.data(), RangeEncoder(sink)};
  const Result<std::uint64_t> walked = walk_tree_contexts(layout, bit_count, coder, scratch.walk);
  if (!walked.ok() || walked.value() != bit_count) OVK_FAULT("tree bits that no tree uses up");
  coder.rc.finish();
}

Status context_decode_tree_into(std::span<const std::uint8_t> code, std::uint64_t bit_count,
                                const ContextLayout& layout, ContextCoderScratch& scratch,
                                PackedBits& out) {
  if (code.size() < kContextCodeMinBytes) {
    return invalid("context code of " + std::to_string(code.size()) +
                   " bytes is shorter than its 4-byte start");
  }
  return catching_out_of_memory([&]() -> Status {
    out.bytes.assign(packed_byte_count(bit_count) + 1, 0);
    out.bit_count = bit_count;
    reset_probabilities(scratch.probabilities);
    DecodingCoder coder{out.bytes.data(), scratch.probabilities.data(), RangeDecoder(code)};
    OVK_ASSIGN_OR_RETURN(const std::uint64_t walked,
                         walk_tree_contexts(layout, bit_count, coder, scratch.walk));
    out.bytes.pop_back();
    if (walked != bit_count) {
      return invalid("the tree ends before its bit count (" + std::to_string(bit_count - walked) +
                     " left over)");
    }
    const std::uint64_t consumed = coder.rc.consumed();
    if (consumed > code.size()) {
      return invalid("context code of " + std::to_string(code.size()) +
                     " bytes ends before its bits");
    }
    if (consumed < code.size()) {
      return invalid("context code holds " + std::to_string(code.size() - consumed) +
                     " bytes after its bits");
    }
    return Ok{};
  });
}

}  // namespace ovk
