// Would a sequence's later frames code smaller with contexts that also say
// whether the same node was occupied in the previous frame? Ideal adaptive
// code lengths (adaptive counts, -log2 of the estimate) of each frame after
// the first, over the context coding's contexts:
//   alone:       the contexts as they are, counts restarted every frame (as
//                the context coding restarts its probabilities)
//   +previous:   times three states of the node in the previous frame (its
//                parent empty; parent occupied, node empty; node occupied)
//   carried:     either set with the counts carried from frame to frame
// beside the coded sizes of the same frames: xor + run-length (the static
// sequence coding) and each frame context-coded on its own.
//
//   ovk_context_sequence_measure [--frames 10,1000] [--time-bins 64] FILE...
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "codec/compress.h"
#include "codec/context_compress.h"
#include "codec/frame_groups.h"
#include "codec/tree_bits.h"
#include "codec/tree_contexts.h"
#include "codec/voxel_grid.h"
#include "adaptive_counts.h"
#include "codec_shortcuts.h"
#include "io/recording_readers.h"

namespace {

using namespace ovk;

using Counts = bench::AdaptiveCounts;

// The occupied nodes of every depth of one frame, as sorted key prefixes.
using Levels = std::vector<std::vector<std::uint64_t>>;

Levels prefixes(const std::vector<std::uint64_t>& keys, const TreeLevels& levels) {
  Levels out(levels.deepest + 1);
  for (unsigned d = 0; d <= levels.deepest; ++d) {
    for (const std::uint64_t k : keys) {
      const std::uint64_t p = k >> levels.shift[d];
      if (out[d].empty() || out[d].back() != p) out[d].push_back(p);
    }
  }
  return out;
}

// Each tree bit's node in the previous frame, in the bits' order: 0 its
// parent was empty, 1 the parent occupied and the node empty, 2 occupied.
std::vector<std::uint8_t> previous_states(const Levels& now, const Levels& before,
                                          const TreeLevels& levels) {
  auto has = [](const std::vector<std::uint64_t>& sorted, std::uint64_t p) {
    return std::binary_search(sorted.begin(), sorted.end(), p);
  };
  std::vector<std::uint8_t> states;
  states.push_back(before[0].empty() ? 1 : 2);
  if (now[0].empty()) return states;
  for (unsigned d = 0; d < levels.deepest; ++d) {
    const unsigned n = levels.children[d], k = static_cast<unsigned>(std::countr_zero(n));
    for (const std::uint64_t parent : now[d]) {
      const bool parent_before = has(before[d], parent);
      for (unsigned c = 0; c < n; ++c) {
        const std::uint64_t child = (parent << k) | c;
        states.push_back(!parent_before ? 0 : has(before[d + 1], child) ? 2 : 1);
      }
    }
  }
  return states;
}

struct CostCoder {
  static constexpr bool kDecodes = false;
  const std::uint8_t* bits;
  const std::uint8_t* states;
  Counts *alone, *previous;
  bool bit(std::uint64_t pos, const BitContext& c) {
    const bool b = packed_bit(bits, pos);
    alone->add(c.number, b);
    previous->add(std::size_t{c.number} * 3 + states[pos], b);
    return b;
  }
  void forced(std::uint64_t) {}
};

struct Row {
  double events = 0, xor_rle = 0, context = 0, alone = 0, previous = 0, alone_carried = 0,
         previous_carried = 0;
  void add(const Row& r) {
    events += r.events; xor_rle += r.xor_rle; context += r.context; alone += r.alone;
    previous += r.previous; alone_carried += r.alone_carried; previous_carried += r.previous_carried;
  }
};

void print(const std::string& name, std::uint64_t frames, const Row& r) {
  auto pct = [&](double v) { return 100.0 * (v / r.xor_rle - 1.0); };
  std::printf("%-40s %6llu %9.0f %10.0f %10.0f %+7.1f%% %10.0f %10.0f %+7.1f%% %10.0f %10.0f %+7.1f%%\n",
              name.c_str(), static_cast<unsigned long long>(frames), r.events, r.xor_rle,
              r.context, pct(r.context), r.alone, r.previous, pct(r.previous), r.alone_carried,
              r.previous_carried, pct(r.previous_carried));
}

Result<EventVec> read(const std::string& path) {
  const std::string ext = path.substr(path.rfind('.') + 1);
  if (ext == "evb") return io::read_compact(path);
  if (ext == "bs2" || ext == "bin") return io::read_nmnist(path);
  return io::read_aedat2(path);
}

}  // namespace

int main(int argc, char** argv) {
  std::uint16_t time_bins = 64;
  std::vector<std::uint64_t> frame_counts = {10, 1000};
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--time-bins") && i + 1 < argc) {
      time_bins = static_cast<std::uint16_t>(std::stoi(argv[++i]));
    } else if (!std::strcmp(argv[i], "--frames") && i + 1 < argc) {
      frame_counts.clear();
      const std::string list = argv[++i];
      for (std::size_t at = 0; at <= list.size();) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        frame_counts.push_back(std::stoull(list.substr(at, comma - at)));
        at = comma + 1;
      }
    } else {
      files.push_back(argv[i]);
    }
  }
  std::printf("frames after the first, bits: %-11s %6s %9s %10s %10s %8s %10s %10s %8s %10s %10s %8s\n",
              "recording", "frames", "events", "xor+rle", "ctx_alone", "vs_xor", "est_alone",
              "est_prev", "vs_xor", "est_carry", "est_pcarry", "vs_xor");
  for (const std::uint64_t n_frames : frame_counts) {
    Row total;
    for (const std::string& path : files) {
      const Result<EventVec> events = read(path);
      if (!events.ok() || events.value().empty()) continue;
      const EventVec& ev = events.value();
      std::uint16_t w = 0, h = 0;
      for (const Event& e : ev) { w = std::max(w, e.x); h = std::max(h, e.y); }
      const std::string ext = path.substr(path.rfind('.') + 1);
      if (ext == "aedat") w = h = 127;
      if (ext == "bs2" || ext == "bin") w = h = 33;
      const auto width = static_cast<std::uint16_t>(w + 1), height = static_cast<std::uint16_t>(h + 1);
      const GridGeometry g(width, height, time_bins);
      const auto depth = static_cast<std::uint8_t>(g.single_cell_depth());
      const SequenceOutput xor_rle =
          compress_sequence(ev, width, height, time_bins, depth, n_frames).value();
      const SequenceOutput alone =
          compress_sequence_context(ev, width, height, time_bins, depth, n_frames).value();
      Row r;
      r.events = static_cast<double>(ev.size());
      for (std::size_t k = 1; k < xor_rle.frame_codes.size(); ++k) {
        r.xor_rle += 8.0 * xor_rle.frame_codes[k].size();
        r.context += 8.0 * alone.frame_codes[k].size();
      }
      const FrameGroups frames(ev, n_frames);
      const CellKeyer keyer(g, time_bins);
      const ContextLayout layout(g, depth);
      Counts fresh(kTreeContexts), fresh_prev(3 * std::size_t{kTreeContexts});
      Counts carried(kTreeContexts), carried_prev(3 * std::size_t{kTreeContexts});
      Levels before;
      TreeWalkScratch walk;
      for (std::size_t k = 0; k < frames.size(); ++k) {
        std::vector<std::uint64_t> keys;
        if (!frames.frame(k).empty() && !keyer.occupied_into(frames.frame(k), keys).ok()) return 1;
        const PackedBits bits = encode_tree_bits(keys, g, depth).value();
        Levels now = prefixes(keys, layout.levels);
        if (k > 0) {
          const std::vector<std::uint8_t> states = previous_states(now, before, layout.levels);
          if (states.size() != bits.bit_count) {
            std::fprintf(stderr, "%s: %zu states for %llu bits\n", path.c_str(), states.size(),
                         static_cast<unsigned long long>(bits.bit_count));
            return 1;
          }
          fresh.restart();
          fresh_prev.restart();
          CostCoder a{bits.bytes.data(), states.data(), &fresh, &fresh_prev};
          (void)walk_tree_contexts(layout, bits.bit_count, a, walk);
          CostCoder b{bits.bytes.data(), states.data(), &carried, &carried_prev};
          (void)walk_tree_contexts(layout, bits.bit_count, b, walk);
        }
        before = std::move(now);
      }
      r.alone = fresh.bits;
      r.previous = fresh_prev.bits;
      r.alone_carried = carried.bits;
      r.previous_carried = carried_prev.bits;
      print(path.substr(path.rfind('/') + 1), n_frames, r);
      total.add(r);
    }
    print("TOTAL", n_frames, total);
  }
  return 0;
}
