#include "codefile/leaf_boxes.h"

#include <algorithm>
#include <array>
#include <bit>
#include <optional>
#include <string>

#include "codec/context_coder.h"
#include "codec/frame_delta.h"
#include "codec/rans.h"
#include "codec/tree_bits.h"
#include "codec/voxel_grid.h"

namespace ovk::codefile {

namespace {

Error invalid(std::string message) { return Error::invalid_data(std::move(message)); }

Error too_few_bits(std::uint64_t bit_count) {
  return invalid("the tree needs more than its " + std::to_string(bit_count) + " bits");
}

// The bits [i, i + avail) of the string as the top of a word, the rest
// cleared; avail = min(64 - i mod 8, end - i).
struct Window {
  std::uint64_t word;
  std::uint64_t avail;
};
Window window(std::span<const std::uint8_t> bits, std::uint64_t i, std::uint64_t end) {
  const unsigned skip = static_cast<unsigned>(i & 7);
  std::uint64_t w = load_bit_word(bits, i >> 3) << skip;
  const std::uint64_t avail = std::min<std::uint64_t>(64 - skip, end - i);
  if (avail < 64) w &= ~std::uint64_t{0} << (64 - avail);
  return {w, avail};
}

// Calls f(i - begin) for every one bit i in [begin, end), in order, a word
// at a time.
template <class F>
void for_each_one(std::span<const std::uint8_t> bits, std::uint64_t begin, std::uint64_t end,
                  F&& f) {
  for (std::uint64_t i = begin; i < end;) {
    auto [w, avail] = window(bits, i, end);
    while (w != 0) {
      const int z = std::countl_zero(w);
      f(i + static_cast<std::uint64_t>(z) - begin);
      w &= ~(std::uint64_t{1} << (63 - z));
    }
    i += avail;
  }
}

std::uint64_t count_ones(std::span<const std::uint8_t> bits, std::uint64_t begin,
                         std::uint64_t end) {
  std::uint64_t n = 0;
  for (std::uint64_t i = begin; i < end;) {
    const Window win = window(bits, i, end);
    n += static_cast<std::uint64_t>(std::popcount(win.word));
    i += win.avail;
  }
  return n;
}

BoxOrigin child_origin(const BoxOrigin& o, const BoxOrigin& d) {
  return {static_cast<std::uint16_t>(o.x0 + d.x0), static_cast<std::uint16_t>(o.y0 + d.y0),
          static_cast<std::uint16_t>(o.t0 + d.t0)};
}

// Offsets of the children of a box at depth d < levels.deepest, in child
// order.
std::vector<BoxOrigin> child_offsets(const TreeLevels& levels, unsigned d) {
  std::vector<BoxOrigin> offsets(levels.children[d]);
  for (unsigned c = 0; c < levels.children[d]; ++c) {
    const std::array<std::uint32_t, 3> o = levels.child_offset(d, c);
    offsets[c] = {static_cast<std::uint16_t>(o[0]), static_cast<std::uint16_t>(o[1]),
                  static_cast<std::uint16_t>(o[2])};
  }
  return offsets;
}

Result<std::vector<std::uint8_t>> rans_bits(const FrameEntry& frame,
                                            std::optional<RansDecodeEnd>& end) {
  OVK_RETURN_IF_ERROR(parse_rans_header(frame.code));
  end.emplace();
  return rans_decode_bits(frame.code, frame.bit_count, *end);
}

// A rANS stream the encoder wrote is read to its last byte and ends in the
// encoder's starting state. Checked once the tree has been read, so a bit
// count that does not fit the tree is reported as such.
Status check_rans_end(const std::optional<RansDecodeEnd>& end) {
  if (!end) return Ok{};
  if (end->bytes_unread != 0) {
    return invalid(std::to_string(end->bytes_unread) + " bytes left over after the rANS stream");
  }
  if (end->bytes_missing != 0 || end->final_state != kRansLowerBound) {
    return invalid("the rANS stream does not end where its bit count does");
  }
  return Ok{};
}

// previous xor the expanded pairs; the expansion must cover exactly the
// longer of the two frames' packed bits, and nothing past this frame's bits
// may be set.
Result<std::vector<std::uint8_t>> delta_bits(const FrameEntry& frame,
                                             const std::vector<std::uint8_t>& previous) {
  if (frame.code.size() % 2 != 0) return invalid("run-length code of odd length");
  const std::uint64_t own = packed_byte_count(frame.bit_count);
  const std::uint64_t expected = std::max<std::uint64_t>(own, previous.size());
  std::uint64_t expanded = 0;
  for (std::size_t i = 0; i < frame.code.size(); i += 2) {
    if (frame.code[i] == 0)
      return invalid("run-length pair with count 0 at byte " + std::to_string(i));
    expanded += frame.code[i];
  }
  if (expanded != expected) {
    return invalid("run-length code expands to " + std::to_string(expanded) + " bytes, expected " +
                   std::to_string(expected));
  }
  std::vector<std::uint8_t> bits = xor_delta(previous, rle_decode(frame.code));
  for (std::uint64_t i = own; i < bits.size(); ++i) {
    if (bits[i] != 0) return invalid("delta sets bits past the frame's bit count");
  }
  bits.resize(static_cast<std::size_t>(own));
  const unsigned tail = static_cast<unsigned>(frame.bit_count % 8);
  if (tail != 0 && (bits.back() & (0xFFu >> tail)) != 0) {
    return invalid("delta sets bits past the frame's bit count");
  }
  return bits;
}

}  // namespace

// The context decoder's layout and buffers, made at the first context-coded
// frame and kept for the file's others.
struct ContextDecoder {
  std::optional<ContextLayout> layout;
  ContextCoderScratch scratch;
  PackedBits bits;
};

namespace {

Result<std::vector<std::uint8_t>> context_bits(const FrameEntry& frame, const Geometry& geometry,
                                               ContextDecoder& decoder) {
  if (!decoder.layout) {
    decoder.layout.emplace(GridGeometry(geometry.width, geometry.height, geometry.time_bins),
                           geometry.depth);
  }
  OVK_RETURN_IF_ERROR(context_decode_tree_into(frame.code, frame.bit_count, *decoder.layout,
                                               decoder.scratch, decoder.bits));
  return std::move(decoder.bits.bytes);
}

Result<LeafBoxes> decode_frame(const FrameEntry& frame, const Geometry& geometry,
                               std::vector<std::uint8_t>& previous, ContextDecoder& decoder) {
  std::vector<std::uint8_t> bits;
  std::optional<RansDecodeEnd> rans_end;
  if (frame.coding == FrameCoding::kRans) {
    OVK_ASSIGN_OR_RETURN(bits, rans_bits(frame, rans_end));
  } else if (frame.coding == FrameCoding::kContext) {
    OVK_ASSIGN_OR_RETURN(bits, context_bits(frame, geometry, decoder));
  } else {
    OVK_ASSIGN_OR_RETURN(bits, delta_bits(frame, previous));
  }
  OVK_ASSIGN_OR_RETURN(LeafBoxes boxes, decode_leaf_boxes(bits, frame.bit_count, geometry));
  OVK_RETURN_IF_ERROR(check_rans_end(rans_end));
  const bool empty_tree = (bits[0] & 0x80) == 0;
  if (frame.event_count > 0 && empty_tree) {
    return invalid("holds " + std::to_string(frame.event_count) + " events but its tree is empty");
  }
  if (frame.event_count == 0 && !empty_tree)
    return invalid("holds no events but its tree is not empty");
  previous = std::move(bits);
  return boxes;
}

// A level of the tree in breadth-first order: the origins of its nodes,
// whose bits are [begin, begin + origins.size()) of the string.
struct Level {
  std::span<const BoxOrigin> origins;
  std::uint64_t begin;
  std::uint64_t end() const { return begin + origins.size(); }
};

// The nodes of the level whose bit is 1.
std::vector<BoxOrigin> occupied_nodes(std::span<const std::uint8_t> bits, const Level& level,
                                      std::uint64_t ones) {
  std::vector<BoxOrigin> out(static_cast<std::size_t>(ones));
  BoxOrigin* at = out.data();
  for_each_one(bits, level.begin, level.end(), [&](std::uint64_t i) { *at++ = level.origins[i]; });
  return out;
}

// The children of every occupied node, in order.
void expand(std::span<const std::uint8_t> bits, const Level& level,
            const std::vector<BoxOrigin>& offsets, std::vector<BoxOrigin>& next) {
  BoxOrigin* at = next.data();
  for_each_one(bits, level.begin, level.end(), [&](std::uint64_t i) {
    const BoxOrigin o = level.origins[i];
    for (const BoxOrigin& d : offsets) *at++ = child_origin(o, d);
  });
}

// The occupied children of every occupied node, reading the children's bits
// (from the end of the level on) without queueing the children themselves:
// the leaf level is the largest.
std::vector<BoxOrigin> occupied_children(std::span<const std::uint8_t> bits, const Level& level,
                                         const std::vector<BoxOrigin>& offsets,
                                         std::uint64_t children) {
  const std::uint64_t first = level.end();
  std::vector<BoxOrigin> out(static_cast<std::size_t>(count_ones(bits, first, first + children)));
  BoxOrigin* at = out.data();
  std::uint64_t child_bit = first;
  const std::uint64_t per_parent = offsets.size();
  for_each_one(bits, level.begin, level.end(), [&](std::uint64_t i) {
    const BoxOrigin o = level.origins[i];
    // The parent's child bits, 2, 4 or 8 of them, as the top of a word.
    std::uint64_t w = window(bits, child_bit, child_bit + per_parent).word;
    child_bit += per_parent;
    while (w != 0) {
      const int z = std::countl_zero(w);
      *at++ = child_origin(o, offsets[static_cast<std::size_t>(z)]);
      w &= ~(std::uint64_t{1} << (63 - z));
    }
  });
  return out;
}

// The first occupied node of the level whose children are all empty (an
// occupied box holds an occupied cell, so one of its children is occupied),
// as its index in the level; nullopt when there is none.
std::optional<std::uint64_t> childless_node(std::span<const std::uint8_t> bits, const Level& level,
                                            std::uint64_t per_parent) {
  std::optional<std::uint64_t> found;
  std::uint64_t child_bit = level.end();
  for_each_one(bits, level.begin, level.end(), [&](std::uint64_t i) {
    if (!found && window(bits, child_bit, child_bit + per_parent).word == 0) found = i;
    child_bit += per_parent;
  });
  return found;
}

Error childless(const Level& level, std::uint64_t i, unsigned depth) {
  const BoxOrigin& o = level.origins[i];
  return invalid("occupied node at depth " + std::to_string(depth) + ", origin (" +
                 std::to_string(o.x0) + ", " + std::to_string(o.y0) + ", " + std::to_string(o.t0) +
                 "), has no occupied child");
}

// Events are binned into time bins 0 .. time_bins - 1 (bin 0 when there
// are none), so an occupied leaf box starting in the padding of the time
// axis cannot come from any event. (Coordinates are clamped to the padded
// sizes, so x and y have no such rule.)
Status check_leaves_in_time_bins(const LeafBoxes& leaves, const Geometry& geometry) {
  const std::uint64_t bins = std::max<std::uint64_t>(geometry.time_bins, 1);
  for (const BoxOrigin& o : leaves.origins) {
    if (o.t0 >= bins) {
      return invalid("occupied leaf box at time bin " + std::to_string(o.t0) +
                     " lies in the padding beyond the " + std::to_string(bins) + " time bins");
    }
  }
  return Ok{};
}

// The leaves, at `depth`, whose origins are `origins`.
LeafBoxes leaves_at(const TreeLevels& levels, unsigned depth, std::vector<BoxOrigin> origins) {
  const std::array<std::uint32_t, 3>& side = levels.side[depth];
  return LeafBoxes{side[0], side[1], side[2], std::move(origins)};
}

}  // namespace

Result<LeafBoxes> decode_leaf_boxes(std::span<const std::uint8_t> bits, std::uint64_t bit_count,
                                    const Geometry& geometry) {
  if (bits.size() < packed_byte_count(bit_count)) OVK_FAULT("tree bits shorter than their count");
  const TreeLevels levels(GridGeometry(geometry.width, geometry.height, geometry.time_bins),
                          geometry.depth);
  LeafBoxes out;
  std::vector<BoxOrigin> current{{0, 0, 0}};
  std::vector<BoxOrigin> next;
  std::uint64_t pos = 0;  // bits consumed by the levels before `current`
  for (unsigned depth = 0; !current.empty(); ++depth) {
    const Level level{current, pos};
    if (level.end() > bit_count) return too_few_bits(bit_count);
    const std::uint64_t ones = count_ones(bits, level.begin, level.end());
    if (depth == levels.deepest) {
      out = leaves_at(levels, depth, occupied_nodes(bits, level, ones));
      pos = level.end();
      break;
    }
    const std::vector<BoxOrigin> offsets = child_offsets(levels, depth);
    // Checked before allocating: each child needs a bit of its own.
    const std::uint64_t children = ones * offsets.size();
    if (children > bit_count - level.end()) return too_few_bits(bit_count);
    if (const auto node = childless_node(bits, level, offsets.size())) {
      return childless(level, *node, depth);
    }
    if (depth + 1 == levels.deepest) {
      out = leaves_at(levels, depth + 1, occupied_children(bits, level, offsets, children));
      pos = level.end() + children;
      break;
    }
    next.resize(static_cast<std::size_t>(children));
    expand(bits, level, offsets, next);
    current.swap(next);
    pos = level.end();
  }
  if (pos != bit_count) {
    return invalid("the tree ends before its bit count (" + std::to_string(bit_count - pos) +
                   " left over)");
  }
  OVK_RETURN_IF_ERROR(check_leaves_in_time_bins(out, geometry));
  return out;
}

Result<LeafBoxes> FrameDecoder::next() {
  if (done()) OVK_FAULT("no frame left to decode");
  const std::size_t k = next_++;
  if (!context_) context_ = std::make_shared<ContextDecoder>();
  Result<LeafBoxes> boxes = catching_out_of_memory(
      [&] { return decode_frame(file_.frames[k], file_.geometry, previous_, *context_); });
  if (!boxes.ok()) {
    next_ = file_.frames.size();
    return invalid("frame " + std::to_string(k) + ": " + boxes.error().message());
  }
  return boxes;
}

}  // namespace ovk::codefile
