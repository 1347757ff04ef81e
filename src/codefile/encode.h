// Coding a recording into a code file, and comparing a code file with the
// occupancy a recording gives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/event.h"
#include "codec/result.h"
#include "codefile/code_file.h"
#include "codefile/leaf_boxes.h"

namespace ovk::codefile {

// How encode_events codes the tree bits.
enum class Coding : std::uint8_t {
  kStatic,   // compress / compress_sequence: rANS, then xor run-length frames
  kContext,  // every frame context-coded on its own (FrameCoding::kContext)
};

// Codes the events as the codec drivers do: one frame through the whole
// codec (n_frames = 1), or n_frames consecutive time frames, frame 0 rANS
// coded and every later one as the run-length code of its xor with the
// previous frame's tree bits. The codes are the drivers' own bytes. With
// n_frames > 1 an empty recording gives no frames. n_frames = 0 is a fault.
// With Coding::kContext the same frames and tree bits, each frame
// context-coded (compress_events_context, compress_sequence_context).
Result<CodeFile> encode_events(EventSpan events, const Geometry& geometry, std::uint64_t n_frames,
                               Coding coding = Coding::kStatic);

// The first difference between a file and the recording coded with the
// file's own geometry and frame count, as one line ("frame 2: ..."), empty
// when their occupancy is identical: the same frames with the same time
// ranges, leaf boxes and event counts (a file without frames matches exactly
// the recordings without events). Frames are decoded one of each at a time,
// so what is held is the recording and one frame's boxes of each; `boxes`
// then counts the file's leaf boxes. The file must be parsed but need not be
// decoded: its decoding errors are returned.
struct Comparison {
  std::string difference;
  std::uint64_t boxes = 0;
};
Result<Comparison> compare_frame_by_frame(const CodeFile& file, EventSpan events);

}  // namespace ovk::codefile
