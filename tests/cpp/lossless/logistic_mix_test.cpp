// The integer logistic functions against their real-valued definitions, and
// the weighted counter's learning under any run of bits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "lossless/logistic_mix.h"
#include "lossless/range_coder.h"

namespace ovk::lossless {
namespace {

double real_squash(std::int32_t d) { return 4096.0 / (1.0 + std::exp(-d / 256.0)); }

TEST(Logistic, SquashFollowsTheLogisticCurve) {
  std::int32_t previous = 0;
  for (std::int32_t d = -3000; d <= 3000; ++d) {
    const std::int32_t p = squash(d);
    ASSERT_GE(p, previous) << d;
    previous = p;
    if (d >= -kLogisticLimit && d <= kLogisticLimit) {
      // Linear between knots h = 1/2 apart: within h^2 / 8 times the
      // curve's largest bend (0.0962 * 4096) of it, about 12.3, plus the
      // rounding of the knots and of the result.
      EXPECT_NEAR(p, real_squash(d), 13.5) << d;
    } else {
      EXPECT_EQ(p, squash(d < 0 ? -kLogisticLimit : kLogisticLimit)) << d;
    }
  }
  EXPECT_EQ(squash(0), 2048);
  EXPECT_EQ(squash(-kLogisticLimit), 1);
  EXPECT_EQ(squash(kLogisticLimit), 4095);
}

TEST(Logistic, StretchIsTheLeastInverse) {
  std::int32_t previous = -kLogisticLimit;
  for (std::uint32_t p = 1; p < kProbabilityOne; ++p) {
    const std::int32_t d = stretch(p);
    ASSERT_GE(d, previous) << p;
    previous = d;
    EXPECT_GE(squash(d), static_cast<std::int32_t>(p)) << p;
    if (d > -kLogisticLimit) {
      EXPECT_LT(squash(d - 1), static_cast<std::int32_t>(p)) << p;
    }
  }
  EXPECT_EQ(stretch(2048), 0);
  EXPECT_EQ(stretch(1), -kLogisticLimit);
  EXPECT_EQ(stretch(4095), 1984);
}

// A counter whose probability is set by hand.
struct FixedCounter {
  std::uint32_t p = kProbabilityOne / 2;
  int updates = 0;
  std::uint32_t zero() const { return p; }
  void update(unsigned /*unused*/) { ++updates; }
};

TEST(WeightedCounter, StartsAtTheCounterAndUpdatesIt) {
  for (std::uint32_t p = 1; p < kProbabilityOne; p += 7) {
    FixedCounter counter{p};
    LogisticWeights weights;
    WeightedCounter<FixedCounter> weighted(counter, weights);
    // squash(stretch(p)) reaches p and stays below the next step of squash.
    EXPECT_GE(weighted.zero(), p);
    EXPECT_LE(weighted.zero(), std::max<std::uint32_t>(p + 60, p * 102 / 100)) << p;
    weighted.update(0);
    EXPECT_EQ(counter.updates, 1);
  }
}

TEST(WeightedCounter, LearnsThatACounterIsTooTimid) {
  // The counter says 3 in 4 for zeros that always come: the weights sharpen
  // the probability towards certainty.
  FixedCounter counter{3072};
  LogisticWeights weights;
  std::uint32_t last = 0;
  for (int i = 0; i < 2000; ++i) {
    WeightedCounter<FixedCounter> weighted(counter, weights);
    last = weighted.zero();
    weighted.update(0);
  }
  EXPECT_GT(last, 4000U);
  EXPECT_GT(weights.scale, 1 << 16);
}

TEST(WeightedCounter, WeightsStayBoundedOnAnyBits) {
  // Bits against the prediction at the extremes, or at random, for long:
  // the weights stop at their limits (and nothing overflows: UBSan runs).
  std::mt19937_64 rng(3);
  for (const int mode : {0, 1, 2}) {
    FixedCounter counter{mode == 0 ? 1U : 4095U};
    LogisticWeights weights;
    for (int i = 0; i < 200'000; ++i) {
      if (mode == 2) counter.p = 1 + static_cast<std::uint32_t>(rng() % 4095);
      WeightedCounter<FixedCounter> weighted(counter, weights);
      ASSERT_GE(weighted.zero(), 1U);
      ASSERT_LE(weighted.zero(), kProbabilityOne - 1);
      weighted.update(mode == 2 ? static_cast<unsigned>(rng() & 1) : (counter.p < 2048 ? 0U : 1U));
    }
    EXPECT_LE(std::abs(weights.scale), 1 << 24);
    EXPECT_LE(std::abs(weights.bias), 1 << 24);
  }
}

}  // namespace
}  // namespace ovk::lossless
