// The fast chunk code and its static rANS coder: tables normalised and
// stored as documented, symbols and plain bits back from any mix, pinned
// bytes, and every kind of damaged code refused with its reason.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "lossless/fast_chunk.h"
#include "lossless/static_rans.h"
#include "splitmix64.h"

namespace ovk::lossless {
namespace {

using Random = testing_support::SplitMix64;
using Bytes = std::vector<std::uint8_t>;

std::vector<std::uint32_t> normalised(const std::vector<std::uint32_t>& counts) {
  std::vector<std::uint32_t> f(counts.size());
  rans::normalise(counts, f);
  return f;
}

TEST(StaticRans, NormalisePinned) {
  EXPECT_EQ(normalised({1, 1}), (std::vector<std::uint32_t>{512, 512}));
  EXPECT_EQ(normalised({3, 0, 1}), (std::vector<std::uint32_t>{768, 0, 256}));
  EXPECT_EQ(normalised({0, 7, 0}), (std::vector<std::uint32_t>{0, 1024, 0}));
  EXPECT_EQ(normalised({0, 0}), (std::vector<std::uint32_t>{0, 0}));
  // 254 rare symbols raised to 1 push the sum over: the largest gives way.
  std::vector<std::uint32_t> counts(255, 1);
  counts[100] = 1'000'000;
  const std::vector<std::uint32_t> f = normalised(counts);
  EXPECT_EQ(f[100], 770U);
  EXPECT_EQ(std::count(f.begin(), f.end(), 1U), 254);
}

TEST(StaticRans, NormaliseKeepsEveryCountedSymbolAndSumsToTheScale) {
  Random random{1};
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint32_t> counts(1 + random.next() % rans::kMaxAlphabet);
    const unsigned skew = static_cast<unsigned>(random.next() % 24);
    for (auto& c : counts) {
      c = random.next() % 3 == 0 ? 0 : static_cast<std::uint32_t>(random.next() >> (40 + skew % 24));
    }
    const std::vector<std::uint32_t> f = normalised(counts);
    const std::uint64_t total = std::accumulate(counts.begin(), counts.end(), std::uint64_t{0});
    EXPECT_EQ(std::accumulate(f.begin(), f.end(), std::uint64_t{0}), total == 0 ? 0 : rans::kRansScale);
    for (std::size_t s = 0; s < counts.size(); ++s) EXPECT_EQ(f[s] != 0, counts[s] != 0);
  }
}

TEST(StaticRans, CountsQuantisedPinned) {
  // Exact below 8; then the bit length and two bits below the leading one,
  // standing for the middle of the counts they hold.
  const std::vector<std::pair<std::uint32_t, unsigned>> pinned = {
      {1, 1}, {7, 7}, {8, 8}, {9, 8}, {10, 9}, {15, 11}, {16, 12}, {100, 22}, {(1U << 23) - 1, 87}};
  for (const auto& [count, q] : pinned) EXPECT_EQ(rans::quantise_count(count), q) << count;
  EXPECT_EQ(rans::count_of(7), 7U);
  EXPECT_EQ(rans::count_of(8), 9U);     // 8 ... 9
  EXPECT_EQ(rans::count_of(11), 15U);   // 14 ... 15
  EXPECT_EQ(rans::count_of(22), 104U);  // 96 ... 111
  for (std::uint32_t c = 1; c < (1U << 23); c += 1 + c / 7) {
    const std::uint32_t back = rans::count_of(rans::quantise_count(c));
    EXPECT_LE(std::max(back, c) - std::min(back, c), c / 8) << c;
  }
}

Bytes stored_table(const std::vector<std::uint32_t>& counts, std::vector<std::uint32_t>& f) {
  Bytes out;
  rans::BitWriter bits(out);
  f.assign(counts.size(), 0);
  rans::put_table(bits, counts, f);
  bits.finish();
  return out;
}

TEST(StaticRans, TableBitsAsDocumented) {
  std::vector<std::uint32_t> f;
  std::vector<std::uint32_t> counts(10, 0);
  counts[0] = 3;
  counts[3] = 1;
  // Low bit first: gamma(3) = 0 1 1; gaps gamma(1) = 1 and gamma(3) =
  // 0 1 1; the counts 3 and 1 in 7 bits each.
  EXPECT_EQ(stored_table(counts, f), (Bytes{0xEE, 0x41, 0x00}));
  EXPECT_EQ(f[0], 768U);
  EXPECT_EQ(f[3], 256U);
  // One symbol: gamma(2) = 0 1 0, then its gap 9: gamma(10) = 0 0 0 1 0 1 0.
  counts.assign(10, 0);
  counts[9] = 12345;
  const Bytes one = stored_table(counts, f);
  EXPECT_EQ(one, (Bytes{0x42, 0x01}));
  EXPECT_EQ(f[9], rans::kRansScale);
  rans::BitReader in(one);
  std::vector<std::uint32_t> back(10);
  ASSERT_TRUE(rans::get_table(in, 10, back).value());
  EXPECT_EQ(back, f);
}

// Tables the reader makes the same frequencies of as the writer, for any
// counts.
TEST(StaticRans, TablesReadAsWritten) {
  Random random{5};
  for (int round = 0; round < 500; ++round) {
    std::vector<std::uint32_t> counts(1 + random.next() % rans::kMaxAlphabet);
    for (auto& c : counts) {
      c = random.next() % 3 == 0 ? 0 : static_cast<std::uint32_t>(random.next() >> (41 + random.next() % 23));
    }
    std::vector<std::uint32_t> f;
    const Bytes bytes = stored_table(counts, f);
    rans::BitReader in(bytes);
    std::vector<std::uint32_t> back(counts.size());
    const Result<bool> read = rans::get_table(in, static_cast<unsigned>(counts.size()), back);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read.value(), std::any_of(counts.begin(), counts.end(), [](auto c) { return c != 0; }));
    EXPECT_EQ(back, f);
  }
}

TEST(StaticRans, DamagedTablesAreRefused) {
  const std::vector<Bytes> cases = {
      {0x48},              // gamma(12): 11 symbols of 10
      {0xC2, 0x01},        // one symbol, gap 10: symbol 10 of 10
      {0x6E, 0x40, 0x00},  // a count stored as 0
      {0xEE, 0x7F, 0x00},  // a count stored as 127
      {0x00, 0x00},        // a gamma code longer than any table needs
      {0xEE},              // ends inside the table
  };
  for (const Bytes& bytes : cases) {
    rans::BitReader in(bytes);
    std::vector<std::uint32_t> f(10);
    const Result<bool> r = rans::get_table(in, 10, f);
    ASSERT_FALSE(r.ok()) << testing::PrintToString(bytes);
    EXPECT_EQ(r.error().message(), "bad frequency table") << testing::PrintToString(bytes);
  }
}

// The encoder's multiply-and-shift step equals the division it replaces,
// for every frequency, at the ends of each state range and in between.
TEST(StaticRans, EncodeStepIsTheDivision) {
  Random random{11};
  for (std::uint32_t f = 1; f <= rans::kRansScale; ++f) {
    const std::uint32_t start = (f * 7) % (rans::kRansScale - f + 1);
    const rans::EncodeSymbol s(f, start);
    const std::uint64_t bound = std::uint64_t{f} << (32 - rans::kRansScaleBits);
    std::vector<std::uint64_t> states = {rans::kRansLow, rans::kRansLow + 1, bound - 1,
                                         bound - f, bound - f - 1};
    for (int i = 0; i < 200; ++i) states.push_back(rans::kRansLow + random.next() % (bound - rans::kRansLow));
    for (const std::uint64_t x : states) {
      if (x < rans::kRansLow || x >= bound) continue;
      const std::uint64_t want = ((x / f) << rans::kRansScaleBits) + x % f + start;
      ASSERT_EQ(rans::encode_step(static_cast<std::uint32_t>(x), s), want) << f << " " << x;
    }
  }
}

// Symbols in four tables of different skews, on alternating states, coded
// and decoded a pair at a time; any cut of the code is noticed.
TEST(StaticRans, SymbolsComeBackAndCutsAreNoticed) {
  Random random{7};
  constexpr unsigned kAlphabet = 40;
  std::vector<std::vector<std::uint32_t>> counts(4, std::vector<std::uint32_t>(kAlphabet, 0));
  std::vector<std::pair<unsigned, unsigned>> symbols(5000);
  for (auto& [table, symbol] : symbols) {
    table = static_cast<unsigned>(random.next() % 4);
    symbol = static_cast<unsigned>(random.next() % (table == 3 ? 1 : 2 + 12 * table));
    ++counts[table][symbol];
  }
  std::vector<std::vector<rans::EncodeSymbol>> places(4);
  std::vector<rans::DecodeTable> decode(4);
  for (unsigned table = 0; table < 4; ++table) {
    const std::vector<std::uint32_t> f = normalised(counts[table]);
    std::uint32_t start = 0;
    for (const std::uint32_t fs : f) {
      places[table].push_back({fs, start});
      start += fs;
    }
    decode[table].build(f);
  }
  std::vector<std::uint16_t> words(3, 0xABCD);  // too small: the encoder grows it
  rans::Encoder encoder(words, symbols.size());
  for (std::size_t i = symbols.size(); i-- > 0;) {
    encoder.put(i, places[symbols[i].first][symbols[i].second]);
  }
  Bytes code = {0x55};
  const std::size_t size = encoder.size();
  encoder.finish(code);
  ASSERT_EQ(code.size(), size + 1);
  code.erase(code.begin());
  const auto decodes = [&](std::span<const std::uint8_t> bytes) {
    rans::Decoder decoder(bytes);
    bool same = true;
    for (std::size_t i = 0; i < symbols.size(); i += 2) {
      const unsigned first = decoder.take<0>(decode[symbols[i].first]);
      const unsigned second = decoder.take<1>(decode[symbols[i + 1].first]);
      decoder.renormalise();
      same = same && first == symbols[i].second && second == symbols[i + 1].second;
    }
    return same && decoder.ended_cleanly();
  };
  EXPECT_TRUE(decodes(code));
  for (std::size_t cut = 0; cut < code.size(); cut += 1 + cut / 16) {
    EXPECT_FALSE(decodes(std::span(code).first(cut))) << cut;
  }
}

TEST(StaticRans, PlainBitsOfEveryWidth) {
  Random random{3};
  std::vector<std::pair<std::uint64_t, unsigned>> values;
  Bytes bytes;
  rans::BitWriter writer(bytes);
  for (int i = 0; i < 3000; ++i) {
    const auto count = static_cast<unsigned>(random.next() % 65);
    const std::uint64_t v =
        count == 64 ? random.next() : random.next() & ((std::uint64_t{1} << count) - 1);
    writer.put(v, count);
    values.emplace_back(v, count);
  }
  writer.finish();
  rans::BitReader reader(bytes);
  for (const auto& [v, count] : values) ASSERT_EQ(reader.get(count), v);
  EXPECT_TRUE(reader.ended_cleanly());
  Bytes longer = bytes;
  longer.push_back(0);
  rans::BitReader extra(longer);
  for (const auto& [v, count] : values) (void)extra.get(count);
  EXPECT_FALSE(extra.ended_cleanly());
}

Bytes fast_code(Event64Span events) {
  Bytes code;
  FastChunkScratch scratch;
  encode_fast_chunk(events, code, scratch);
  return code;
}

Status fast_decode(std::span<const std::uint8_t> code, std::size_t count, Event64Vec& events) {
  FastChunkScratch scratch;
  return decode_fast_chunk(code, count, events, scratch);
}

TEST(FastChunk, TwoEventsPinned) {
  const Event64Vec events = {{3, 4, 100, 1}, {4, 4, 105, 1}};
  const Bytes code = fast_code(events);
  // The 24 tables, the rANS code's length, its 8 bytes (the two states), the
  // plain bits (docs/format.md takes these bytes apart).
  const Bytes expected = {0x82, 0xFA, 0x0B, 0x61, 0x60, 0x32, 0x10, 0x78, 0x15, 0xA2, 0xF4, 0x8B,
                          0x02, 0x08, 0x00, 0x00, 0x01, 0x00, 0x00, 0x02, 0x04, 0x00, 0x44};
  EXPECT_EQ(code, expected);
  Event64Vec back;
  ASSERT_TRUE(fast_decode(code, 2, back).ok());
  EXPECT_EQ(back, events);
}

// Pixels that come back exactly kRecent events later, and one event later:
// the ring's edge, where a pixel just leaves the recent ones.
TEST(FastChunk, RecentPixelsAtTheRingsEdge) {
  Event64Vec events;
  for (int round = 0; round < 3; ++round) {
    for (std::uint32_t i = 0; i < 4096 + static_cast<std::uint32_t>(round); ++i) {
      events.push_back({static_cast<std::uint16_t>(i % 700), static_cast<std::uint16_t>(i / 700),
                        events.size() * 3, static_cast<std::uint8_t>(i % 3 == 0)});
    }
  }
  Event64Vec back;
  ASSERT_TRUE(fast_decode(fast_code(events), events.size(), back).ok());
  EXPECT_EQ(back, events);
}

Event64Vec noisy_events(std::size_t n) {
  Random random{11};
  Event64Vec events;
  std::uint64_t t = 5000;
  for (std::size_t i = 0; i < n; ++i) {
    t += random.next() % 40;
    events.push_back({static_cast<std::uint16_t>(random.next() % 64),
                      static_cast<std::uint16_t>(random.next() % 48), t,
                      static_cast<std::uint8_t>(random.next() % 2)});
  }
  return events;
}

TEST(FastChunk, EveryCutIsRefused) {
  const Event64Vec events = noisy_events(300);
  const Bytes code = fast_code(events);
  Event64Vec back;
  for (std::size_t cut = 0; cut < code.size(); ++cut) {
    EXPECT_FALSE(fast_decode(std::span(code).first(cut), events.size(), back).ok()) << cut;
  }
  Bytes longer = code;
  longer.push_back(0);
  EXPECT_FALSE(fast_decode(longer, events.size(), back).ok());
  EXPECT_FALSE(fast_decode(code, events.size() + 1, back).ok());
  EXPECT_FALSE(fast_decode(code, events.size() - 1, back).ok());
}

// Every byte of a code changed in turn: each decodes to other events or
// fails saying why, and the reasons include those of each check.
TEST(FastChunk, ChangedBytesFailWithTheirReason) {
  const Event64Vec events = noisy_events(400);
  const Bytes code = fast_code(events);
  const std::set<std::string> known = {
      "bad frequency table",         "code ends inside a number",
      "number out of range",         "code ends before its events",
      "impossible token",            "recent pixel out of range",
      "plain bits do not end with the events", "code does not end where its events do"};
  std::set<std::string> reasons;
  Event64Vec back;
  for (std::size_t i = 0; i < code.size(); ++i) {
    for (const std::uint8_t flip : {0x01, 0x10, 0x80}) {
      Bytes changed = code;
      changed[i] ^= flip;
      const Status s = fast_decode(changed, events.size(), back);
      if (s.ok()) {
        EXPECT_NE(back, events) << i;
      } else {
        EXPECT_TRUE(known.contains(s.error().message())) << s.error().message();
        reasons.insert(s.error().message());
      }
    }
  }
  for (const char* reason : {"bad frequency table", "recent pixel out of range",
                             "code does not end where its events do"}) {
    EXPECT_TRUE(reasons.contains(reason)) << reason;
  }
}

// Codes made by hand: the states at 2^16, tables that send the first event
// where no encoder would.
TEST(FastChunk, HandMadeCodesFailWithTheirReason) {
  const Bytes states = {0x08, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00};
  const auto with_states = [&states](Bytes tables) {
    tables.insert(tables.end(), states.begin(), states.end());
    return tables;
  };
  Event64Vec back;
  // Every table empty: the first time token comes from nowhere.
  Status s = fast_decode(with_states({0xFF, 0xFF, 0xFF}), 1, back);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "impossible token");
  // Time step 0 for sure, and the place "the previous event's pixel" for
  // sure: the first event has none.
  s = fast_decode(with_states({0xFA, 0xAF, 0xFF, 0x3F}), 1, back);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "recent pixel out of range");
  // No events: the same codes are whole and right.
  EXPECT_TRUE(fast_decode(with_states({0xFF, 0xFF, 0xFF}), 0, back).ok());
  EXPECT_TRUE(back.empty());
  // A bit set in the rest of the tables' last byte.
  s = fast_decode(with_states({0xFA, 0xAF, 0xFF, 0x7F}), 1, back);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "bad frequency table");
}

}  // namespace
}  // namespace ovk::lossless
