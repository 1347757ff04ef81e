// Arbitrary events over arbitrary (mostly small) geometries through the codec
// as production runs it, by one driver the input picks: compress,
// compress_sequence, or a code file made, written, read back and decoded to
// its leaf boxes (now and then also compared with the recording, as `ovk
// check` does). The tree bits the drivers code must decode, with every
// reader, to leaves that are exactly the occupied cells of a plain model
// (cut to the depth limit), and on small trees equal the reference model's
// bits, bit for bit.
#include <algorithm>
#include <cstdint>
#include <tuple>
#include <vector>

#include "codec/compress.h"
#include "codec/frame_delta.h"
#include "codec/rans.h"
#include "codec/tree_bits.h"
#include "codec/voxel_grid.h"
#include "codefile/code_file.h"
#include "codefile/encode.h"
#include "codefile/leaf_boxes.h"
#include "cell_table_shortcuts.h"
#include "fuzz_input.h"
#include "reference_codec.h"
#include "tree_checks.h"

namespace {

using ovk::codefile::BoxOrigin;
using ovk::codefile::Geometry;

// Largest tree the reference model (a node object and a cell list per box)
// is run on.
constexpr std::uint64_t kReferenceBits = 256;

// The drivers that code the events: compress,
// compress_sequence, a code file of one frame, a code file of the chosen
// number of frames.
enum class Driver { kCompress, kSequence, kCodeFile, kDeltaCodeFile };

// 9-byte records x(2) y(2) t(4) p(1); x and y reduced below twice the padded
// sides, so that about half fall inside the grid and the rest are clamped.
ovk::EventVec events_of(std::span<const std::uint8_t> payload, const ovk::GridGeometry& grid) {
  ovk::EventVec events;
  for (std::size_t i = 0; i + 9 <= payload.size(); i += 9) {
    const std::uint8_t* r = payload.data() + i;
    const std::uint32_t x = r[0] | (r[1] << 8), y = r[2] | (r[3] << 8);
    events.push_back({static_cast<std::uint16_t>(x % (2 * grid.padded_width())),
                      static_cast<std::uint16_t>(y % (2 * grid.padded_height())),
                      static_cast<std::uint32_t>(r[4] | (r[5] << 8) | (r[6] << 16) |
                                                 (std::uint32_t{r[7]} << 24)),
                      r[8]});
  }
  return events;
}

bool origin_less(const BoxOrigin& a, const BoxOrigin& b) {
  return std::tie(a.x0, a.y0, a.t0) < std::tie(b.x0, b.y0, b.t0);
}

// The origins of the leaves the model's cells fall in, sorted: each cell cut
// down to the leaf size of the depth limit.
std::vector<BoxOrigin> model_leaves(const ovk::reference::Grid& grid,
                                    const ovk::TreeLevels& levels) {
  auto side = [&](std::uint64_t padded) {
    return std::max<std::uint64_t>(padded >> levels.deepest, 1);
  };
  const std::uint64_t dx = side(grid.wp), dy = side(grid.hp), dt = side(grid.tp);
  std::vector<BoxOrigin> out;
  for (const auto& c : grid.cells) {
    out.push_back({static_cast<std::uint16_t>(c[0] & ~(dx - 1)),
                   static_cast<std::uint16_t>(c[1] & ~(dy - 1)),
                   static_cast<std::uint16_t>(c[2] & ~(dt - 1))});
  }
  std::sort(out.begin(), out.end(), origin_less);
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// The decoded leaves (in tree order) are the model's (sorted).
bool same_leaves(std::vector<BoxOrigin> decoded, const std::vector<BoxOrigin>& model) {
  std::sort(decoded.begin(), decoded.end(), origin_less);
  return decoded == model;
}

// The events of each frame, by the drivers' own frame rule.
std::vector<ovk::EventVec> frame_events(ovk::EventSpan events, std::uint64_t n_frames) {
  std::vector<ovk::EventVec> frames(n_frames);
  if (n_frames == 0) return frames;
  const std::vector<std::uint64_t> frame_of = ovk::split_frames(events, n_frames);
  for (std::size_t i = 0; i < events.size(); ++i) frames[frame_of[i]].push_back(events[i]);
  return frames;
}

// Everything about one input's grid that the checks share.
struct Setup {
  Geometry geometry;
  ovk::GridGeometry grid;
  ovk::TreeLevels levels;

  explicit Setup(const Geometry& g)
      : geometry(g), grid(g.width, g.height, g.time_bins), levels(grid, g.depth) {}
};

// The tree bits a driver coded `events` to (the first bit_count bits of
// `bytes`, and zero bits after them): a well-formed tree whose leaves are
// the model's, read by the code file's reader; with `every_reader`, also the
// reference model's bits on small trees, and every reader agreeing.
void check_tree_bits(std::span<const std::uint8_t> bytes, std::uint64_t bit_count,
                     ovk::EventSpan events, const Setup& setup, bool every_reader = true) {
  const Geometry& g = setup.geometry;
  const std::size_t own = static_cast<std::size_t>(ovk::packed_byte_count(bit_count));
  OVK_FUZZ_CHECK(bytes.size() >= own && std::all_of(bytes.begin() + own, bytes.end(),
                                                    [](std::uint8_t b) { return b == 0; }));
  bytes = bytes.first(own);
  const ovk::reference::Grid model =
      ovk::reference::grid_of(events, g.width, g.height, g.time_bins);
  if (!every_reader) {
    const auto leaves = ovk::codefile::decode_leaf_boxes(bytes, bit_count, g);
    OVK_FUZZ_CHECK(leaves.ok());  // takes exactly bit_count bits
    OVK_FUZZ_CHECK(same_leaves(leaves.value().origins, model_leaves(model, setup.levels)));
    return;
  }
  if (bit_count <= kReferenceBits) {
    const ovk::PackedBits bits{{bytes.begin(), bytes.end()}, bit_count};
    OVK_FUZZ_CHECK(ovk::reference::tree_bits(model, g.depth) == bits);
  }
  static ovk::fuzz::DecodedTree decoded;
  ovk::fuzz::check_tree_readers(bytes, bit_count, g, decoded);
  OVK_FUZZ_CHECK(decoded.tree.nodes.size() == bit_count);  // a well-formed tree
  OVK_FUZZ_CHECK(same_leaves(decoded.leaves.origins, model_leaves(model, setup.levels)));
}

// compress: its stream decodes to the recording's tree bits, which code back
// to the same stream.
void check_compress(ovk::EventSpan events, const Setup& setup) {
  const Geometry& g = setup.geometry;
  const ovk::CompressOutput out =
      ovk::compress_events(events, g.width, g.height, g.time_bins, g.depth).value();
  const std::uint64_t bit_count = out.record.n_bits;
  const std::vector<std::uint8_t> bits = ovk::rans_decode_bits(out.bitstream, bit_count);
  check_tree_bits(bits, bit_count, events, setup);
  OVK_FUZZ_CHECK(ovk::rans_encode_bits(bits, bit_count) == out.bitstream);
  OVK_FUZZ_CHECK(out.record.n_events == events.size());
  OVK_FUZZ_CHECK(out.record.sparsity ==
                 ovk::reference::grid_of(events, g.width, g.height, g.time_bins).sparsity());
}

// compress_sequence: frame 0's code is the rANS stream of its bits, and each
// later code turns the previous frame's bits into the frame's own (the bytes
// never shrink; past the frame's own they are zero). Each frame's bits are
// those of its own events; the first and the last frame's are also read by
// every reader (the readers' agreement is tree_decode's subject, here it
// would only repeat itself frame after frame).
void check_sequence(ovk::EventSpan events, const Setup& setup, std::uint64_t n_frames) {
  const Geometry& g = setup.geometry;
  const ovk::SequenceOutput seq =
      ovk::compress_sequence(events, g.width, g.height, g.time_bins, g.depth, n_frames).value();
  const std::size_t frames = events.empty() ? 0 : static_cast<std::size_t>(n_frames);
  OVK_FUZZ_CHECK(seq.frame_codes.size() == frames && seq.frame_bit_counts.size() == frames);
  const std::vector<ovk::EventVec> grouped = frame_events(events, frames);
  std::vector<std::uint8_t> bits;
  for (std::size_t k = 0; k < frames; ++k) {
    const std::uint64_t bit_count = seq.frame_bit_counts[k];
    if (k == 0) {
      bits = ovk::rans_decode_bits(seq.frame_codes[0], bit_count);
      OVK_FUZZ_CHECK(ovk::rans_encode_bits(bits, bit_count) == seq.frame_codes[0]);
    } else {
      ovk::xor_rle_decoded(bits, seq.frame_codes[k]);
    }
    check_tree_bits(bits, bit_count, grouped[k], setup, k == 0 || k + 1 == frames);
  }
}

// A code file of the events, written, read back and decoded: each frame's
// leaves are those of its events' model. With `compare`, also the check
// that codes the recording again (ovk check).
void check_code_file(ovk::EventSpan events, const Setup& setup, std::uint64_t n_frames,
                     bool compare) {
  if (n_frames == 0) return;
  const ovk::codefile::CodeFile file =
      ovk::codefile::encode_events(events, setup.geometry, n_frames).value();
  const auto parsed = ovk::codefile::parse_code_file(ovk::codefile::serialize_code_file(file));
  OVK_FUZZ_CHECK(parsed.ok() && parsed.value() == file);
  const auto decoded = ovk::codefile::decode_frames(file);
  OVK_FUZZ_CHECK(decoded.ok() && decoded.value().size() == file.frames.size());
  const Geometry& g = setup.geometry;
  const std::vector<ovk::EventVec> frames = frame_events(events, file.frames.size());
  for (std::size_t k = 0; k < frames.size(); ++k) {
    const ovk::reference::Grid model =
        ovk::reference::grid_of(frames[k], g.width, g.height, g.time_bins);
    OVK_FUZZ_CHECK(file.frames[k].event_count == frames[k].size());
    OVK_FUZZ_CHECK(same_leaves(decoded.value()[k].origins, model_leaves(model, setup.levels)));
  }
  if (!compare) return;
  const auto comparison = ovk::codefile::compare_frame_by_frame(file, events);
  OVK_FUZZ_CHECK(comparison.ok() && comparison.value().difference.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ovk::fuzz::FuzzInput in(data, size);
  Geometry geometry;
  geometry.width = in.take_side();
  geometry.height = in.take_side();
  geometry.time_bins = in.take_side();
  geometry.depth = in.take_depth();
  // Low four bits: the frame count (0..8); top two: the driver; for a code
  // file, bits 4 and 5 both set: compared with the recording too (it is
  // coded a second time).
  const auto choice = in.take<std::uint8_t>();
  const std::uint64_t n_frames = (choice & 15) % 9;
  const auto driver = static_cast<Driver>(choice >> 6);
  const bool compare = (choice & 0x30) == 0x30;
  const Setup setup(geometry);
  const ovk::EventVec events = events_of(in.rest(), setup.grid);

  switch (driver) {
    case Driver::kCompress:
      check_compress(events, setup);
      break;
    case Driver::kSequence:
      check_sequence(events, setup, n_frames);
      break;
    case Driver::kCodeFile:
    case Driver::kDeltaCodeFile:
      check_code_file(events, setup, driver == Driver::kDeltaCodeFile ? n_frames : 1, compare);
      break;
  }
  return 0;
}
