// An adaptive binary range coder: each bit is coded with a probability that
// follows the bits seen in its context (a counter, below), and bits with no
// useful model are coded at one bit each. The decoder reads nothing outside
// its input: past the end it sees zero bytes and counts them, so a caller
// can tell a stream that ended too early.
//
// Two kinds of counter, one per version of the chunk code:
//  - ShiftCounter (version 1): a 12-bit probability and a 4-bit count of the
//    bits it has seen; it adapts by large steps at first (1/4 of the way to
//    the bit seen) and settles to 1/32, so contexts that are seen rarely, in
//    short recordings, learn quickly.
//  - TwoRateCounter (version 2): two probabilities of the same bit, one that
//    settles to steps of 1/8 and follows changes quickly, one (16 bits
//    wide) that settles to 1/64 and estimates stable contexts closely; a
//    bit is coded with their mean. Both start with large steps as above.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ovk::lossless {

inline constexpr unsigned kProbabilityBits = 12;
inline constexpr std::uint32_t kProbabilityOne = 1U << kProbabilityBits;
inline constexpr std::uint32_t kRangeTop = 1U << 24;
// Plain bits are coded this many at a time (the range keeps 8 bits or more).
inline constexpr unsigned kRawStep = 16;

// Version 1's counter: the chance, out of kProbabilityOne, that the next bit
// is 0 (low 12 bits), and how many bits it has seen, up to 15 (high 4 bits).
class ShiftCounter {
 public:
  // The chance of a 0, out of kProbabilityOne (never 0 nor kProbabilityOne).
  std::uint32_t zero() const { return state_ & kMask; }

  void update(unsigned b) {
    if (state_ >= kSettled) {
      // 15 bits seen or more: the count stays, the step is the last one.
      constexpr unsigned kStep = kShift[15];
      const unsigned p = state_ & kMask;
      state_ = static_cast<std::uint16_t>(
          kSettled | (b == 0 ? p + ((kProbabilityOne - p) >> kStep) : p - (p >> kStep)));
      return;
    }
    const unsigned seen = state_ >> kProbabilityBits;
    unsigned p = state_ & kMask;
    const unsigned shift = kShift[seen];
    if (b == 0) {
      p += (kProbabilityOne - p) >> shift;
    } else {
      p -= p >> shift;
    }
    state_ = static_cast<std::uint16_t>(((seen + (seen < 15 ? 1U : 0U)) << kProbabilityBits) | p);
  }

 private:
  static constexpr std::uint32_t kMask = kProbabilityOne - 1;
  static constexpr std::uint8_t kShift[16] = {2, 2, 3, 3, 3, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5};
  static constexpr std::uint32_t kSettled = 15U << kProbabilityBits;
  std::uint16_t state_ = kProbabilityOne / 2;
};

// Version 2's counter: bits 0-15 the slow probability of a 0 (out of 2^16),
// bits 16-27 the fast one (out of 2^12), bits 28-31 the bits seen, up to 15.
class TwoRateCounter {
 public:
  std::uint32_t zero() const {
    const std::uint32_t p = (((state_ & 0xFFFFU) >> 4) + ((state_ >> 16) & 0xFFFU) + 1) >> 1;
    return std::clamp<std::uint32_t>(p, 1, kProbabilityOne - 1);
  }

  void update(unsigned b) {
    if (state_ >= kSettled) {
      update_settled(b);
      return;
    }
    const unsigned seen = state_ >> 28;
    std::uint32_t slow = state_ & 0xFFFFU;
    std::uint32_t fast = (state_ >> 16) & 0xFFFU;
    if (b == 0) {
      slow = std::min<std::uint32_t>(slow + ((0x10000U - slow) >> kSlowShift[seen]), 0xFFFFU);
      fast += (kProbabilityOne - fast) >> kFastShift[seen];
    } else {
      slow -= slow >> kSlowShift[seen];
      fast -= fast >> kFastShift[seen];
    }
    state_ = ((seen + 1U) << 28) | (fast << 16) | slow;
  }

 private:
  static constexpr std::uint8_t kSlowShift[16] = {1, 2, 2, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 6, 6};
  static constexpr std::uint8_t kFastShift[16] = {1, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3};
  // A counter that has seen 15 bits or more: the count stays, the steps are
  // the last ones of the tables, known here at compile time.
  static constexpr std::uint32_t kSettled = 15U << 28;

  // update() once settled. The slow probability needs no cap: a step of
  // half the way or less from below 2^16 stays below 2^16.
  void update_settled(unsigned b) {
    constexpr unsigned kSlow = kSlowShift[15];
    constexpr unsigned kFast = kFastShift[15];
    const std::uint32_t slow = state_ & 0xFFFFU;
    const std::uint32_t fast = (state_ >> 16) & 0xFFFU;
    if (b == 0) {
      state_ = kSettled | ((fast + ((kProbabilityOne - fast) >> kFast)) << 16) |
               (slow + ((0x10000U - slow) >> kSlow));
    } else {
      state_ = kSettled | ((fast - (fast >> kFast)) << 16) | (slow - (slow >> kSlow));
    }
  }
  std::uint32_t state_ = (kProbabilityOne / 2) << 16 | 0x8000U;
};

class RangeEncoder {
 public:
  explicit RangeEncoder(std::vector<std::uint8_t>& out) : out_(out), start_(out.size()) {}

  template <class Counter>
  void bit(Counter& p, unsigned b) {
    const std::uint32_t bound = (range_ >> kProbabilityBits) * p.zero();
    if (b == 0) {
      range_ = bound;
    } else {
      low_ += bound;
      range_ -= bound;
    }
    p.update(b);
    normalize();
  }

  // The low `count` bits of `value` at one bit each, most significant
  // first, up to kRawStep of them per step of the coder.
  void raw_bits(std::uint64_t value, unsigned count) {
    while (count > 0) {
      const unsigned step = std::min(count, kRawStep);
      count -= step;
      range_ >>= step;
      low_ += ((value >> count) & ((1U << step) - 1)) * std::uint64_t{range_};
      normalize();
    }
  }

  void finish() {
    for (int i = 0; i < 5; ++i) shift_low();
  }

  // How many bytes this coder will have written once finished, known at
  // any point: each byte shifted out of `low` is one byte of the code, be it
  // written or held back for a carry, finish() shifts out five more, and the
  // last of those stays unwritten. It never falls as coding goes on.
  std::size_t finished_size() const {
    return out_.size() - start_ + static_cast<std::size_t>(cache_size_) + 4;
  }

 private:
  void normalize() {
    while (range_ < kRangeTop) {
      range_ <<= 8;
      shift_low();
    }
  }
  void shift_low() {
    if (static_cast<std::uint32_t>(low_) < 0xFF000000U || (low_ >> 32) != 0) {
      const auto carry = static_cast<std::uint8_t>(low_ >> 32);
      std::uint8_t pending = cache_;
      do {
        out_.push_back(static_cast<std::uint8_t>(pending + carry));
        pending = 0xFF;
      } while (--cache_size_ != 0);
      cache_ = static_cast<std::uint8_t>(low_ >> 24);
    }
    ++cache_size_;
    low_ = (low_ & 0x00FFFFFFU) << 8;
  }

  std::vector<std::uint8_t>& out_;
  std::size_t start_;
  std::uint64_t low_ = 0;
  std::uint32_t range_ = 0xFFFFFFFFU;
  std::uint8_t cache_ = 0;
  std::uint64_t cache_size_ = 1;
};

class RangeDecoder {
 public:
  explicit RangeDecoder(std::span<const std::uint8_t> in) : in_(in) {
    for (int i = 0; i < 5; ++i) code_ = (code_ << 8) | next_byte();
  }

  template <class Counter>
  unsigned bit(Counter& p) {
    const std::uint32_t bound = (range_ >> kProbabilityBits) * p.zero();
    unsigned b;
    if (code_ < bound) {
      range_ = bound;
      b = 0;
    } else {
      code_ -= bound;
      range_ -= bound;
      b = 1;
    }
    p.update(b);
    normalize();
    return b;
  }

  std::uint64_t raw_bits(unsigned count) {
    std::uint64_t value = 0;
    while (count > 0) {
      const unsigned step = std::min(count, kRawStep);
      count -= step;
      range_ >>= step;
      // A damaged stream may hold a code past the last value: clamp it.
      const std::uint32_t v = std::min(code_ / range_, (1U << step) - 1);
      code_ -= v * range_;
      value = (value << step) | v;
      normalize();
    }
    return value;
  }

  // Bytes asked for beyond the end of the input.
  std::size_t overrun() const { return overrun_; }
  std::size_t consumed() const { return position_; }

 private:
  void normalize() {
    while (range_ < kRangeTop) {
      range_ <<= 8;
      code_ = (code_ << 8) | next_byte();
    }
  }
  std::uint32_t next_byte() {
    if (position_ < in_.size()) return in_[position_++];
    ++overrun_;
    return 0;
  }

  std::span<const std::uint8_t> in_;
  std::size_t position_ = 0;
  std::size_t overrun_ = 0;
  std::uint32_t code_ = 0;
  std::uint32_t range_ = 0xFFFFFFFFU;
};

}  // namespace ovk::lossless
