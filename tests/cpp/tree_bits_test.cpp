#include "codec/tree_bits.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <random>

#include "codec/rans.h"
#include "codec_test_support.h"

namespace ovk {
namespace {

using testing_support::bytes_of;
using testing_support::Cell;
using testing_support::grid_with;
using testing_support::render;

// A deliberately naive model of the tree: depth-first recursion over boxes,
// each box tested cell by cell, then a breadth-first walk with a queue.
struct RefNode {
  int kind = 0;  // 0 empty, 1 occupied, 2 split
  std::vector<RefNode> children;
};

RefNode ref_build(const VoxelGrid& g, Box b, int depth, int max_depth) {
  RefNode node;
  bool any = false;
  for (std::uint64_t x = b.x0; x < b.x0 + b.dx && !any; ++x)
    for (std::uint64_t y = b.y0; y < b.y0 + b.dy && !any; ++y)
      for (std::uint64_t t = b.t0; t < b.t0 + b.dt && !any; ++t)
        any = g.test((x * g.padded_height + y) * g.padded_bins + t);
  if (!any) return node;
  if (depth >= max_depth || (b.dx == 1 && b.dy == 1 && b.dt == 1)) {
    node.kind = 1;
    return node;
  }
  node.kind = 2;
  auto halves = [](std::uint64_t o, std::uint64_t s) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> parts;
    if (s >= 2) {
      parts.push_back({o, s / 2});
      parts.push_back({o + s / 2, s - s / 2});
    } else {
      parts.push_back({o, 1});
    }
    return parts;
  };
  for (auto [x0, dx] : halves(b.x0, b.dx))
    for (auto [y0, dy] : halves(b.y0, b.dy))
      for (auto [t0, dt] : halves(b.t0, b.dt))
        node.children.push_back(ref_build(g, Box{x0, y0, t0, dx, dy, dt}, depth + 1, max_depth));
  return node;
}

std::vector<bool> ref_bits(const RefNode& root) {
  std::vector<bool> bits;
  std::deque<const RefNode*> queue{&root};
  while (!queue.empty()) {
    const RefNode* n = queue.front();
    queue.pop_front();
    bits.push_back(n->kind != 0);
    for (const RefNode& c : n->children) queue.push_back(&c);
  }
  return bits;
}

std::vector<bool> unpack(const PackedBits& p) {
  std::vector<bool> bits;
  for (std::uint64_t i = 0; i < p.bit_count; ++i) bits.push_back(packed_bit(p.bytes.data(), i));
  return bits;
}

TEST(SerializeTree, WorkedExamples) {
  const PackedBits empty = serialize_tree(build_octree(grid_with(4, 4, 4, {}), 3));
  EXPECT_EQ(empty.bytes, bytes_of({0x00}));
  EXPECT_EQ(empty.bit_count, 1u);

  const PackedBits leaf = serialize_tree(build_octree(grid_with(4, 4, 4, {{1, 1, 1}}), 0));
  EXPECT_EQ(leaf.bytes, bytes_of({0x80}));
  EXPECT_EQ(leaf.bit_count, 1u);

  const PackedBits pair = serialize_tree(build_octree(grid_with(2, 1, 1, {{1, 0, 0}}), 1));
  EXPECT_EQ(pair.bytes, bytes_of({0xA0}));
  EXPECT_EQ(pair.bit_count, 3u);

  std::vector<Cell> all;
  for (std::uint64_t i = 0; i < 8; ++i) all.push_back({i >> 2, (i >> 1) & 1, i & 1});
  const PackedBits full = serialize_tree(build_octree(grid_with(2, 2, 2, all), 1));
  EXPECT_EQ(full.bytes, bytes_of({0xFF, 0x80}));
  EXPECT_EQ(full.bit_count, 9u);

  const VoxelGrid worked = grid_with(4, 1, 2, {{1, 0, 0}, {3, 0, 1}});
  const PackedBits deep = serialize_tree(build_octree(worked, 2));
  EXPECT_EQ(deep.bytes, bytes_of({0xCA, 0x80}));
  EXPECT_EQ(deep.bit_count, 9u);
  const PackedBits shallow = serialize_tree(build_octree(worked, 1));
  EXPECT_EQ(shallow.bytes, bytes_of({0xC8}));
  EXPECT_EQ(shallow.bit_count, 5u);
}

TEST(DecodeTree, WorkedExamples) {
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

// Random grids of random (non-cubic, size-1 included) shapes and depths:
// the arena builder agrees with the naive model bit for bit, and the bits
// survive rANS coding and decode back into the same tree.
TEST(TreeBits, RandomGridsMatchModelAndRoundTrip) {
  std::mt19937_64 rng(2024);
  for (int round = 0; round < 400; ++round) {
    const std::uint64_t wp = 1ull << (rng() % 5), hp = 1ull << (rng() % 5),
                        tp = 1ull << (rng() % 5);
    const auto max_depth = static_cast<std::uint8_t>(rng() % 7);
    std::vector<Cell> cells;
    const std::uint64_t n = rng() % (wp * hp * tp + 1);
    for (std::uint64_t i = 0; i < n; ++i) cells.push_back({rng() % wp, rng() % hp, rng() % tp});
    const VoxelGrid g = grid_with(wp, hp, tp, cells);

    const Octree tree = build_octree(g, max_depth);
    const PackedBits bits = serialize_tree(tree);
    const RefNode ref = ref_build(g, Box{0, 0, 0, wp, hp, tp}, 0, max_depth);
    ASSERT_EQ(unpack(bits), ref_bits(ref)) << wp << "x" << hp << "x" << tp << " d" << +max_depth;

    const auto stream = rans_encode_bits(bits.bytes, bits.bit_count);
    const auto decoded = rans_decode_bits(stream, bits.bit_count);
    ASSERT_EQ(decoded, bits.bytes);
    const Octree rebuilt = decode_tree(decoded, bits.bit_count, wp, hp, tp, max_depth);
    ASSERT_EQ(rebuilt, tree);
    ASSERT_EQ(detail::decode_tree_any_sizes(decoded, bits.bit_count, wp, hp, tp, max_depth), tree);
    ASSERT_EQ(serialize_tree(rebuilt), bits);
  }
}

// Arbitrary bits, too many or too few of them: the power-of-two fast path
// and the general reader build the same tree.
TEST(DecodeTree, FastPathAgreesWithGeneralReaderOnArbitraryBits) {
  std::mt19937_64 rng(77);
  for (int round = 0; round < 500; ++round) {
    std::vector<std::uint8_t> bytes(1 + rng() % 40);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng() % 4 == 0 ? 0 : rng());
    const std::uint64_t bit_count = rng() % (8 * bytes.size() + 1);
    const std::uint64_t wp = 1ull << (rng() % 6), hp = 1ull << (rng() % 6),
                        tp = 1ull << (rng() % 6);
    const auto max_depth = static_cast<std::uint8_t>(rng() % 8);
    ASSERT_EQ(decode_tree(bytes, bit_count, wp, hp, tp, max_depth),
              detail::decode_tree_any_sizes(bytes, bit_count, wp, hp, tp, max_depth));
  }
}

TEST(DecodeTree, SizesThatAreNotPowersOfTwo) {
  // 3 splits into 1 and 2; the part of size 2 splits again, the part of size 1 cannot.
  EXPECT_EQ(render(decode_tree(bytes_of({0xFF, 0xFF}), 16, 3, 1, 1, 4)), "S[O,S[O,O]]");
}

}  // namespace
}  // namespace ovk
