// The context coding of tree bits against a reference written from the
// coding's description alone: contexts worked out from node coordinates and
// the finished tree (no incremental sets), and a range coder that
// propagates carries into the bytes already written. Byte for byte, on
// random recordings over geometries from one cell to 65535^3; then hostile
// codes, the bit-count bound, and memory that follows the tree.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <random>
#include <set>
#include <tuple>

#include "codec/context_coder.h"
#include "codec/context_compress.h"
#include "codec/tree_bits.h"
#include "codec/tree_contexts.h"
#include "codec/voxel_grid.h"
#include "codec_shortcuts.h"
#include "codec_test_support.h"

namespace ovk {
namespace {

using testing_support::random_events;

// ---- reference ----

class ReferenceRangeEncoder {
 public:
  // A context: its probability of a 0 in 1/4096 and the bits it has seen.
  struct Context {
    std::uint32_t p = 2048, seen = 0;
  };
  void encode(Context& c, bool bit) {
    static constexpr unsigned kShift[16] = {1, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 4, 5, 5, 5, 6};
    const std::uint64_t bound = (range_ >> 12) * c.p;
    const unsigned shift = kShift[std::min<std::uint32_t>(c.seen, 15)];
    if (bit) {
      low_ += bound;
      range_ -= bound;
      c.p -= c.p >> shift;
    } else {
      range_ = bound;
      c.p += (4096 - c.p) >> shift;
    }
    ++c.seen;
    if (low_ >= (std::uint64_t{1} << 32)) {  // carry into the bytes written
      low_ -= std::uint64_t{1} << 32;
      for (std::size_t i = out_.size(); i-- > 0;) {
        if (++out_[i] != 0) break;
      }
    }
    while (range_ < (1u << 24)) {
      out_.push_back(static_cast<std::uint8_t>(low_ >> 24));
      low_ = (low_ << 8) & 0xFFFFFFFFu;
      range_ <<= 8;
    }
  }
  std::vector<std::uint8_t> finish() {
    for (int shift = 24; shift >= 0; shift -= 8) out_.push_back(static_cast<std::uint8_t>(low_ >> shift));
    return out_;
  }

 private:
  std::uint64_t low_ = 0;
  std::uint64_t range_ = 0xFFFFFFFFu;
  std::vector<std::uint8_t> out_;
};

using Node = std::array<std::uint64_t, 3>;

std::vector<std::uint8_t> reference_code(const std::vector<std::uint64_t>& keys,
                                         const GridGeometry& g, std::uint8_t max_depth) {
  const unsigned log[3] = {static_cast<unsigned>(std::countr_zero(g.padded_width())),
                           static_cast<unsigned>(std::countr_zero(g.padded_height())),
                           static_cast<unsigned>(std::countr_zero(g.padded_bins()))};
  const unsigned deepest = std::min<unsigned>(max_depth, g.single_cell_depth());
  auto at_depth = [&](const Node& cell, unsigned d) {
    Node n;
    for (int a = 0; a < 3; ++a) n[a] = cell[a] >> (log[a] - std::min(d, log[a]));
    return n;
  };
  auto key_of = [&](const Node& n, unsigned d) {  // prefix of the node, for the order
    Node cell;
    for (int a = 0; a < 3; ++a) cell[a] = n[a] << (log[a] - std::min(d, log[a]));
    return g.key(cell[0], cell[1], cell[2]) >> g.prefix_shift(d);
  };
  // Cells back from keys: every cell of the grid, by brute force over the
  // keys' bits would be slow; invert key() one bit at a time instead.
  std::vector<Node> cells;
  for (const std::uint64_t k : keys) {
    Node c{0, 0, 0};
    unsigned bit = g.key_bits();
    for (unsigned d = 0; d < g.single_cell_depth(); ++d) {
      for (int a = 0; a < 3; ++a) {
        if (log[a] > d) c[a] = (c[a] << 1) | ((k >> --bit) & 1u);
      }
    }
    cells.push_back(c);
  }
  std::vector<std::set<Node>> occupied(deepest + 1);
  for (const Node& c : cells) {
    for (unsigned d = 0; d <= deepest; ++d) occupied[d].insert(at_depth(c, d));
  }
  auto has = [&](unsigned d, const Node& n) { return occupied[d].count(n) != 0; };

  ReferenceRangeEncoder rc;
  std::vector<ReferenceRangeEncoder::Context> p(kTreeContexts);
  rc.encode(p[0], !keys.empty());
  for (unsigned d = 0; d < deepest && !keys.empty(); ++d) {
    std::vector<Node> parents(occupied[d].begin(), occupied[d].end());
    std::sort(parents.begin(), parents.end(),
              [&](const Node& a, const Node& b) { return key_of(a, d) < key_of(b, d); });
    std::vector<int> halving;
    for (int a = 0; a < 3; ++a) {
      if (log[a] > d) halving.push_back(a);
    }
    const unsigned n = 1u << halving.size();
    for (const Node& parent : parents) {
      unsigned ones = 0;
      for (unsigned c = 0; c < n; ++c) {
        Node child;
        int half[3] = {-1, -1, -1};
        for (int a = 0; a < 3; ++a) child[a] = log[a] > d ? 2 * parent[a] : parent[a];
        for (std::size_t b = 0; b < halving.size(); ++b) {
          const int a = halving[b];
          half[a] = static_cast<int>((c >> (halving.size() - 1 - b)) & 1u);
          child[a] += static_cast<std::uint64_t>(half[a]);
        }
        unsigned near = 0, behind = 0;
        for (int a = 0; a < 3; ++a) {
          Node lower = parent, upper = parent;
          const bool has_lower = parent[a] > 0;
          lower[a] -= has_lower ? 1 : 0;
          upper[a] += 1;
          const bool lo = has_lower && has(d, lower), hi = has(d, upper);
          near = (near << 1) | unsigned{half[a] < 0 ? (lo || hi) : (half[a] ? hi : lo)};
          Node back = child;
          bool b = false;
          if (child[a] > 0) {
            back[a] -= 1;
            b = has(d + 1, back);
          }
          behind = (behind << 1) | unsigned{b};
        }
        const bool bit = has(d + 1, child);
        if (!(c + 1 == n && ones == 0)) {
          rc.encode(p[((((d + 1) * 8 + near) * 8 + behind) * 8 + c) * 8 + ones], bit);
        }
        ones += bit;
      }
    }
  }
  return rc.finish();
}

struct Case {
  std::uint16_t w, h, bins;
  std::uint8_t depth;
  EventVec events;
};

std::string describe(const Case& c) {
  return std::to_string(c.w) + "x" + std::to_string(c.h) + "x" + std::to_string(c.bins) +
         " depth " + std::to_string(c.depth) + ", " + std::to_string(c.events.size()) + " events";
}

void expect_round_trip(const Case& c) {
  const GridGeometry g(c.w, c.h, c.bins);
  const std::vector<std::uint64_t> keys = occupied_cell_keys(c.events, g, c.bins).value();
  const PackedBits bits = encode_tree_bits(keys, g, c.depth).value();
  const ContextLayout layout(g, c.depth);
  const std::vector<std::uint8_t> code = context_encode_tree(bits.bytes, bits.bit_count, layout);
  ASSERT_EQ(code, reference_code(keys, g, c.depth)) << describe(c);
  const Result<PackedBits> back = context_decode_tree(code, bits.bit_count, layout);
  ASSERT_TRUE(back.ok()) << describe(c) << ": " << back.error().message();
  ASSERT_EQ(back.value(), bits) << describe(c);
  ASSERT_LE(bits.bit_count, max_context_bits(code.size())) << describe(c);
}

TEST(ContextCoder, MatchesReferenceOnRandomRecordings) {
  std::mt19937_64 rng(2024);
  const std::uint16_t sizes[] = {0, 1, 2, 3, 5, 8, 13, 34, 64, 100, 65535};
  for (int round = 0; round < 300; ++round) {
    Case c;
    c.w = sizes[rng() % std::size(sizes)];
    c.h = sizes[rng() % std::size(sizes)];
    c.bins = sizes[rng() % std::size(sizes)];
    c.depth = static_cast<std::uint8_t>(rng() % 19);
    const std::size_t n = rng() % 5 == 0 ? 0 : rng() % 200;
    c.events = random_events(rng, n, c.w, c.h, static_cast<std::uint32_t>(rng() % 100000));
    expect_round_trip(c);
  }
}

TEST(ContextCoder, MatchesReferenceOnDenseAndExtremeGeometries) {
  std::mt19937_64 rng(7);
  const std::uint16_t shapes[][3] = {{1, 1, 65535}, {65535, 65535, 1}, {65535, 65535, 65535},
                                     {16, 16, 16},  {33, 17, 9},      {1, 1, 1}};
  for (const auto& s : shapes) {
    for (const std::size_t n : {std::size_t{1}, std::size_t{5}, std::size_t{3000}}) {
      const bool big = s[0] > 1000 || s[2] > 1000;
      Case c{s[0], s[1], s[2], static_cast<std::uint8_t>(rng() % 2 ? 16 : 5), {}};
      c.events = random_events(rng, big ? std::min<std::size_t>(n, 40) : n,
                               static_cast<std::uint16_t>(s[0] - 1),
                               static_cast<std::uint16_t>(s[1] - 1), 1'000'000);
      expect_round_trip(c);
    }
  }
}

TEST(ContextCoder, MatchesReferenceOnDenseClusteredRecordings) {
  // Trees with most neighbours occupied, and with every split size (8, 4
  // and 2 children), so that the neighbour links and the context tables of
  // every depth are exercised: events in a few blobs moving through time.
  std::mt19937_64 rng(31);
  const std::uint16_t shapes[][3] = {{64, 64, 64}, {128, 32, 8}, {40, 200, 16}, {8, 8, 512}};
  for (const auto& s : shapes) {
    for (const std::uint8_t depth : {std::uint8_t{16}, std::uint8_t{4}}) {
      Case c{s[0], s[1], s[2], depth, {}};
      for (int blob = 0; blob < 4; ++blob) {
        const std::uint16_t cx = static_cast<std::uint16_t>(rng() % s[0]);
        const std::uint16_t cy = static_cast<std::uint16_t>(rng() % s[1]);
        for (std::uint32_t t = 0; t < 3000; ++t) {
          const auto x = static_cast<std::uint16_t>(std::min<unsigned>(cx + rng() % 9, s[0] - 1));
          const auto y = static_cast<std::uint16_t>(std::min<unsigned>(cy + rng() % 9, s[1] - 1));
          c.events.push_back({x, y, t * 7, 0});
        }
      }
      expect_round_trip(c);
    }
  }
}

TEST(ContextCoder, SequenceFramesAreEachFramesTreeWithTheRecordsTotals) {
  std::mt19937_64 rng(41);
  const EventVec events = random_events(rng, 3000, 99, 49, 1'000'000);
  const GridGeometry g(100, 50, 16);
  const ContextLayout layout(g, 16);
  for (const std::uint64_t n_frames : {std::uint64_t{1}, std::uint64_t{7}, std::uint64_t{100}}) {
    const SequenceOutput seq = compress_sequence_context(events, 100, 50, 16, 16, n_frames).value();
    const SequenceOutput rle = compress_sequence(events, 100, 50, 16, 16, n_frames).value();
    ASSERT_EQ(seq.frame_codes.size(), n_frames);
    const std::vector<std::uint64_t> frame_of = split_frames(events, n_frames);
    std::uint64_t bits_total = 0, bytes_total = 0;
    for (std::size_t k = 0; k < n_frames; ++k) {
      EventVec frame;
      for (std::size_t i = 0; i < events.size(); ++i) {
        if (frame_of[i] == k) frame.push_back(events[i]);
      }
      std::vector<std::uint64_t> keys;
      if (!frame.empty()) keys = occupied_cell_keys(frame, g, 16).value();
      const PackedBits bits = encode_tree_bits(keys, g, 16).value();
      ASSERT_EQ(seq.frame_bit_counts[k], bits.bit_count) << k;
      EXPECT_EQ(rle.frame_bit_counts[k], bits.bit_count) << k;
      EXPECT_EQ(context_decode_tree(seq.frame_codes[k], bits.bit_count, layout).value(), bits) << k;
      bits_total += bits.bit_count;
      bytes_total += seq.frame_codes[k].size();
    }
    EXPECT_EQ(seq.record.n_bits, bits_total);
    EXPECT_EQ(seq.record.n_bits, rle.record.n_bits);
    EXPECT_EQ(seq.record.bitstream_bytes, bytes_total);
    EXPECT_EQ(seq.record.n_events, events.size());
    EXPECT_EQ(seq.record.raw_bytes, 9 * events.size());
    EXPECT_DOUBLE_EQ(seq.record.sparsity, rle.record.sparsity);
  }
  EXPECT_TRUE(compress_sequence_context(events, 100, 50, 16, 16, 0).value().frame_codes.empty());
  EXPECT_TRUE(compress_sequence_context({}, 100, 50, 16, 16, 5).value().frame_codes.empty());
}

// ---- hostile codes ----

struct Small {
  ContextLayout layout{GridGeometry(8, 4, 4), 3};
  PackedBits bits;
  std::vector<std::uint8_t> code;
  Small() {
    std::mt19937_64 rng(5);
    const EventVec events = random_events(rng, 12, 7, 3, 1000);
    const GridGeometry g(8, 4, 4);
    bits = encode_tree_bits(occupied_cell_keys(events, g, 4).value(), g, 3).value();
    code = context_encode_tree(bits.bytes, bits.bit_count, layout);
  }
};

void expect_one_line(const Status& s) {
  if (!s.ok()) {
    EXPECT_EQ(s.error().kind(), ErrorKind::kInvalidData);
    EXPECT_EQ(s.error().message().find('\n'), std::string::npos);
    EXPECT_FALSE(s.error().message().empty());
  }
}

TEST(ContextCoder, EveryTruncationIsAnError) {
  const Small small;
  for (std::size_t n = 0; n < small.code.size(); ++n) {
    const std::vector<std::uint8_t> cut(small.code.begin(), small.code.begin() + n);
    const Result<PackedBits> r = context_decode_tree(cut, small.bits.bit_count, small.layout);
    ASSERT_FALSE(r.ok()) << n;
    expect_one_line(Status(r.error()));
  }
  std::vector<std::uint8_t> longer = small.code;
  longer.push_back(0);
  const Result<PackedBits> r = context_decode_tree(longer, small.bits.bit_count, small.layout);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "context code holds 1 bytes after its bits");
}

TEST(ContextCoder, SingleByteChangesAndWrongBitCountsNeverCrash) {
  const Small small;
  int errors = 0;
  for (std::size_t i = 0; i < small.code.size(); ++i) {
    for (const int flip : {0x01, 0x10, 0x80, 0xFF}) {
      std::vector<std::uint8_t> changed = small.code;
      changed[i] = static_cast<std::uint8_t>(changed[i] ^ flip);
      const Result<PackedBits> r = context_decode_tree(changed, small.bits.bit_count, small.layout);
      if (!r.ok()) {
        ++errors;
        expect_one_line(Status(r.error()));
      } else {
        // A change the decoder accepts still yields a tree of the right length.
        EXPECT_EQ(r.value().bit_count, small.bits.bit_count);
      }
    }
  }
  EXPECT_GT(errors, 0);
  for (std::uint64_t bits = 1; bits < small.bits.bit_count + 40; ++bits) {
    if (bits == small.bits.bit_count) continue;
    const Result<PackedBits> r = context_decode_tree(small.code, bits, small.layout);
    EXPECT_FALSE(r.ok()) << bits;
    if (!r.ok()) expect_one_line(Status(r.error()));
  }
}

TEST(ContextCoder, RandomBytesNeverCrash) {
  std::mt19937_64 rng(11);
  const ContextLayout layouts[] = {ContextLayout(GridGeometry(8, 4, 4), 3),
                                   ContextLayout(GridGeometry(65535, 65535, 65535), 16),
                                   ContextLayout(GridGeometry(1, 1, 65535), 16)};
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint8_t> code(rng() % 40);
    for (std::uint8_t& b : code) b = static_cast<std::uint8_t>(rng());
    const std::uint64_t bits = 1 + rng() % std::max<std::uint64_t>(1, max_context_bits(code.size()));
    const Result<PackedBits> r = context_decode_tree(code, bits, layouts[round % 3]);
    if (!r.ok()) expect_one_line(Status(r.error()));
  }
}

TEST(ContextCoder, BitCountBoundFollowsTheCodeLength) {
  EXPECT_EQ(max_context_bits(0), 0u);
  EXPECT_EQ(max_context_bits(3), 0u);
  EXPECT_EQ(max_context_bits(4), 92'000u);
  // The most compressible tree there is: one full 8x8x8 grid.
  EventVec events;
  for (std::uint16_t x = 0; x < 64; ++x) {
    for (std::uint16_t y = 0; y < 64; ++y) {
      for (std::uint32_t t = 0; t < 64; ++t) events.push_back({x, y, t, 0});
    }
  }
  const GridGeometry g(64, 64, 64);
  const PackedBits bits = encode_tree_bits(occupied_cell_keys(events, g, 64).value(), g, 6).value();
  const std::vector<std::uint8_t> code =
      context_encode_tree(bits.bytes, bits.bit_count, ContextLayout(g, 6));
  EXPECT_LE(bits.bit_count, max_context_bits(code.size()));
}

// ---- memory ----

using testing_support::passes_under_address_limit;

TEST(ContextCoder, NeighbourLookupsCostTheTreeNotTheVolume) {
  // 65535^3 padded to 2^48 cells: any per-cell or per-node-of-a-level grid
  // would need terabytes; 256 MiB of address space must do.
  const bool ok = passes_under_address_limit(256u << 20, [] {
    std::mt19937_64 rng(3);
    const EventVec events = random_events(rng, 6, 65534, 65534, 4'000'000'000u);
    const CompressOutput out = compress_events_context(events, 65535, 65535, 65535, 16).value();
    const SequenceOutput seq =
        compress_sequence_context(events, 65535, 65535, 65535, 16, 3).value();
    return out.record.n_bits > 0 && seq.frame_codes.size() == 3;
  });
  EXPECT_TRUE(ok);
}

}  // namespace
}  // namespace ovk
