#include "codec/rans.h"

#include <algorithm>
#include <string>

#include "codec/result.h"
#include "codec/tree_bits.h"

namespace ovk {

namespace {

// Precomputed reciprocal of a symbol frequency, so the encoder's per-bit
// x / f and x % f need no division instruction. With s = ceil(log2 f) and
// m = ceil(2^(32+s) / f), q = (x * m) >> (32 + s) equals x / f for every
// 32-bit x (the classic round-up reciprocal bound), so the coded bytes are
// exactly those of plain division. The encoder only divides states below
// f * 2^19, and then x * m < 2^(51+s) + 2^31 <= 2^63 + 2^31 fits in 64 bits.
struct Reciprocal {
  std::uint64_t multiplier;
  unsigned shift;

  explicit Reciprocal(std::uint32_t f) {
    unsigned s = 0;
    while ((1u << s) < f) ++s;
    shift = 32 + s;
    multiplier = ((std::uint64_t{1} << shift) + f - 1) / f;
  }
  std::uint32_t quotient(std::uint32_t x) const {
    return static_cast<std::uint32_t>((std::uint64_t{x} * multiplier) >> shift);
  }
};

// A state coded with frequency f must lie in [(L / M) * f, (L / M) * 2^8 * f)
// so that the step lands back in [L, L * 2^8): states at or above the upper
// end shed a byte first.
constexpr std::uint32_t kRenormBoundPerFreq = (kRansLowerBound / kRansScale) << kRansByteBits;

struct Symbol {
  std::uint32_t excess;  // M - f: x -> (x / f) * M + x % f + start = x + (x / f) * (M - f) + start
  std::uint32_t start;
  std::uint32_t renorm_bound;  // f * (L / M) * 2^8
  Reciprocal recip;
};

Symbol make_symbol(std::uint32_t freq, std::uint32_t start) {
  return Symbol{kRansScale - freq, start, freq * kRenormBoundPerFreq, Reciprocal(freq)};
}

// p0 then the state, both little-endian.
void put_header(std::vector<std::uint8_t>& out, std::uint32_t p0, std::uint32_t state) {
  out.push_back(static_cast<std::uint8_t>(p0 & 0xFF));
  out.push_back(static_cast<std::uint8_t>(p0 >> 8));
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<std::uint8_t>(state >> (8 * k)));
}

// No bits: even odds and the initial state, nothing to renormalise.
std::vector<std::uint8_t> empty_stream() {
  std::vector<std::uint8_t> out;
  put_header(out, kRansScale / 2, kRansLowerBound);
  return out;
}

// The decoder's state and the renormalisation bytes still to read (missing
// ones read as zero). Each step is branch-free but for renormalisation.
struct RansBitDecoder {
  std::uint32_t x;
  std::uint32_t p0;
  const std::uint8_t* pos;
  const std::uint8_t* end;
  std::uint64_t missing = 0;  // bytes read past the end, as zero

  std::uint32_t next_byte() noexcept {
    if (pos < end) return *pos++;
    ++missing;
    return 0;
  }

  unsigned next() noexcept {
    const std::uint32_t r = x & (kRansScale - 1);
    const std::uint32_t one = r >= p0;
    const std::uint32_t mask = 0u - one;
    const std::uint32_t f = p0 + (mask & (kRansScale - 2 * p0));  // p0, or M - p0 for a one
    const std::uint32_t c = mask & p0;                              // start of the symbol's slot
    x = f * (x >> kRansScaleBits) + r - c;
    // x >= f * 2^11 > 0 here, so this ends within three bytes.
    while (x < kRansLowerBound) x = (x << kRansByteBits) | next_byte();
    return one;
  }
};

}  // namespace

std::vector<std::uint8_t> rans_encode_bits(std::span<const std::uint8_t> bytes,
                                           std::uint64_t bit_count) {
  const std::uint64_t n = bit_count;
  if (n == 0) return empty_stream();
  if (packed_byte_count(n) > bytes.size()) OVK_FAULT("rANS input bit count exceeds its bytes");

  std::uint64_t ones = 0;
  const std::uint64_t whole = n / 8;
  for (std::uint64_t i = 0; i < whole; ++i)
    ones += static_cast<unsigned>(__builtin_popcount(bytes[i]));
  for (std::uint64_t i = whole * 8; i < n; ++i) ones += packed_bit(bytes.data(), i);
  const std::uint64_t zeros = n - ones;

  // Nearest 1/4096, halves up, then clamped so neither symbol has frequency 0.
  const std::uint64_t q = (zeros * kRansScale + n / 2) / n;
  const std::uint32_t p0 =
      q == 0 ? 1 : (q >= kRansScale - 1 ? kRansScale - 1 : static_cast<std::uint32_t>(q));
  const Symbol symbols[2] = {make_symbol(p0, 0), make_symbol(kRansScale - p0, p0)};

  // rANS is last-in first-out: code the bits backwards so the decoder yields
  // them forwards, and emit the renormalisation bytes reversed.
  std::vector<std::uint8_t> renorm;
  renorm.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n / 8 + 16, 1u << 20)));
  std::uint32_t x = kRansLowerBound;
  for (std::uint64_t i = n; i-- > 0;) {
    const Symbol& s = symbols[packed_bit(bytes.data(), i)];
    while (x >= s.renorm_bound) {
      renorm.push_back(static_cast<std::uint8_t>(x & 0xFF));
      x >>= kRansByteBits;
    }
    x += s.recip.quotient(x) * s.excess + s.start;
  }

  std::vector<std::uint8_t> out;
  out.reserve(renorm.size() + kRansHeaderBytes);
  put_header(out, p0, x);
  out.insert(out.end(), renorm.rbegin(), renorm.rend());
  return out;
}

Result<RansHeader> parse_rans_header(std::span<const std::uint8_t> stream) {
  if (stream.size() < kRansHeaderBytes) {
    return Error::invalid_data("rANS code shorter than its 6-byte header");
  }
  const std::uint32_t p0 = stream[0] | (std::uint32_t{stream[1]} << 8);
  const std::uint32_t state = stream[2] | (std::uint32_t{stream[3]} << 8) |
                              (std::uint32_t{stream[4]} << 16) | (std::uint32_t{stream[5]} << 24);
  if (p0 == 0 || p0 >= kRansScale) {
    return Error::invalid_data("rANS header holds the probability " + std::to_string(p0) +
                               ", outside 1..4095");
  }
  if (state < kRansLowerBound || state >= kRansStateLimit) {
    return Error::invalid_data("rANS header holds the state " + std::to_string(state) +
                               ", outside 2^23..2^31-1");
  }
  return RansHeader{p0, state};
}

std::vector<std::uint8_t> rans_decode_bits(std::span<const std::uint8_t> stream,
                                           std::uint64_t bit_count) {
  RansDecodeEnd end;
  return rans_decode_bits(stream, bit_count, end);
}

std::vector<std::uint8_t> rans_decode_bits(std::span<const std::uint8_t> stream,
                                           std::uint64_t bit_count, RansDecodeEnd& end) {
  const std::uint64_t n = bit_count;
  end = RansDecodeEnd{};
  if (n == 0) return {};
  const Result<RansHeader> header = parse_rans_header(stream);
  if (!header.ok()) OVK_FAULT(header.error().message());

  RansBitDecoder decoder{header.value().state, header.value().p0,
                         stream.data() + kRansHeaderBytes, stream.data() + stream.size()};
  std::vector<std::uint8_t> out(static_cast<std::size_t>(packed_byte_count(n)));
  const std::uint64_t whole = n / 8;
  for (std::uint64_t i = 0; i < whole; ++i) {
    unsigned byte = 0;
    for (int k = 0; k < 8; ++k) byte = (byte << 1) | decoder.next();
    out[i] = static_cast<std::uint8_t>(byte);
  }
  if (n % 8 != 0) {
    unsigned byte = 0;
    for (std::uint64_t k = 0; k < n % 8; ++k) byte = (byte << 1) | decoder.next();
    out[whole] = static_cast<std::uint8_t>(byte << (8 - n % 8));  // trailing bits zero
  }
  end.bytes_unread = static_cast<std::uint64_t>(decoder.end - decoder.pos);
  end.bytes_missing = decoder.missing;
  end.final_state = decoder.x;
  return out;
}

}  // namespace ovk
