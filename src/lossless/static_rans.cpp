#include "lossless/static_rans.h"

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

void put_table(std::vector<std::uint8_t>& out, std::span<const std::uint32_t> frequencies) {
  const auto present = static_cast<std::uint32_t>(
      std::count_if(frequencies.begin(), frequencies.end(), [](std::uint32_t f) { return f != 0; }));
  put_varint(out, present);
  std::uint32_t next = 0;
  for (std::uint32_t s = 0; s < frequencies.size(); ++s) {
    if (frequencies[s] == 0) continue;
    put_varint(out, s - next);
    next = s + 1;
  }
  if (present < 2) return;
  for (const std::uint32_t f : frequencies) {
    if (f != 0) put_varint(out, f - 1);
  }
}

Result<bool> get_table(std::span<const std::uint8_t> in, std::size_t& at, unsigned alphabet,
                       std::span<std::uint32_t> frequencies) {
  const auto bad = [] { return Error(ErrorKind::kInvalidData, "bad frequency table"); };
  std::fill(frequencies.begin(), frequencies.end(), 0U);
  OVK_ASSIGN_OR_RETURN(const std::uint32_t present, get_varint(in, at));
  if (present > alphabet) return bad();
  if (present == 0) return false;
  std::array<std::uint8_t, kMaxAlphabet> symbols{};
  std::uint64_t next = 0;
  for (std::uint32_t i = 0; i < present; ++i) {
    OVK_ASSIGN_OR_RETURN(const std::uint32_t gap, get_varint(in, at));
    next += gap;
    if (next >= alphabet) return bad();
    symbols[i] = static_cast<std::uint8_t>(next);
    ++next;
  }
  if (present == 1) {
    frequencies[symbols[0]] = kRansScale;
    return true;
  }
  std::uint64_t sum = 0;
  for (std::uint32_t i = 0; i < present; ++i) {
    OVK_ASSIGN_OR_RETURN(const std::uint32_t f, get_varint(in, at));
    if (f >= kRansScale) return bad();
    frequencies[symbols[i]] = f + 1;
    sum += f + 1;
  }
  if (sum != kRansScale) return bad();
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
    const std::uint32_t low = peek_word();
    at_ += 2;
    *x = low | (peek_word() << 16);
    at_ += 2;
  }
}

}  // namespace ovk::lossless::rans
