#include "codec/tree_bits.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

#include "codec/rans.h"
#include "codec_test_support.h"
#include "reference_codec.h"
#include "reference_tree_reader.h"

namespace ovk {
namespace {

using testing_support::bytes_of;
using testing_support::Cell;
using testing_support::bits_of_cells;
using testing_support::decode_tree;
using testing_support::render;

// Hand-made trees with their bits: an empty root, a lone leaf, one split of
// two children, a full 2 x 2 x 2 box (which still splits), and a 4 x 1 x 2
// grid holding the cells (x 1, bin 0) and (x 3, bin 1) at two depth limits.
TEST(EncodeTreeBits, SmallTreesByValue) {
  const PackedBits empty = bits_of_cells(4, 4, 4, {}, 3);
  EXPECT_EQ(empty.bytes, bytes_of({0x00}));
  EXPECT_EQ(empty.bit_count, 1u);

  const PackedBits leaf = bits_of_cells(4, 4, 4, {{1, 1, 1}}, 0);
  EXPECT_EQ(leaf.bytes, bytes_of({0x80}));
  EXPECT_EQ(leaf.bit_count, 1u);

  const PackedBits pair = bits_of_cells(2, 1, 1, {{1, 0, 0}}, 1);
  EXPECT_EQ(pair.bytes, bytes_of({0xA0}));
  EXPECT_EQ(pair.bit_count, 3u);

  std::vector<Cell> all;
  for (std::uint64_t i = 0; i < 8; ++i) all.push_back({i >> 2, (i >> 1) & 1, i & 1});
  const PackedBits full = bits_of_cells(2, 2, 2, all, 1);
  EXPECT_EQ(full.bytes, bytes_of({0xFF, 0x80}));
  EXPECT_EQ(full.bit_count, 9u);

  const std::vector<Cell> two = {{1, 0, 0}, {3, 0, 1}};
  const PackedBits deep = bits_of_cells(4, 1, 2, two, 2);
  EXPECT_EQ(deep.bytes, bytes_of({0xCA, 0x80}));
  EXPECT_EQ(deep.bit_count, 9u);
  const PackedBits shallow = bits_of_cells(4, 1, 2, two, 1);
  EXPECT_EQ(shallow.bytes, bytes_of({0xC8}));
  EXPECT_EQ(shallow.bit_count, 5u);
}

// The tree of two cells on a 4 x 1 x 2 grid has 9 bits, which cost the codec
// 27 bytes from encoding to decoding: a budget one byte short is refused
// before the bits are made.
TEST(EncodeTreeBits, RefusedWhenTheTreeExceedsTheMemoryBudget) {
  const GridGeometry geometry(4, 1, 2);
  const TreeLevels levels(geometry, 2);
  const std::vector<std::uint64_t> keys = {geometry.key(1, 0, 0), geometry.key(3, 0, 1)};
  const auto refused = encode_tree_bits(keys, levels, 9 * kCodecBytesPerTreeBit - 1);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), ErrorKind::kOutOfMemory);
  const auto fits = encode_tree_bits(keys, levels, 9 * kCodecBytesPerTreeBit);
  ASSERT_TRUE(fits.ok());
  EXPECT_EQ(fits.value().bytes, bytes_of({0xCA, 0x80}));
}

// Bits 1 0 1 (0xA0) over a 2 x 1 x 1 grid, cut short, with a size that
// cannot split or a depth limit of 0; a lone 1 bit over a 2 x 2 x 2 grid;
// and the two trees of the 4 x 1 x 2 grid above.
TEST(DecodeTree, SmallTreesByValue) {
  const auto a0 = bytes_of({0xA0});
  EXPECT_EQ(render(decode_tree(a0, 0, 2, 1, 1, 1)), "E");
  EXPECT_EQ(render(decode_tree({}, 3, 2, 1, 1, 1)), "E");
  EXPECT_EQ(render(decode_tree(a0, 3, 2, 1, 1, 1)), "S[E,O]");
  EXPECT_EQ(render(decode_tree(a0, 3, 1, 1, 1, 1)), "O");  // unsplittable: extra bits ignored
  EXPECT_EQ(render(decode_tree(a0, 3, 2, 1, 1, 0)), "O");
  // Bits run out: the eight queued children all become empty.
  EXPECT_EQ(render(decode_tree(bytes_of({0x80}), 1, 2, 2, 2, 1)), "S[E,E,E,E,E,E,E,E]");
  EXPECT_EQ(render(decode_tree(bytes_of({0xCA, 0x80}), 9, 4, 1, 2, 2)), "S[S[E,O],E,E,S[E,O]]");
  EXPECT_EQ(render(decode_tree(bytes_of({0xC8}), 5, 4, 1, 2, 1)), "S[O,E,E,O]");
}

TEST(DecodeTree, ReadingPastTheBytesIsAFault) {
  // Root split into eight children needs bits 1..8; only 8 bits are held.
  EXPECT_THROW(decode_tree(bytes_of({0xFF}), 9, 2, 2, 2, 1), Fault);
  // A bit count larger than the bytes is harmless while the tree does not need them.
  EXPECT_EQ(render(decode_tree(bytes_of({0x00}), 100, 2, 2, 2, 1)), "E");
}

// Random cells over random (non-cubic, size-1 included) shapes and depths:
// the sparse encoder agrees with the reference bit for bit, and the bits
// survive rANS coding and decode into a tree that has one node per bit.
TEST(TreeBits, RandomCellsMatchReferenceAndRoundTrip) {
  std::mt19937_64 rng(2024);
  for (int round = 0; round < 400; ++round) {
    const std::uint64_t wp = 1ull << (rng() % 5), hp = 1ull << (rng() % 5),
                        tp = 1ull << (rng() % 5);
    const auto max_depth = static_cast<std::uint8_t>(rng() % 7);
    std::vector<Cell> cells;
    const std::uint64_t n = rng() % (wp * hp * tp + 1);
    for (std::uint64_t i = 0; i < n; ++i) cells.push_back({rng() % wp, rng() % hp, rng() % tp});
    reference::Grid g{wp, hp, tp, {}};
    for (const Cell& c : cells) g.cells.insert({c.x, c.y, c.t});

    const PackedBits bits = bits_of_cells(wp, hp, tp, cells, max_depth);
    ASSERT_EQ(bits, reference::tree_bits(g, max_depth))
        << wp << "x" << hp << "x" << tp << " d" << +max_depth;

    const auto stream = rans_encode_bits(bits.bytes, bits.bit_count);
    const auto decoded = rans_decode_bits(stream, bits.bit_count);
    ASSERT_EQ(decoded, bits.bytes);
    const Octree rebuilt = decode_tree(decoded, bits.bit_count, wp, hp, tp, max_depth);
    ASSERT_EQ(rebuilt.nodes.size(), bits.bit_count);
    for (std::uint64_t i = 0; i < bits.bit_count; ++i)
      ASSERT_EQ(rebuilt.nodes[i].kind != NodeKind::kEmpty, packed_bit(bits.bytes.data(), i));
    ASSERT_EQ(reference::decode_tree(decoded, bits.bit_count, wp, hp, tp, max_depth),
              rebuilt);
  }
}

// Arbitrary bits, too many or too few of them: the production reader and
// the reference build the same tree.
TEST(DecodeTree, AgreesWithReferenceOnArbitraryBits) {
  std::mt19937_64 rng(77);
  for (int round = 0; round < 500; ++round) {
    std::vector<std::uint8_t> bytes(1 + rng() % 40);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng() % 4 == 0 ? 0 : rng());
    const std::uint64_t bit_count = rng() % (8 * bytes.size() + 1);
    const std::uint64_t wp = 1ull << (rng() % 6), hp = 1ull << (rng() % 6),
                        tp = 1ull << (rng() % 6);
    const auto max_depth = static_cast<std::uint8_t>(rng() % 8);
    ASSERT_EQ(decode_tree(bytes, bit_count, wp, hp, tp, max_depth),
              reference::decode_tree(bytes, bit_count, wp, hp, tp, max_depth));
  }
}

// The reader with one tree reused for every string (a bigger tree first,
// then smaller ones, so stale nodes would show) builds what the reference
// builds: strings long enough to span several 64-bit words,
// ones dense and sparse, bit counts short of and past the bytes' end.
TEST(DecodeTree, ReusedTreeAgreesWithReference) {
  std::mt19937_64 rng(91);
  Octree tree;
  for (int round = 0; round < 600; ++round) {
    std::vector<std::uint8_t> bytes(1 + rng() % 300);
    const unsigned density = static_cast<unsigned>(rng() % 4);
    for (auto& b : bytes) {
      b = static_cast<std::uint8_t>(rng());
      if (density == 0) b &= static_cast<std::uint8_t>(rng());
      if (density == 1) b |= static_cast<std::uint8_t>(rng());
      if (density == 2 && rng() % 2 == 0) b = 0;
    }
    const std::uint64_t bit_count = rng() % (8 * bytes.size() + 1);
    const auto width = static_cast<std::uint16_t>(1 + rng() % 40);
    const auto height = static_cast<std::uint16_t>(1 + rng() % 40);
    const auto bins = static_cast<std::uint16_t>(1 + rng() % 40);
    const auto max_depth = static_cast<std::uint8_t>(rng() % 9);
    const GridGeometry geometry(width, height, bins);
    decode_tree_into(bytes, bit_count, TreeLevels(geometry, max_depth), tree);
    ASSERT_EQ(tree, reference::decode_tree(bytes, bit_count, geometry.padded_width(),
                                                  geometry.padded_height(),
                                                  geometry.padded_bins(), max_depth))
        << width << "x" << height << "x" << bins << " d" << +max_depth << " bits " << bit_count;
  }
}

// A 2 x 1 x 1 grid, depth 1: bits 1 0 1 are the root split, an empty and an
// occupied child; after it, an empty string leaves only the root. Eight
// children of a 2 x 2 x 2 root need nine bits, more than one byte holds.
TEST(DecodeTree, ReusedTreeByValue) {
  const TreeLevels levels(GridGeometry(2, 1, 1), 1);
  Octree tree;
  decode_tree_into(bytes_of({0xA0}), 3, levels, tree);
  EXPECT_EQ(render(tree), "S[E,O]");
  decode_tree_into({}, 0, levels, tree);
  EXPECT_EQ(render(tree), "E");
  decode_tree_into(bytes_of({0x80}), 1, levels, tree);
  EXPECT_EQ(render(tree), "S[E,E]");
  EXPECT_THROW(decode_tree_into(bytes_of({0xFF}), 9, TreeLevels(GridGeometry(2, 2, 2), 1), tree),
               Fault);
}

// A 4 x 1 x 2 grid: the root halves x and t (children in the order x then
// t), the depth-1 boxes 2 x 1 x 1 halve x alone, and the leaves are cells.
TEST(TreeLevels, BoxesAndChildOffsetsByValue) {
  const TreeLevels levels(GridGeometry(4, 1, 2), 9);
  EXPECT_EQ(levels.deepest, 2u);
  EXPECT_EQ(levels.children[0], 4u);
  EXPECT_EQ(levels.children[1], 2u);
  using Side = std::array<std::uint32_t, 3>;
  EXPECT_EQ(levels.side[0], (Side{4, 1, 2}));
  EXPECT_EQ(levels.side[1], (Side{2, 1, 1}));
  EXPECT_EQ(levels.side[2], (Side{1, 1, 1}));
  EXPECT_EQ(levels.child_offset(0, 0), (Side{0, 0, 0}));
  EXPECT_EQ(levels.child_offset(0, 1), (Side{0, 0, 1}));
  EXPECT_EQ(levels.child_offset(0, 2), (Side{2, 0, 0}));
  EXPECT_EQ(levels.child_offset(0, 3), (Side{2, 0, 1}));
  EXPECT_EQ(levels.child_offset(1, 1), (Side{1, 0, 0}));
  EXPECT_EQ(levels.full_tree_nodes(), 1u + 4 + 8);
  // The depth limit stops the walk: depth 1 boxes are the leaves.
  const TreeLevels shallow(GridGeometry(4, 1, 2), 1);
  EXPECT_EQ(shallow.deepest, 1u);
  EXPECT_EQ(shallow.side[1], (Side{2, 1, 1}));
  EXPECT_EQ(shallow.full_tree_nodes(), 1u + 4);
}

// Over random shapes and depth limits, the full tree's node count is the
// node count of the reference's tree of every cell, and the child offsets
// are the reference split rule's.
TEST(TreeLevels, AgreesWithReferenceSplitRule) {
  std::mt19937_64 rng(404);
  for (int round = 0; round < 200; ++round) {
    const std::uint64_t wp = 1ull << (rng() % 4), hp = 1ull << (rng() % 4),
                        tp = 1ull << (rng() % 4);
    const auto max_depth = static_cast<std::uint8_t>(rng() % 6);
    const TreeLevels levels(testing_support::padded_grid(wp, hp, tp), max_depth);
    reference::Grid all{wp, hp, tp, {}};
    for (std::uint64_t x = 0; x < wp; ++x)
      for (std::uint64_t y = 0; y < hp; ++y)
        for (std::uint64_t t = 0; t < tp; ++t) all.cells.insert({x, y, t});
    ASSERT_EQ(levels.full_tree_nodes(), reference::tree_bits(all, max_depth).bit_count);
    std::uint64_t dx = wp, dy = hp, dt = tp;
    for (unsigned d = 0; d < levels.deepest; ++d) {
      const reference::AxisParts px = reference::split_axis(dx), py = reference::split_axis(dy),
                                 pt = reference::split_axis(dt);
      unsigned c = 0;
      for (int ix = 0; ix < px.count; ++ix)
        for (int iy = 0; iy < py.count; ++iy)
          for (int it = 0; it < pt.count; ++it, ++c) {
            const std::array<std::uint32_t, 3> want = {static_cast<std::uint32_t>(px.offset[ix]),
                                                       static_cast<std::uint32_t>(py.offset[iy]),
                                                       static_cast<std::uint32_t>(pt.offset[it])};
            ASSERT_EQ(levels.child_offset(d, c), want) << d << " " << c;
          }
      ASSERT_EQ(c, levels.children[d]);
      dx = px.size[0], dy = py.size[0], dt = pt.size[0];
      ASSERT_EQ(levels.side[d + 1], (std::array<std::uint32_t, 3>{
                                        static_cast<std::uint32_t>(dx),
                                        static_cast<std::uint32_t>(dy),
                                        static_cast<std::uint32_t>(dt)}));
    }
  }
}

}  // namespace
}  // namespace ovk
