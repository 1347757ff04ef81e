// Whole-file forms of the frame decoder and the cell table for tests, fuzz
// targets and benchmarks, composed of the pieces `ovk decode` streams frame
// by frame (FrameDecoder, CellRowMaker and the row writers).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "codec/result.h"
#include "codefile/cell_table.h"
#include "codefile/leaf_boxes.h"

namespace ovk::codefile {

// Every frame's leaf boxes, in order; errors name the frame.
inline Result<std::vector<LeafBoxes>> decode_frames(const CodeFile& file) {
  return catching_out_of_memory([&]() -> Result<std::vector<LeafBoxes>> {
    std::vector<LeafBoxes> frames;
    frames.reserve(file.frames.size());
    FrameDecoder decoder(file);
    while (!decoder.done()) {
      OVK_ASSIGN_OR_RETURN(LeafBoxes boxes, decoder.next());
      frames.push_back(std::move(boxes));
    }
    return frames;
  });
}

// The number of leaf boxes over all frames (rows of the table).
inline std::uint64_t box_count(const std::vector<LeafBoxes>& frames) {
  std::uint64_t count = 0;
  for (const LeafBoxes& f : frames) count += f.origins.size();
  return count;
}

// Calls `visit` with every row of every frame, frames in order.
inline void for_each_cell_row(const CodeFile& file, const std::vector<LeafBoxes>& frames,
                              const std::function<void(const CellRow&)>& visit) {
  CellRowMaker maker(file);
  for (std::size_t k = 0; k < frames.size(); ++k) maker.frame_rows(k, frames[k], visit);
}

// All rows, flattened.
inline std::vector<std::uint64_t> cell_rows(const CodeFile& file,
                                            const std::vector<LeafBoxes>& frames) {
  std::vector<std::uint64_t> rows;
  rows.reserve(box_count(frames) * CellRow{}.size());
  for_each_cell_row(file, frames,
                    [&rows](const CellRow& row) { rows.insert(rows.end(), row.begin(), row.end()); });
  return rows;
}

inline std::vector<std::uint8_t> cells_csv(const CodeFile& file,
                                           const std::vector<LeafBoxes>& frames) {
  const std::string heading = cells_csv_heading();
  std::vector<std::uint8_t> out(heading.begin(), heading.end());
  out.reserve(out.size() + box_count(frames) * 24);
  for_each_cell_row(file, frames, [&out](const CellRow& row) { append_csv_row(row, out); });
  return out;
}

inline std::vector<std::uint8_t> cells_npy(const CodeFile& file,
                                           const std::vector<LeafBoxes>& frames) {
  const std::string header = cells_npy_header(box_count(frames));
  std::vector<std::uint8_t> out(header.begin(), header.end());
  out.reserve(header.size() + box_count(frames) * sizeof(CellRow));
  for_each_cell_row(file, frames, [&out](const CellRow& row) { append_npy_row(row, out); });
  return out;
}

}  // namespace ovk::codefile
