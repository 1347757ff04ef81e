#include "codefile/encode.h"

#include <algorithm>
#include <cstdio>

#include "codec/compress.h"
#include "codec/context_compress.h"

namespace ovk::codefile {

namespace {

struct TimeRange {
  std::uint64_t events = 0;
  std::uint32_t tmin = 0, tmax = 0;

  void add(std::uint32_t t) {
    tmin = events == 0 ? t : std::min(tmin, t);
    tmax = events == 0 ? t : std::max(tmax, t);
    ++events;
  }
};

// Event count and time range of every frame, by the drivers' own frame rule.
std::vector<TimeRange> frame_ranges(EventSpan events, std::uint64_t n_frames) {
  std::vector<TimeRange> ranges(static_cast<std::size_t>(n_frames));
  const std::vector<std::uint64_t> frame_of = split_frames(events, n_frames);
  for (std::size_t i = 0; i < events.size(); ++i) ranges[frame_of[i]].add(events[i].t);
  return ranges;
}

FrameEntry make_frame(FrameCoding coding, const TimeRange& range, std::uint64_t bit_count,
                      std::vector<std::uint8_t> code) {
  return FrameEntry{coding, range.events, range.tmin, range.tmax, bit_count, std::move(code)};
}

std::string origin_text(const BoxOrigin& o) {
  char text[48];
  std::snprintf(text, sizeof text, "(%u, %u, %u)", unsigned{o.x0}, unsigned{o.y0}, unsigned{o.t0});
  return text;
}

std::string range_text(const FrameEntry& f) {
  return std::to_string(f.tmin) + ".." + std::to_string(f.tmax) + " us";
}

std::string compare_frame(const FrameEntry& a, const LeafBoxes& boxes_a, const FrameEntry& b,
                          const LeafBoxes& boxes_b) {
  if (a.tmin != b.tmin || a.tmax != b.tmax) {
    return "time range " + range_text(a) + " in the file, " + range_text(b) + " in the recording";
  }
  const std::vector<BoxOrigin>& x = boxes_a.origins;
  const std::vector<BoxOrigin>& y = boxes_b.origins;
  const auto [ix, iy] = std::mismatch(x.begin(), x.end(), y.begin(), y.end());
  const std::size_t at = static_cast<std::size_t>(ix - x.begin());
  if (ix != x.end() && iy != y.end()) {
    return "leaf box " + std::to_string(at) + " is " + origin_text(*ix) + " in the file, " +
           origin_text(*iy) + " in the recording (x0, y0, bin0)";
  }
  if (ix != x.end()) {
    return "the file has " + std::to_string(x.size()) + " leaf boxes, the recording " +
           std::to_string(y.size()) + "; the first extra one is " + origin_text(*ix);
  }
  if (iy != y.end()) {
    return "the file has " + std::to_string(x.size()) + " leaf boxes, the recording " +
           std::to_string(y.size()) + "; the first missing one is " + origin_text(*iy);
  }
  // The same occupancy can come from other events: the stored counts must agree too.
  if (a.event_count != b.event_count) {
    return "the file counts " + std::to_string(a.event_count) + " events, the recording has " +
           std::to_string(b.event_count);
  }
  return "";
}

std::string event_count_difference(const CodeFile& file, EventSpan events) {
  return "the file counts " + std::to_string(file.event_count) + " events, the recording has " +
         std::to_string(events.size());
}

}  // namespace

Result<CodeFile> encode_events(EventSpan events, const Geometry& geometry, std::uint64_t n_frames,
                               Coding coding) {
  const bool context = coding == Coding::kContext;
  if (n_frames == 0) OVK_FAULT("a code file needs at least one frame");
  CodeFile file;
  file.geometry = geometry;
  TimeRange all;
  for (const Event& e : events) all.add(e.t);
  file.event_count = all.events;
  file.tmin = all.tmin;
  file.tmax = all.tmax;
  if (n_frames == 1) {
    OVK_ASSIGN_OR_RETURN(CompressOutput out,
                         (context ? compress_events_context : compress_events)(
                             events, geometry.width, geometry.height, geometry.time_bins,
                             geometry.depth));
    file.frames.push_back(make_frame(context ? FrameCoding::kContext : FrameCoding::kRans, all,
                                     out.record.n_bits, std::move(out.bitstream)));
    return file;
  }
  OVK_ASSIGN_OR_RETURN(SequenceOutput out,
                       (context ? compress_sequence_context : compress_sequence)(
                           events, geometry.width, geometry.height, geometry.time_bins,
                           geometry.depth, n_frames));
  if (out.frame_codes.empty()) return file;
  return catching_out_of_memory([&]() -> Result<CodeFile> {
    const std::vector<TimeRange> ranges = frame_ranges(events, n_frames);
    file.frames.reserve(ranges.size());
    for (std::size_t k = 0; k < ranges.size(); ++k) {
      const FrameCoding frame_coding = context  ? FrameCoding::kContext
                                       : k == 0 ? FrameCoding::kRans
                                                : FrameCoding::kXorRunLength;
      file.frames.push_back(make_frame(frame_coding,
                                       ranges[k], out.frame_bit_counts[k],
                                       std::move(out.frame_codes[k])));
    }
    return std::move(file);
  });
}

Result<Comparison> compare_frame_by_frame(const CodeFile& file, EventSpan events) {
  Comparison out;
  if (file.frames.empty()) {
    if (!events.empty()) {
      out.difference =
          "the file holds no frames, the recording " + std::to_string(events.size()) + " events";
    }
    return out;
  }
  OVK_ASSIGN_OR_RETURN(const CodeFile recording,
                       encode_events(events, file.geometry, file.frames.size()));
  if (file.frames.size() != recording.frames.size()) {
    out.difference = "the file holds " + std::to_string(file.frames.size()) +
                     " frames, the recording gives " + std::to_string(recording.frames.size());
    return out;
  }
  FrameDecoder from_file(file);
  FrameDecoder from_recording(recording);
  for (std::size_t k = 0; k < file.frames.size(); ++k) {
    OVK_ASSIGN_OR_RETURN(const LeafBoxes a, from_file.next());
    OVK_ASSIGN_OR_RETURN(const LeafBoxes b, from_recording.next());
    const std::string difference = compare_frame(file.frames[k], a, recording.frames[k], b);
    if (!difference.empty()) {
      out.difference = "frame " + std::to_string(k) + ": " + difference;
      return out;
    }
    out.boxes += a.origins.size();
  }
  if (file.event_count != events.size()) out.difference = event_count_difference(file, events);
  return out;
}

}  // namespace ovk::codefile
