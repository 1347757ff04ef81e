#include "lossless/static_rans.h"

#include <bit>
#include <numeric>

namespace ovk::lossless::rans {

void normalise(std::span<const std::uint32_t> counts, std::span<std::uint32_t> frequencies) {
  const std::uint64_t total = std::accumulate(counts.begin(), counts.end(), std::uint64_t{0});
  std::fill(frequencies.begin(), frequencies.end(), 0U);
  if (total == 0) return;
  std::int64_t sum = 0;
  std::size_t largest = 0;
  for (std::size_t s = 0; s < counts.size(); ++s) {
    if (counts[s] == 0) continue;
    const std::uint64_t f = (std::uint64_t{counts[s]} * kRansScale + total / 2) / total;
    frequencies[s] = static_cast<std::uint32_t>(std::max<std::uint64_t>(f, 1));
    sum += frequencies[s];
    if (counts[s] > counts[largest]) largest = s;
  }
  // Rounding leaves the sum a little off: the most frequent symbol takes up
  // a shortfall; an excess (rare symbols raised to 1) is taken from the
  // largest frequencies in turn, never below 1.
  if (sum < kRansScale) frequencies[largest] += static_cast<std::uint32_t>(kRansScale - sum);
  while (sum > kRansScale) {
    const auto biggest = std::max_element(frequencies.begin(), frequencies.end());
    const auto cut = static_cast<std::uint32_t>(
        std::min<std::int64_t>(sum - kRansScale, std::max<std::int64_t>(*biggest / 2, 1)));
    *biggest -= cut;
    sum -= cut;
  }
}

void put_varint(std::vector<std::uint8_t>& out, std::uint32_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value | 0x80U));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

Result<std::uint32_t> get_varint(std::span<const std::uint8_t> in, std::size_t& at) {
  std::uint64_t value = 0;
  for (unsigned shift = 0; shift < 35; shift += 7) {
    if (at >= in.size()) return Error(ErrorKind::kInvalidData, "code ends inside a number");
    const std::uint8_t byte = in[at++];
    value |= std::uint64_t{byte & 0x7FU} << shift;
    if ((byte & 0x80U) == 0) {
      if (value > 0xFFFFFFFFU) break;
      return static_cast<std::uint32_t>(value);
    }
  }
  return Error(ErrorKind::kInvalidData, "number out of range");
}

unsigned quantise_count(std::uint32_t count) {
  if (count < 8) return count;
  const auto length = static_cast<unsigned>(std::bit_width(count));
  return 8 + 4 * (length - 4) + ((count >> (length - 3)) & 3U);
}

std::uint32_t count_of(unsigned quantised) {
  if (quantised < 8) return quantised;
  const unsigned length = (quantised - 8) / 4 + 4;
  const unsigned below = (quantised - 8) % 4;
  return ((4 + below) << (length - 3)) | (1U << (length - 4));
}

namespace {

// Elias gamma: for v >= 1 of bit length k + 1, k zeros, a one, then the k
// bits of v below its leading one.
void put_gamma(BitWriter& out, std::uint32_t value) {
  const auto k = static_cast<unsigned>(std::bit_width(value)) - 1;
  out.put(std::uint64_t{1} << k, k + 1);
  out.put(value & ((1U << k) - 1), k);
}

// A gamma code of at most `most_bits` bits below the leading one.
Result<std::uint32_t> get_gamma(BitReader& in, unsigned most_bits) {
  unsigned k = 0;
  while (in.get(1) == 0) {
    if (++k > most_bits || in.overran()) return Error(ErrorKind::kInvalidData, "bad frequency table");
  }
  return static_cast<std::uint32_t>((std::uint64_t{1} << k) | in.get(k));
}

}  // namespace

void put_table(BitWriter& out, std::span<const std::uint32_t> counts,
               std::span<std::uint32_t> frequencies) {
  std::array<std::uint32_t, kMaxAlphabet> stood_for{};
  const auto present = static_cast<std::uint32_t>(
      std::count_if(counts.begin(), counts.end(), [](std::uint32_t c) { return c != 0; }));
  put_gamma(out, present + 1);
  std::uint32_t next = 0;
  for (std::uint32_t s = 0; s < counts.size(); ++s) {
    if (counts[s] == 0) continue;
    put_gamma(out, s - next + 1);
    next = s + 1;
    stood_for[s] = count_of(quantise_count(counts[s]));
  }
  if (present >= 2) {
    for (const std::uint32_t c : counts) {
      if (c != 0) out.put(quantise_count(c), 7);
    }
  }
  normalise(std::span(stood_for).first(counts.size()), frequencies);
}

Result<bool> get_table(BitReader& in, unsigned alphabet, std::span<std::uint32_t> frequencies) {
  const auto bad = [] { return Error(ErrorKind::kInvalidData, "bad frequency table"); };
  std::fill(frequencies.begin(), frequencies.end(), 0U);
  OVK_ASSIGN_OR_RETURN(const std::uint32_t present_plus_one, get_gamma(in, 8));
  const std::uint32_t present = present_plus_one - 1;
  if (present > alphabet) return bad();
  if (present == 0) return false;
  std::array<std::uint8_t, kMaxAlphabet> symbols{};
  std::uint32_t next = 0;
  for (std::uint32_t i = 0; i < present; ++i) {
    OVK_ASSIGN_OR_RETURN(const std::uint32_t gap, get_gamma(in, 8));
    next += gap - 1;
    if (next >= alphabet) return bad();
    symbols[i] = static_cast<std::uint8_t>(next);
    ++next;
  }
  if (present == 1) {
    frequencies[symbols[0]] = kRansScale;
    return true;
  }
  std::array<std::uint32_t, kMaxAlphabet> counts{};
  for (std::uint32_t i = 0; i < present; ++i) {
    const auto q = static_cast<unsigned>(in.get(7));
    if (q == 0 || q > kMostQuantised) return bad();
    counts[symbols[i]] = count_of(q);
  }
  if (in.overran()) return bad();
  normalise(std::span(counts).first(alphabet), frequencies);
  return true;
}

Encoder::Encoder(std::vector<std::uint16_t>& words, std::size_t symbols) {
  if (words.size() < symbols + 4) words.resize(symbols + 4);
  end_ = words.data() + words.size();
  head_ = end_;
}

void Encoder::finish(std::vector<std::uint8_t>& out) {
  for (unsigned i = 2; i-- > 0;) {
    *--head_ = static_cast<std::uint16_t>(state_[i] >> 16);
    *--head_ = static_cast<std::uint16_t>(state_[i]);
  }
  const std::size_t at = out.size();
  out.resize(at + 2 * static_cast<std::size_t>(end_ - head_));
  std::uint8_t* to = out.data() + at;
  for (const std::uint16_t* w = head_; w != end_; ++w, to += 2) {
    to[0] = static_cast<std::uint8_t>(*w);
    to[1] = static_cast<std::uint8_t>(*w >> 8);
  }
}

void DecodeTable::build(std::span<const std::uint32_t> frequencies) {
  std::uint32_t start = 0;
  for (std::uint32_t s = 0; s < frequencies.size(); ++s) {
    const std::uint32_t f = frequencies[s];
    std::fill_n(symbol.begin() + start, f, static_cast<std::uint8_t>(s));
    place[s] = (f << 16) | start;
    start += f;
  }
}

void DecodeTable::build_absent() {
  symbol.fill(kAbsent);
  place[kAbsent] = kRansScale << 16;
}

Decoder::Decoder(std::span<const std::uint8_t> code) : code_(code) {
  for (std::uint32_t* x : {&x0_, &x1_}) {
    *x = word_at(at_) | (word_at(at_ + 2) << 16);
    at_ += 4;
  }
}

}  // namespace ovk::lossless::rans
