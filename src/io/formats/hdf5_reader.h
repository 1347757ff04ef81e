// HDF5 event files in the DSEC layout: datasets /events/x, /events/y,
// /events/p and /events/t (1-D, one integer type each, equal lengths), the
// scalar /t_offset (µs, 0 when absent) and /ms_to_idx, which a sequential
// read does not need. An event's time is t_offset + t[i].
//
// The columns are read a block at a time through hyperslabs, so memory stays
// bounded whatever the file's length. A dataset compressed with a filter this
// libhdf5 cannot load is refused with the filter's number and name. The
// sensor size is that of integer attributes width and height on the root
// group or on /events when present, else the registry takes it from the
// events.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "codec/result.h"
#include "io/event_source.h"

namespace ovk::io {

// True when `head` starts with the HDF5 signature (\x89HDF\r\n\x1a\n).
bool looks_like_hdf5(std::span<const std::uint8_t> head);

Result<std::unique_ptr<EventSource>> open_hdf5(std::string_view path);

}  // namespace ovk::io
