// Decoding a code file back to the occupied leaf boxes of every frame.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "codec/result.h"
#include "codefile/code_file.h"

namespace ovk::codefile {

// Origin of a leaf box, in cells of the padded grid (x, y, time bin). A
// padded side is at most 2^16, so every origin fits in 16 bits.
struct BoxOrigin {
  std::uint16_t x0, y0, t0;
  friend bool operator==(const BoxOrigin&, const BoxOrigin&) = default;
};

// The occupied leaves of one frame's tree. Over power-of-two sizes every
// node at one depth has the same box, and a one bit is a leaf only where the
// box can no longer be split, so all leaves share one size. Origins are in
// the tree's breadth-first order.
struct LeafBoxes {
  std::uint64_t dx = 1, dy = 1, dt = 1;
  std::vector<BoxOrigin> origins;
  friend bool operator==(const LeafBoxes&, const LeafBoxes&) = default;
};

// Reads a packed tree bit string (most significant bit first) over the
// padded sizes of `geometry` and returns its occupied leaves. Unlike the
// codec's own reader it insists on a well-formed string: the tree must
// consume exactly `bit_count` bits. `bits` must hold ceil(bit_count / 8)
// bytes. Fails with kInvalidData (message without a frame prefix).
Result<LeafBoxes> decode_leaf_boxes(std::span<const std::uint8_t> bits, std::uint64_t bit_count,
                                    const Geometry& geometry);

// Decodes the frames one at a time: recovers each frame's tree bits from its
// code (validating the rANS header and the run-length pairs first) and
// decodes its leaves, checking that a frame holds events exactly when its
// tree is not empty. What is held is one frame's boxes and the previous
// frame's tree bits, whatever the number of frames. The bit counts must
// already lie within the bounds parse_code_file checks (as they do in every
// parsed or freshly coded file). `file` must outlive the decoder.
struct ContextDecoder;

class FrameDecoder {
 public:
  explicit FrameDecoder(const CodeFile& file) : file_(file) {}
  // True once every frame has been decoded (or one failed).
  bool done() const { return next_ >= file_.frames.size(); }
  // The boxes of the next frame; errors name the frame, and end the decoding.
  Result<LeafBoxes> next();

 private:
  const CodeFile& file_;
  std::size_t next_ = 0;
  std::vector<std::uint8_t> previous_;
  std::shared_ptr<ContextDecoder> context_;  // made at the first frame
};

}  // namespace ovk::codefile
