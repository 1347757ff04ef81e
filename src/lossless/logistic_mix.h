// Probabilities refined in the logistic domain, in integers only, so that
// every machine codes the same bytes. A probability p of a 0 is 12 bits
// (1 ... 4095 of 4096); its logistic value stretch(p) = ln(p / (1 - p)) has
// 8 fractional bits and is kept within +-2047 (about +-8).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "lossless/range_coder.h"

namespace ovk::lossless {

// squash(d) = 4096 / (1 + e^-d) at d = (i - 16) / 2, i = 0 ... 32, rounded:
// the knots squash() interpolates between, 128 steps of d apart.
inline constexpr std::array<std::int32_t, 33> kSquashKnots = {
    1,    2,    4,    6,    10,   17,   27,   45,   74,   120,  194,  311,  488,  747,  1102, 1546, 2048,
    2550, 2994, 3349, 3608, 3785, 3902, 3976, 4022, 4051, 4069, 4079, 4086, 4090, 4092, 4094, 4095};

inline constexpr std::int32_t kLogisticLimit = 2047;

// The probability of a 0 whose logistic value is d (clamped to +-2047).
constexpr std::int32_t squash(std::int32_t d) {
  d = std::clamp(d, -kLogisticLimit, kLogisticLimit) + 2048;
  const std::int32_t i = d >> 7;
  const std::int32_t w = d & 127;
  return (kSquashKnots[i] * (128 - w) + kSquashKnots[i + 1] * w + 64) >> 7;
}

// The logistic value of p: the least d whose squash reaches p, so that
// stretch never falls as p grows and squash(stretch(p)) >= p.
inline std::int32_t stretch(std::uint32_t p) {
  static const std::array<std::int16_t, kProbabilityOne> table = [] {
    std::array<std::int16_t, kProbabilityOne> t{};
    std::uint32_t next = 0;
    for (std::int32_t d = -kLogisticLimit; d <= kLogisticLimit; ++d) {
      const auto reached = static_cast<std::uint32_t>(squash(d));
      for (; next <= reached && next < kProbabilityOne; ++next) t[next] = static_cast<std::int16_t>(d);
    }
    for (; next < kProbabilityOne; ++next) t[next] = kLogisticLimit;
    return t;
  }();
  return table[std::min(p, kProbabilityOne - 1)];
}

// Weights that rescale a context's logistic value and add a bias, learnt
// over every bit coded with them: p = squash(w * stretch(q) + b * 256), w
// and b in 16 fractional bits (w starts at 1, b at 0: the context's own
// probability). After a bit each moves by input * error * 3 / 2^12 (a
// learning rate of about 0.012 in natural units), within +-2^24. Rates of
// 2 to 6 / 2^12 code the real recordings within 0.2 % of each other; from
// 7 on, some chunks learn weights that overshoot.
struct LogisticWeights {
  std::int32_t scale = 1 << 16;
  std::int32_t bias = 0;
};

// A context's counter seen through weights: what the range coder codes a
// bit with. Coding the bit updates the counter and the weights.
template <class Counter>
class WeightedCounter {
 public:
  WeightedCounter(Counter& counter, LogisticWeights& weights)
      : counter_(counter), weights_(weights), input_(stretch(counter.zero())) {
    const std::int64_t dot =
        (std::int64_t{weights.scale} * input_ + std::int64_t{weights.bias} * kBiasInput) >> 16;
    const auto d = static_cast<std::int32_t>(std::clamp<std::int64_t>(dot, -kLogisticLimit, kLogisticLimit));
    zero_ = static_cast<std::uint32_t>(std::clamp<std::int32_t>(squash(d), 1, kProbabilityOne - 1));
  }

  std::uint32_t zero() const { return zero_; }

  void update(unsigned b) {
    counter_.update(b);
    const std::int32_t error = (b == 0 ? std::int32_t{kProbabilityOne} : 0) - static_cast<std::int32_t>(zero_);
    weights_.scale = step(weights_.scale, input_, error);
    weights_.bias = step(weights_.bias, kBiasInput, error);
  }

 private:
  static constexpr std::int32_t kBiasInput = 256;
  static constexpr std::int32_t kWeightLimit = 1 << 24;
  static std::int32_t step(std::int32_t weight, std::int32_t input, std::int32_t error) {
    const std::int64_t moved = weight + ((std::int64_t{input} * error * 3) >> 12);
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(moved, -kWeightLimit, kWeightLimit));
  }

  Counter& counter_;
  LogisticWeights& weights_;
  std::int32_t input_;
  std::uint32_t zero_ = 0;
};

}  // namespace ovk::lossless
