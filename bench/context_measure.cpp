// Bits of the occupancy tree under the static rANS code and under the
// context coding, per recording, with the ideal adaptive code lengths of
// three context sets beside them (adaptive counts, -log2 of the estimate):
//   level:     one adaptive probability per depth
//   siblings:  + which child, and the siblings coded before it
//   neighbours:+ the parent's occupied neighbours on the child's side
// and the encode and decode speed of the context coder.
//
//   ovk_context_measure [--time-bins 64] [--depths single,6,8,10] FILE...
// FILE: .evb (compact records), .bs2/.bin (N-MNIST, 34 x 34), .aedat
// (AEDAT 2.0, 128 x 128). The sensor is otherwise the largest x and y + 1.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "codec/context_coder.h"
#include "codec/rans.h"
#include "codec/tree_bits.h"
#include "codec/tree_contexts.h"
#include "codec/voxel_grid.h"
#include "adaptive_counts.h"
#include "codec_shortcuts.h"
#include "io/recording_readers.h"

namespace {

using namespace ovk;

using Counts = bench::AdaptiveCounts;

struct CostCoder {
  static constexpr bool kDecodes = false;
  const std::uint8_t* bits;
  static constexpr std::size_t D = kMaxTreeLevels + 1;
  Counts level{D}, siblings{D * 256}, near{D * 8 * 256}, behind_prefix{D * 64 * 256},
      behind_count{D * 64 * 64};
  bool bit(std::uint64_t pos, const BitContext& c) {
    const bool b = packed_bit(bits, pos);
    const std::size_t depth = c.depth + 1;  // the root: 0
    const std::size_t prefix = depth == 0 ? 0 : (1u << c.c) + c.siblings;
    level.add(depth, b);
    siblings.add(depth * 256 + prefix, b);
    near.add((depth * 8 + c.near) * 256 + prefix, b);
    behind_prefix.add(((depth * 8 + c.near) * 8 + c.behind) * 256 + prefix, b);
    behind_count.add(c.number, b);
    return b;
  }
  void forced(std::uint64_t pos) { level.add(kMaxTreeLevels, packed_bit(bits, pos)); }
};

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

Result<EventVec> read(const std::string& path) {
  const std::string ext = path.substr(path.rfind('.') + 1);
  if (ext == "evb") return io::read_compact(path);
  if (ext == "bs2" || ext == "bin") return io::read_nmnist(path);
  return io::read_aedat2(path);
}

struct Row {
  double events = 0, tree_bits = 0, static_bits = 0, context_bits = 0, level = 0, siblings = 0,
         neighbours = 0, behind_count = 0, behind_prefix = 0, enc_s = 0, dec_s = 0, static_enc_s = 0, static_dec_s = 0;
  void add(const Row& r) {
    events += r.events; tree_bits += r.tree_bits; static_bits += r.static_bits;
    context_bits += r.context_bits; level += r.level; siblings += r.siblings;
    neighbours += r.neighbours; behind_count += r.behind_count; behind_prefix += r.behind_prefix; enc_s += r.enc_s; dec_s += r.dec_s;
    static_enc_s += r.static_enc_s; static_dec_s += r.static_dec_s;
  }
};

void print(const std::string& name, int depth, const Row& r) {
  auto pct = [&](double v) { return 100.0 * (1.0 - v / r.static_bits); };
  std::printf("%-44s %5d %9.0f %10.0f %8.3f %8.3f %6.1f%% %6.1f%% %6.1f%% %6.1f%% %6.1f%% %6.1f%% %7.0f %7.0f %7.0f %7.0f\n",
              name.c_str(), depth, r.events, r.tree_bits, r.static_bits / r.events,
              r.context_bits / r.events, pct(r.level), pct(r.siblings), pct(r.neighbours),
              pct(r.context_bits), pct(r.behind_count), pct(r.behind_prefix), r.tree_bits / r.enc_s / 1e6, r.tree_bits / r.dec_s / 1e6,
              r.tree_bits / r.static_enc_s / 1e6, r.tree_bits / r.static_dec_s / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  std::uint16_t time_bins = 64;
  std::vector<int> depths = {-1, 6, 8, 10};
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--time-bins") && i + 1 < argc) {
      time_bins = static_cast<std::uint16_t>(std::stoi(argv[++i]));
    } else if (!std::strcmp(argv[i], "--depths") && i + 1 < argc) {
      depths.clear();
      std::string list = argv[++i];
      for (std::size_t at = 0; at <= list.size();) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        const std::string item = list.substr(at, comma - at);
        depths.push_back(item == "single" ? -1 : std::stoi(item));
        at = comma + 1;
      }
    } else {
      files.push_back(argv[i]);
    }
  }
  std::printf("%-44s %5s %9s %10s %8s %8s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s\n", "recording", "depth",
              "events", "tree_bits", "st_bpe", "ctx_bpe", "level", "+sibs", "+nbrs", "coded", "+bhd", "+bhdP",
              "ctxEnc", "ctxDec", "stEnc", "stDec");
  for (const int want : depths) {
    Row total;
    for (const std::string& path : files) {
      const Result<EventVec> events = read(path);
      if (!events.ok()) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), events.error().message().c_str());
        continue;
      }
      const EventVec& ev = events.value();
      if (ev.empty()) continue;
      std::uint16_t w = 0, h = 0;
      for (const Event& e : ev) { w = std::max(w, e.x); h = std::max(h, e.y); }
      const std::string ext = path.substr(path.rfind('.') + 1);
      if (ext == "aedat") w = h = 127;
      if (ext == "bs2" || ext == "bin") w = h = 33;
      const GridGeometry g(static_cast<std::uint16_t>(w + 1), static_cast<std::uint16_t>(h + 1), time_bins);
      const int depth = want < 0 ? static_cast<int>(g.single_cell_depth()) : want;
      const auto keys = occupied_cell_keys(ev, g, time_bins).value();
      const PackedBits bits = encode_tree_bits(keys, g, static_cast<std::uint8_t>(depth)).value();
      const ContextLayout layout(g, static_cast<std::uint8_t>(depth));
      Row r;
      r.events = static_cast<double>(ev.size());
      r.tree_bits = static_cast<double>(bits.bit_count);
      const int reps = static_cast<int>(std::max<double>(1, 2e7 / r.tree_bits));
      auto t0 = std::chrono::steady_clock::now();
      std::vector<std::uint8_t> st;
      for (int k = 0; k < reps; ++k) st = rans_encode_bits(bits.bytes, bits.bit_count);
      r.static_enc_s = seconds_since(t0) / reps;
      t0 = std::chrono::steady_clock::now();
      for (int k = 0; k < reps; ++k) (void)rans_decode_bits(st, bits.bit_count);
      r.static_dec_s = seconds_since(t0) / reps;
      r.static_bits = 8.0 * st.size();
      ContextCoderScratch scratch;
      std::vector<std::uint8_t> code;
      t0 = std::chrono::steady_clock::now();
      for (int k = 0; k < reps; ++k) context_encode_tree_into(bits.bytes, bits.bit_count, layout, scratch, code);
      r.enc_s = seconds_since(t0) / reps;
      PackedBits back;
      t0 = std::chrono::steady_clock::now();
      for (int k = 0; k < reps; ++k) {
        if (!context_decode_tree_into(code, bits.bit_count, layout, scratch, back).ok()) return 1;
      }
      r.dec_s = seconds_since(t0) / reps;
      if (back != bits) { std::fprintf(stderr, "%s: round trip differs\n", path.c_str()); return 1; }
      r.context_bits = 8.0 * code.size();
      CostCoder cost{bits.bytes.data()};
      TreeWalkScratch walk;
      (void)walk_tree_contexts(layout, bits.bit_count, cost, walk);
      r.level = cost.level.bits;
      r.siblings = cost.siblings.bits + cost.level.bits * 0;  // forced bits cost nothing here
      r.neighbours = cost.near.bits;
      r.behind_count = cost.behind_count.bits;
      r.behind_prefix = cost.behind_prefix.bits;
      const std::string name = path.substr(path.rfind('/') + 1);
      print(name, depth, r);
      total.add(r);
    }
    print(want < 0 ? "TOTAL (event-weighted), single-cell depth" : "TOTAL (event-weighted)", want, total);
    std::printf("\n");
  }
  return 0;
}
