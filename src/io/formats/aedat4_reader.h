// AEDAT 4.0 recordings (iniVation DV): a version line, a size-prefixed
// flatbuffer header naming the packet compression and, in XML, the streams;
// then packets of an 8-byte header (stream id, body size) and a body that is
// one LZ4 or zstd frame (or none) holding a size-prefixed flatbuffer.
//
// The events of the first polarity-event stream ("EVTS") are handed out in
// file order with their 64-bit µs timestamps; packets of other streams
// (frames, IMU samples, triggers, further event streams) are passed over
// without being decompressed and counted per kind. The sensor size is the
// event stream's sizeX/sizeY. One packet is held at a time; every length is
// checked against what the file holds and against kMaxAedat4PacketBytes
// before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "codec/result.h"
#include "io/event_source.h"
#include "io/formats/byte_input.h"

namespace ovk::io {

// The version line every AEDAT 4.0 file starts with.
inline constexpr std::string_view kAedat4VersionLine = "#!AER-DAT4.0\r\n";

// Largest header or (decompressed) packet flatbuffer accepted: 16 Mi events.
inline constexpr std::size_t kMaxAedat4PacketBytes = std::size_t{256} << 20;

// True when `head` (the first bytes of a file, at least 14 of them) starts
// with the AEDAT 4.0 version line.
bool looks_like_aedat4(std::span<const std::uint8_t> head);

// Opens `path` and reads its header; the packets are read by next_block.
Result<std::unique_ptr<EventSource>> open_aedat4(std::string_view path);

// The same over any input (open_aedat4 hands it the file), optionally with a
// lower limit on a header's or a decompressed packet's size.
Result<std::unique_ptr<EventSource>> open_aedat4_input(
    std::unique_ptr<ByteInput> input, std::size_t max_packet_bytes = kMaxAedat4PacketBytes);

}  // namespace ovk::io
