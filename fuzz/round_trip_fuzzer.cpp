// Arbitrary events over arbitrary (mostly small) geometries through the codec
// as production runs it. Every input goes through the sparse encoder, rANS
// and every tree reader: the leaves read back must be exactly the occupied
// cells of a plain model (cut to the depth limit), and on small trees the
// encoder's bits must equal the reference model's, bit for bit. Then one
// driver, picked by the input, codes the same events: compress,
// compress_sequence (each frame's code decoded back to its bits), or a code
// file made, written, read back and decoded to its leaf boxes (and now and
// then compared with the recording, as `ovk check` does).
#include <algorithm>
#include <cstdint>
#include <tuple>
#include <vector>

#include "codec/compress.h"
#include "codec/frame_delta.h"
#include "codec/memory_budget.h"
#include "codec/rans.h"
#include "codec/tree_bits.h"
#include "codec/voxel_grid.h"
#include "codefile/code_file.h"
#include "codefile/encode.h"
#include "codefile/leaf_boxes.h"
#include "fuzz_input.h"
#include "reference_codec.h"
#include "tree_checks.h"

namespace {

using ovk::codefile::BoxOrigin;
using ovk::codefile::Geometry;

// Largest tree the reference model (a node object and a cell list per box)
// is run on.
constexpr std::uint64_t kReferenceBits = 256;

// The drivers that code the events after the tree checks: compress,
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

// The origins of the leaves the model's cells fall in, sorted: each cell cut
// down to the leaf size of the depth limit.
std::vector<BoxOrigin> model_leaves(const ovk::reference::Grid& grid, const ovk::TreeLevels& levels) {
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
  auto less = [](const BoxOrigin& a, const BoxOrigin& b) {
    return std::tie(a.x0, a.y0, a.t0) < std::tie(b.x0, b.y0, b.t0);
  };
  std::sort(out.begin(), out.end(), less);
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

bool same_leaves(std::vector<BoxOrigin> decoded, const std::vector<BoxOrigin>& model) {
  std::sort(decoded.begin(), decoded.end(), [](const BoxOrigin& a, const BoxOrigin& b) {
    return std::tie(a.x0, a.y0, a.t0) < std::tie(b.x0, b.y0, b.t0);
  });
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
  ovk::CellKeyer keyer;

  explicit Setup(const Geometry& g)
      : geometry(g),
        grid(g.width, g.height, g.time_bins),
        levels(grid, g.depth),
        keyer(grid, g.time_bins) {}
};

// The sparse encoder against the models, then every tree reader on its bits,
// which the rANS coder must carry unchanged. Returns the bits.
ovk::PackedBits check_tree_code(ovk::EventSpan events, const Setup& setup) {
  const Geometry& g = setup.geometry;
  const ovk::reference::Grid model = ovk::reference::grid_of(events, g.width, g.height, g.time_bins);
  const std::vector<std::uint64_t> keys = setup.keyer.occupied(events).value();
  OVK_FUZZ_CHECK(keys.size() == model.cells.size());
  const ovk::PackedBits bits =
      ovk::encode_tree_bits(keys, setup.levels, ovk::memory_budget_bytes()).value();
  if (bits.bit_count <= kReferenceBits) {
    OVK_FUZZ_CHECK(ovk::reference::tree_bits(model, g.depth) == bits);
  }
  const ovk::fuzz::DecodedTree decoded =
      ovk::fuzz::check_tree_readers(bits.bytes, bits.bit_count, g);
  OVK_FUZZ_CHECK(decoded.tree.nodes.size() == bits.bit_count);  // a well-formed tree
  OVK_FUZZ_CHECK(same_leaves(decoded.leaves.origins, model_leaves(model, setup.levels)));
  const std::vector<std::uint8_t> stream = ovk::rans_encode_bits(bits.bytes, bits.bit_count);
  OVK_FUZZ_CHECK(ovk::rans_decode_bits(stream, bits.bit_count) == bits.bytes);
  return bits;
}

void check_compress(ovk::EventSpan events, const Setup& setup, const ovk::PackedBits& bits) {
  const Geometry& g = setup.geometry;
  const ovk::CompressOutput out =
      ovk::compress_events(events, g.width, g.height, g.time_bins, g.depth).value();
  OVK_FUZZ_CHECK(out.bitstream == ovk::rans_encode_bits(bits.bytes, bits.bit_count));
  OVK_FUZZ_CHECK(out.record.n_bits == bits.bit_count && out.record.n_events == events.size());
  OVK_FUZZ_CHECK(out.record.sparsity ==
                 ovk::reference::grid_of(events, g.width, g.height, g.time_bins).sparsity());
}

// Frame 0's code is its bits' rANS stream, and each later code turns the
// previous frame's bits into the frame's own: every frame's bits decoded are
// those the encoder gives its own events (whose readers and models are
// checked on the whole recording).
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
    } else {
      ovk::xor_rle_decoded(bits, seq.frame_codes[k]);
    }
    const ovk::PackedBits own =
        ovk::encode_tree_bits(setup.keyer.occupied(grouped[k]).value(), setup.levels,
                              ovk::memory_budget_bytes())
            .value();
    OVK_FUZZ_CHECK(own.bit_count == bit_count);
    // The bytes never shrink from frame to frame; past the frame's own they are zero.
    OVK_FUZZ_CHECK(bits.size() >= own.bytes.size() &&
                   std::equal(own.bytes.begin(), own.bytes.end(), bits.begin()) &&
                   std::all_of(bits.begin() + static_cast<std::ptrdiff_t>(own.bytes.size()),
                               bits.end(), [](std::uint8_t b) { return b == 0; }));
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
  const auto difference = ovk::codefile::compare_with_recording(file, decoded.value(), events);
  OVK_FUZZ_CHECK(difference.ok() && difference.value().empty());
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

  const ovk::PackedBits bits = check_tree_code(events, setup);
  switch (driver) {
    case Driver::kCompress:
      check_compress(events, setup, bits);
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
