// NumPy .npz archives, as numpy.savez and numpy.savez_compressed write them:
// a zip file of .npy members, stored or deflated. The events are either one
// structured array with fields for x, y, t and p (as the .npy reader finds
// them; N-ImageNet's 'event_data' is one), or four plain integer arrays of
// equal length named for the fields (x.npy, y.npy, t.npy or ts.npy, p.npy
// or polarity.npy: the names a CSV header takes). Other members are passed
// over.
//
// Read with libzip: each member is a stream of its own, a block at a time,
// so memory stays bounded whatever the archive's size, and each member's
// CRC is checked when it has been read to its end. An archive is read by
// position, so it must be a regular file.
#pragma once

#include <memory>
#include <string_view>

#include "codec/result.h"
#include "io/event_source.h"

namespace ovk::io {

Result<std::unique_ptr<EventSource>> open_npz(std::string_view path);

}  // namespace ovk::io
