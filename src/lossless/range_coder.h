// An adaptive binary range coder: each bit is coded with a probability that
// follows the bits seen in its context, and bits with no useful model are
// coded at one bit each. A context's state is a 12-bit probability and a
// 4-bit count of the bits it has seen: it adapts by large steps at first
// (1/4 of the way to the bit seen) and settles to 1/32, so contexts that
// are seen rarely, in short recordings, learn quickly. The
// decoder reads nothing outside its input: past the end it sees zero bytes
// and counts them, so a caller can tell a stream that ended too early.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ovk::lossless {

inline constexpr unsigned kProbabilityBits = 12;
inline constexpr std::uint16_t kProbabilityOne = 1U << kProbabilityBits;
inline constexpr std::uint16_t kProbabilityMask = kProbabilityOne - 1;
inline constexpr std::uint16_t kProbabilityHalf = kProbabilityOne / 2;
inline constexpr std::uint32_t kRangeTop = 1U << 24;
// Plain bits are coded this many at a time (the range keeps 8 bits or more).
inline constexpr unsigned kRawStep = 16;

// A context's state: the chance, out of kProbabilityOne, that its next bit
// is 0 (low 12 bits), and how many bits it has seen, up to 15 (high 4 bits).
using Probability = std::uint16_t;

// The adaptation step (a shift) after `seen` bits.
inline constexpr std::uint8_t kAdaptShift[16] = {2, 2, 3, 3, 3, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5};

// Moves `state` towards the bit `b` just coded.
inline void adapt(Probability& state, unsigned b) {
  const unsigned seen = state >> kProbabilityBits;
  unsigned p = state & kProbabilityMask;
  const unsigned shift = kAdaptShift[seen];
  if (b == 0) {
    p += (kProbabilityOne - p) >> shift;
  } else {
    p -= p >> shift;
  }
  state = static_cast<Probability>(((seen + (seen < 15 ? 1U : 0U)) << kProbabilityBits) | p);
}

class RangeEncoder {
 public:
  explicit RangeEncoder(std::vector<std::uint8_t>& out) : out_(out) {}

  void bit(Probability& p, unsigned b) {
    const std::uint32_t bound = (range_ >> kProbabilityBits) * (p & kProbabilityMask);
    if (b == 0) {
      range_ = bound;
    } else {
      low_ += bound;
      range_ -= bound;
    }
    adapt(p, b);
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

  unsigned bit(Probability& p) {
    const std::uint32_t bound = (range_ >> kProbabilityBits) * (p & kProbabilityMask);
    unsigned b;
    if (code_ < bound) {
      range_ = bound;
      b = 0;
    } else {
      code_ -= bound;
      range_ -= bound;
      b = 1;
    }
    adapt(p, b);
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
