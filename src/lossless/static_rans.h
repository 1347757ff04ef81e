// A static multi-symbol rANS coder with two interleaved states, and the
// plain bit streams that go beside it: the coder of the fast chunk code
// (fast_chunk.h).
//
// Each symbol is coded with a table of frequencies that sum to kRansScale,
// made for the chunk from the symbol counts and stored ahead of its code.
//
// Constants, and why:
//  - a state is 32 bits and lives in [kRansLow, 2^32) = [2^16, 2^32); it
//    is renormalised by 16-bit words, so the encoder moves at most one word
//    per symbol and the decoder reads at most one;
//  - kRansScaleBits = 10: a decode table is a symbol byte per slot (1 KiB)
//    and a frequency and start per symbol, so the tables a chunk uses most
//    stay in the first-level cache; against 2,048 parts, 1,024 cost under
//    0.1 % in size on the larger real recordings and save on the small
//    ones, whose stored tables shrink.
//    With a frequency f <= 2^10 the encoder's bound f << (32 - 10) fits in
//    64 bits, and after decoding a state is at least 2^(16 - 10) = 64, so
//    one 16-bit read brings it back to at least 2^22 >= kRansLow;
//  - symbol i of the chunk is coded with state i mod 2, so a decoder's
//    consecutive symbols depend on different states and overlap in the CPU.
//
// Byte order: the encoder runs over the symbols backwards and writes words
// backwards; the code is then, in memory, state 0, state 1 (each as two
// little-endian 16-bit words, low word first) and the words in the order the
// decoder reads them. The decoder reads nothing outside its input: past the
// end it sees zero words and counts them.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "codec/result.h"

namespace ovk::lossless::rans {

inline constexpr unsigned kRansScaleBits = 10;
inline constexpr std::uint32_t kRansScale = 1U << kRansScaleBits;
inline constexpr std::uint32_t kRansLow = 1U << 16;
// Symbols of one table: 0 ... kMaxAlphabet - 1.
inline constexpr unsigned kMaxAlphabet = 255;

// Frequencies out of kRansScale for symbols counted `counts` times: every
// counted symbol at least 1, the rest 0, the sum exactly kRansScale (all 0
// when nothing was counted). Deterministic: the code depends on it.
void normalise(std::span<const std::uint32_t> counts, std::span<std::uint32_t> frequencies);

// LEB128: 7 bits a byte, low first.
void put_varint(std::vector<std::uint8_t>& out, std::uint32_t value);
// Reads one at `at`, moving past it; fails on a code ending before it or
// a value above 2^32 - 1.
[[nodiscard]] Result<std::uint32_t> get_varint(std::span<const std::uint8_t> in, std::size_t& at);

// One symbol's place in its table, for the encoder, with what turns its
// division by the frequency into a multiplication:
//  - for f >= 2, reciprocal = ceil(2^64 / f) = (2^64 + e) / f with e < f, so
//    x * reciprocal / 2^64 = x / f + x e / (f 2^64), and x e < 2^32 f <= 2^64
//    keeps the excess under 1 / f: its floor is exactly floor(x / f), the
//    high half of the 128-bit product;
//  - for f = 1, reciprocal = 2^64 - 1 gives x - 1 (x >= 1), and the bias
//    adds the missing kRansScale - 1 back (as ryg_rans does);
// and then x' = x + bias + q (kRansScale - f) = (q << kRansScaleBits) +
// (x - q f) + start, the rANS step.
struct EncodeSymbol {
  EncodeSymbol() = default;
  EncodeSymbol(std::uint32_t f, std::uint32_t start)
      : frequency(f),
        bias(f == 1 ? start + kRansScale - 1 : start),
        complement(kRansScale - f),
        reciprocal(f < 2 ? (f == 1 ? ~std::uint64_t{0} : 0) : ~std::uint64_t{0} / f + 1) {}

  std::uint32_t frequency = 0;
  std::uint32_t bias = 0;
  std::uint32_t complement = 0;
  std::uint64_t reciprocal = 0;
};

// The state after coding `s` from state x (x below s.frequency <<
// (32 - kRansScaleBits)): ((x / f) << kRansScaleBits) + x % f + start.
inline std::uint32_t encode_step(std::uint32_t x, const EncodeSymbol& s) {
  __extension__ using Wide = unsigned __int128;
  const auto q = static_cast<std::uint64_t>((Wide{x} * s.reciprocal) >> 64);
  return static_cast<std::uint32_t>(x + s.bias + q * s.complement);
}

// Encodes symbols last first into words written backwards.
class Encoder {
 public:
  // Makes room in `words` for the code of `symbols` symbols (at most one
  // word each); `words` is the caller's, kept from code to code.
  Encoder(std::vector<std::uint16_t>& words, std::size_t symbols);
  // Codes symbol `index` (they must come in the order n-1, n-2, ..., 0).
  void put(std::size_t index, EncodeSymbol s) {
    std::uint32_t& x = state_[index & 1U];
    // At most one word leaves a state for a symbol (x < 2^32 and, after a
    // shift of 16, below 2^16 <= bound). The word is stored whether it
    // leaves or not, and the head moves only when it does: no branch on the
    // data. The constructor's room (a word a symbol, and 4 more) keeps the
    // store inside `words`.
    const std::uint64_t bound = std::uint64_t{s.frequency} << (32 - kRansScaleBits);
    const auto out = static_cast<unsigned>(x >= bound);
    head_[-1] = static_cast<std::uint16_t>(x);
    head_ -= out;
    x >>= 16 * out;
    x = encode_step(x, s);
  }
  // The bytes finish will append.
  std::size_t size() const { return 2 * static_cast<std::size_t>(end_ - head_) + 8; }
  // Appends the code (states first) to `out`.
  void finish(std::vector<std::uint8_t>& out);

 private:
  std::uint16_t* end_;
  std::uint16_t* head_;
  std::array<std::uint32_t, 2> state_{kRansLow, kRansLow};
};

// A decode table: the symbol of each slot (state mod kRansScale), and each
// symbol's frequency (high 16 bits) and start (low 16 bits). Small, so that
// the tables a chunk uses most stay in the first-level cache.
struct DecodeTable {
  std::array<std::uint8_t, kRansScale> symbol;
  std::array<std::uint32_t, 256> place;
  // A table no symbol is stored for decodes every slot as kAbsent.
  static constexpr std::uint8_t kAbsent = 0xFF;
  void build(std::span<const std::uint32_t> frequencies);
  void build_absent();
};

class Decoder {
 public:
  // Reads the two states from the front of `code`.
  explicit Decoder(std::span<const std::uint8_t> code);

  // Decodes the next symbol, which is state kState's, leaving the state
  // possibly below kRansLow: symbols come in pairs (state 0's, then state
  // 1's), and renormalise() follows each pair.
  template <unsigned kState>
  unsigned take(const DecodeTable& table) {
    std::uint32_t& x = kState == 0 ? x0_ : x1_;
    const std::uint32_t slot = x & (kRansScale - 1);
    const unsigned s = table.symbol[slot];
    const std::uint32_t place = table.place[s];
    x = (place >> 16) * (x >> kRansScaleBits) + slot - (place & 0xFFFFU);
    return s;
  }

  // Brings both states back to at least kRansLow, state 0 first, each with
  // the next word when below it: the words a symbol at a time would read,
  // in the same order. Selects, not branches: whether a word is read
  // depends on the data. Done once a pair, so that the read position waits
  // on one pair's arithmetic, not on each symbol's in turn.
  void renormalise() {
    const bool more0 = x0_ < kRansLow;
    const bool more1 = x1_ < kRansLow;
    std::uint32_t first;
    std::uint32_t second;
    if (at_ + 4 <= code_.size()) [[likely]] {
      std::uint32_t two;
      std::memcpy(&two, code_.data() + at_, 4);
      if constexpr (std::endian::native == std::endian::big) two = __builtin_bswap32(two);
      first = two & 0xFFFFU;
      second = two >> 16;
    } else {
      first = word_at(at_);
      second = word_at(at_ + 2);
    }
    // As masks and shifts, which the compiler cannot turn back into branches.
    const std::uint32_t mask0 = 0U - static_cast<std::uint32_t>(more0);
    const std::uint32_t mask1 = 0U - static_cast<std::uint32_t>(more1);
    const std::uint32_t next = first ^ ((first ^ second) & mask0);
    x0_ = (x0_ << (16 * static_cast<unsigned>(more0))) | (first & mask0);
    x1_ = (x1_ << (16 * static_cast<unsigned>(more1))) | (next & mask1);
    at_ += 2 * (static_cast<std::size_t>(more0) + static_cast<std::size_t>(more1));
  }

  // Whether the code was read to its last byte, no further, and both states
  // came back to where the encoder started them.
  bool ended_cleanly() const {
    return at_ == code_.size() && x0_ == kRansLow && x1_ == kRansLow;
  }
  bool overran() const { return at_ > code_.size(); }

 private:
  // The word at `at`; 0 past the end (where reading it counts as reading
  // past the end).
  std::uint32_t word_at(std::size_t at) const {
    if (at + 2 > code_.size()) return 0;
    return code_[at] | (static_cast<std::uint32_t>(code_[at + 1]) << 8);
  }

  std::span<const std::uint8_t> code_;
  std::size_t at_ = 0;
  std::uint32_t x0_ = 0;
  std::uint32_t x1_ = 0;
};

// Plain bits, low bits first, packed into bytes low bit first, a 64-bit
// word at a time.
class BitWriter {
 public:
  explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out) {}
  // Appends the low `count` bits of `value` (count <= 64).
  void put(std::uint64_t value, unsigned count) {
    if (count < 64) value &= (std::uint64_t{1} << count) - 1;
    buffer_ |= value << filled_;
    if (filled_ + count >= 64) {
      store(8);
      buffer_ = filled_ == 0 ? 0 : value >> (64 - filled_);
      filled_ = filled_ + count - 64;
    } else {
      filled_ += count;
    }
  }
  // Writes the last bits, the last byte's unused bits 0.
  void finish() {
    store((filled_ + 7) / 8);
    buffer_ = 0;
    filled_ = 0;
  }

 private:
  // Appends the low `bytes` bytes of the buffer, low byte first.
  void store(std::size_t bytes) {
    std::uint64_t word = buffer_;
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    std::array<std::uint8_t, 8> b;
    std::memcpy(b.data(), &word, 8);
    out_.insert(out_.end(), b.begin(), b.begin() + static_cast<std::ptrdiff_t>(bytes));
  }

  std::vector<std::uint8_t>& out_;
  std::uint64_t buffer_ = 0;  // filled_ bits, low first
  unsigned filled_ = 0;
};

class BitReader {
 public:
  explicit BitReader(std::span<const std::uint8_t> in) : in_(in) {}
  // The next `count` bits (count <= 64); zeros past the end, which
  // ended_cleanly then tells.
  std::uint64_t get(unsigned count) {
    if (count > kMostAtOnce) [[unlikely]] return get_wide(count);
    if (filled_ < count) [[unlikely]] refill(count);
    const std::uint64_t value = buffer_ & ((std::uint64_t{1} << count) - 1);
    buffer_ >>= count;
    filled_ -= count;
    return value;
  }
  // Whether no bit was asked for past the end and the bits left in the last
  // byte are zero (what BitWriter::finish leaves).
  bool ended_cleanly() const {
    return !overran_ && filled_ < 8 && buffer_ == 0 && at_ == in_.size();
  }
  bool overran() const { return overran_; }
  // The bits read so far.
  std::size_t bits_read() const { return at_ * 8 - filled_; }

 private:
  static constexpr unsigned kMostAtOnce = 56;

  [[gnu::noinline]] std::uint64_t get_wide(unsigned count) {
    const std::uint64_t low = get(32);
    return low | (get(count - 32) << 32);
  }

  // Brings the buffer to 56 bits or more while bytes are left, and to
  // `count` bits in any case (zeros past the end, noted).
  [[gnu::noinline]] void refill(unsigned count) {
    load();
    if (filled_ < count) {
      overran_ = true;
      filled_ = count;
    }
  }

  // Where eight bytes are left, loads them at once: the bits above the whole
  // bytes it counts are those of the next bytes, which the next load sets
  // again.
  void load() {
    if (at_ + 8 <= in_.size()) {
      std::uint64_t word;
      std::memcpy(&word, in_.data() + at_, 8);
      if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
      buffer_ |= word << filled_;
      const unsigned take = (63 - filled_) / 8;
      at_ += take;
      filled_ += 8 * take;
      return;
    }
    while (filled_ <= 56 && at_ < in_.size()) {
      buffer_ |= std::uint64_t{in_[at_++]} << filled_;
      filled_ += 8;
    }
  }

  std::span<const std::uint8_t> in_;
  std::size_t at_ = 0;
  std::uint64_t buffer_ = 0;
  unsigned filled_ = 0;
  bool overran_ = false;
};

// A symbol count as stored: exact below 8, else its bit length L and the
// two bits below its leading one, 8 + 4 (L - 4) + those bits (counts about
// 12 % apart share one); 1 ... kMostQuantised.
inline constexpr unsigned kMostQuantised = 8 + 4 * (23 - 4) + 3;  // counts below 2^23
unsigned quantise_count(std::uint32_t count);
// The count a stored value stands for: the middle of the counts it holds.
std::uint32_t count_of(unsigned quantised);

// A table as stored, in plain bits: Elias gamma codes of the number of its
// symbols plus one and of each symbol's gap from the one before (the first
// from -1), in increasing order; then, when there are two or more, each
// symbol's quantised count in 7 bits. Its frequencies are what normalise
// makes of the counts the stored values stand for (one symbol alone has all
// of kRansScale), and put_table sets `frequencies` to them.
void put_table(BitWriter& out, std::span<const std::uint32_t> counts,
               std::span<std::uint32_t> frequencies);
// Reads a table of `alphabet` symbols into `frequencies`; fails unless its
// symbols lie in the alphabet and its values are ones put_table writes.
// Returns whether it holds any symbol.
[[nodiscard]] Result<bool> get_table(BitReader& in, unsigned alphabet,
                                     std::span<std::uint32_t> frequencies);

}  // namespace ovk::lossless::rans
