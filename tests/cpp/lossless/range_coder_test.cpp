// The range coder against its plain reference: the same bytes from the same
// bits, and the same bits read back from any bytes, valid or not.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "lossless/range_coder.h"
#include "reference_range_coder.h"
#include "splitmix64.h"

namespace {

namespace ref = ovk::lossless::reference;
using ovk::lossless::RangeDecoder;
using ovk::lossless::RangeEncoder;

using Random = ovk::testing_support::SplitMix64;

// One step of a coded sequence: an adaptive bit in one of kContexts
// contexts, or `raw` plain bits of `value` when raw is not 0.
struct Step {
  unsigned context;
  unsigned bit;
  unsigned raw;
  std::uint64_t value;
};
constexpr unsigned kContexts = 8;

// Contexts of very different skews, so that counters reach both ends of
// their range, runs of near-certain bits, and plain bits of every count.
std::vector<Step> random_steps(std::uint64_t seed, std::size_t count) {
  Random random{seed};
  std::vector<Step> steps(count);
  for (Step& s : steps) {
    s.context = static_cast<unsigned>(random.next() % kContexts);
    const std::uint64_t r = random.next();
    if (s.context == kContexts - 1) {
      s.raw = 1 + static_cast<unsigned>(r % 64);
      s.value = random.next() & (s.raw == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << s.raw) - 1);
    } else {
      // Context 0 is a fair coin; context c > 0 sees its rarer bit with
      // chance 2^-(2c), a 1 in even contexts and a 0 in odd ones.
      const std::uint64_t rare_mask = (std::uint64_t{1} << (2 * s.context)) - 1;
      const unsigned rare = (r & rare_mask) == 0 ? 1U : 0U;
      s.bit = s.context == 0 ? static_cast<unsigned>(r >> 40) & 1U : rare ^ (s.context & 1U);
    }
  }
  return steps;
}

template <class Encoder, class Counter>
std::vector<std::uint8_t> encode(const std::vector<Step>& steps) {
  std::vector<std::uint8_t> out;
  Encoder coder(out);
  std::vector<Counter> counters(kContexts);
  for (const Step& s : steps) {
    if (s.raw != 0) {
      coder.raw_bits(s.value, s.raw);
    } else {
      coder.bit(counters[s.context], s.bit);
    }
  }
  coder.finish();
  return out;
}

// What a decoder reads from `bytes` when asked for `steps`' shape: each bit
// and plain value, then the bytes it consumed and asked for past the end.
template <class Decoder, class Counter>
std::vector<std::uint64_t> decode(const std::vector<Step>& steps, const std::vector<std::uint8_t>& bytes) {
  Decoder coder(bytes);
  std::vector<Counter> counters(kContexts);
  std::vector<std::uint64_t> read;
  read.reserve(steps.size() + 2);
  for (const Step& s : steps) {
    read.push_back(s.raw != 0 ? coder.raw_bits(s.raw) : coder.bit(counters[s.context]));
  }
  read.push_back(coder.consumed());
  read.push_back(coder.overrun());
  return read;
}

template <class Counter, class ReferenceCounter>
void expect_same_as_reference(std::uint64_t seed, std::size_t count) {
  const std::vector<Step> steps = random_steps(seed, count);
  const auto bytes = encode<RangeEncoder, Counter>(steps);
  ASSERT_EQ(bytes, (encode<ref::RangeEncoder, ReferenceCounter>(steps))) << "seed " << seed;
  const auto read = decode<RangeDecoder, Counter>(steps, bytes);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    ASSERT_EQ(read[i], steps[i].raw != 0 ? steps[i].value : steps[i].bit) << "step " << i;
  }
  EXPECT_EQ(read[steps.size() + 1], 0U);
  // Damaged and cut codes: whatever the bits read are, both read the same.
  Random random{seed ^ 0xD1B54A32D192ED03ULL};
  for (int trial = 0; trial < 8 && !bytes.empty(); ++trial) {
    std::vector<std::uint8_t> hostile = bytes;
    hostile[random.next() % hostile.size()] ^= static_cast<std::uint8_t>(1 + random.next() % 255);
    if (trial % 2 == 1) hostile.resize(random.next() % hostile.size());
    ASSERT_EQ((decode<RangeDecoder, Counter>(steps, hostile)),
              (decode<ref::RangeDecoder, ReferenceCounter>(steps, hostile)))
        << "seed " << seed << " trial " << trial;
  }
}

TEST(LosslessRangeCoder, ShiftCounterCodesAsTheReference) {
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    expect_same_as_reference<ovk::lossless::ShiftCounter, ref::ShiftCounter>(seed, seed * 257);
  }
}

TEST(LosslessRangeCoder, TwoRateCounterCodesAsTheReference) {
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    expect_same_as_reference<ovk::lossless::TwoRateCounter, ref::TwoRateCounter>(seed, seed * 257);
  }
}

// finished_size() at every step: what finish() would leave there, and
// never falling.
TEST(LosslessRangeCoder, FinishedSizeIsKnownAtEveryStep) {
  const std::vector<Step> steps = random_steps(7, 3000);
  std::vector<std::uint8_t> out{1, 2, 3};  // bytes before the code are not counted
  RangeEncoder coder(out);
  std::vector<ovk::lossless::TwoRateCounter> counters(kContexts);
  std::size_t previous = 0;
  for (std::size_t i = 0; i <= steps.size(); ++i) {
    const std::vector<Step> prefix(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(i));
    ASSERT_EQ(coder.finished_size(), (encode<RangeEncoder, ovk::lossless::TwoRateCounter>(prefix).size()))
        << "after step " << i;
    ASSERT_GE(coder.finished_size(), previous);
    previous = coder.finished_size();
    if (i == steps.size()) break;
    const Step& s = steps[i];
    if (s.raw != 0) {
      coder.raw_bits(s.value, s.raw);
    } else {
      coder.bit(counters[s.context], s.bit);
    }
  }
  coder.finish();
  EXPECT_EQ(out.size() - 3, previous);
}

// The counters on their own: the same chance after every bit, through
// their first bits and long after, at every skew and at both ends.
template <class Counter, class ReferenceCounter>
void expect_counter_as_reference() {
  Random random{11};
  for (unsigned skew = 0; skew < 24; ++skew) {
    Counter counter;
    ReferenceCounter reference;
    for (int i = 0; i < 5000; ++i) {
      const std::uint64_t r = random.next();
      // Skew 0..11: a 1 with chance 2^-skew; 12..23: a 0 with chance 2^-(skew-12).
      const unsigned shift = skew % 12;
      const unsigned rare = (r & ((std::uint64_t{1} << shift) - 1)) == 0 ? 1U : 0U;
      const unsigned b = skew < 12 ? rare : rare ^ 1U;
      counter.update(b);
      reference.update(b);
      ASSERT_EQ(counter.zero(), reference.zero()) << "skew " << skew << " bit " << i;
    }
  }
}

TEST(LosslessRangeCoder, CountersMoveAsTheReference) {
  expect_counter_as_reference<ovk::lossless::ShiftCounter, ref::ShiftCounter>();
  expect_counter_as_reference<ovk::lossless::TwoRateCounter, ref::TwoRateCounter>();
}

TEST(LosslessRangeCoder, EmptyAndOneBit) {
  for (std::size_t count : {0U, 1U, 2U}) {
    expect_same_as_reference<ovk::lossless::TwoRateCounter, ref::TwoRateCounter>(99, count);
  }
}

}  // namespace
