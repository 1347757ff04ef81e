// Builds small AEDAT 4.0 files in memory for the reader's tests: the
// version line, the IOHeader flatbuffer with an XML stream description, and
// packets compressed as the header says.
#pragma once

#include <lz4frame.h>
#include <zstd.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "aedat4_events_generated.h"
#include "aedat4_ioheader_generated.h"
#include "codec/event.h"

namespace ovk::test {

using Bytes = std::vector<std::uint8_t>;
using aedat4::Compression;

struct FixtureStream {
  std::int32_t id;
  std::string type;
  std::optional<std::pair<int, int>> size;
};

inline std::string stream_xml(const std::vector<FixtureStream>& streams) {
  std::string xml = "<dv version=\"2.0\">\n  <node name=\"outInfo\" path=\"/mainloop/Recorder/outInfo/\">\n";
  for (const auto& s : streams) {
    const std::string id = std::to_string(s.id);
    xml += "    <node name=\"" + id + "\" path=\"/outInfo/" + id + "/\">\n";
    xml += "      <attr key=\"typeIdentifier\" type=\"string\">" + s.type + "</attr>\n";
    xml += "      <node name=\"info\" path=\"/outInfo/" + id + "/info/\">\n";
    if (s.size) {
      xml += "        <attr key=\"sizeX\" type=\"int\">" + std::to_string(s.size->first) + "</attr>\n";
      xml += "        <attr key=\"sizeY\" type=\"int\">" + std::to_string(s.size->second) + "</attr>\n";
    }
    xml += "      </node>\n    </node>\n";
  }
  return xml + "  </node>\n</dv>\n";
}

inline Bytes finished(flatbuffers::FlatBufferBuilder& builder) {
  return Bytes(builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize());
}

// A size-prefixed event packet flatbuffer.
inline Bytes event_packet(std::span<const Event64> events) {
  flatbuffers::FlatBufferBuilder builder;
  std::vector<aedat4::Event> elements;
  for (const Event64& e : events) {
    elements.emplace_back(static_cast<std::int64_t>(e.t), static_cast<std::int16_t>(e.x),
                          static_cast<std::int16_t>(e.y), e.p != 0);
  }
  aedat4::FinishSizePrefixedEventPacketBuffer(
      builder, aedat4::CreateEventPacket(builder, builder.CreateVectorOfStructs(elements)));
  return finished(builder);
}

inline Bytes compress(Compression compression, const Bytes& raw) {
  Bytes out;
  if (compression == Compression::Lz4 || compression == Compression::Lz4High) {
    out.resize(LZ4F_compressFrameBound(raw.size(), nullptr));
    const std::size_t n = LZ4F_compressFrame(out.data(), out.size(), raw.data(), raw.size(), nullptr);
    if (LZ4F_isError(n)) throw std::runtime_error("lz4");
    out.resize(n);
  } else if (compression == Compression::Zstd || compression == Compression::ZstdHigh) {
    out.resize(ZSTD_compressBound(raw.size()));
    const std::size_t n = ZSTD_compress(out.data(), out.size(), raw.data(), raw.size(), 3);
    if (ZSTD_isError(n)) throw std::runtime_error("zstd");
    out.resize(n);
  } else {
    out = raw;
  }
  return out;
}

inline void put_u32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// The header of a file: version line and IOHeader.
inline Bytes aedat4_header(Compression compression, const std::string& xml,
                           std::int64_t table_position = -1) {
  flatbuffers::FlatBufferBuilder builder;
  builder.ForceDefaults(true);  // the table position is always written
  aedat4::FinishSizePrefixedIoHeaderBuffer(
      builder, aedat4::CreateIoHeader(builder, compression, table_position,
                                      builder.CreateString(xml)));
  Bytes out(std::string_view("#!AER-DAT4.0\r\n").begin(), std::string_view("#!AER-DAT4.0\r\n").end());
  const Bytes header = finished(builder);
  out.insert(out.end(), header.begin(), header.end());
  return out;
}

// Appends one packet: header (stream id, body size) and the body as given.
inline void append_packet(Bytes& file, std::int32_t stream, const Bytes& body) {
  put_u32(file, static_cast<std::uint32_t>(stream));
  put_u32(file, static_cast<std::uint32_t>(body.size()));
  file.insert(file.end(), body.begin(), body.end());
}

struct FixturePacket {
  std::int32_t stream;
  Bytes flatbuffer;  // uncompressed
};

// A whole file; with `table`, the header points past the packets at a
// (dummy) packet table.
inline Bytes aedat4_file(Compression compression, const std::vector<FixtureStream>& streams,
                         const std::vector<FixturePacket>& packets, bool table = false) {
  const std::string xml = stream_xml(streams);
  Bytes file = aedat4_header(compression, xml);
  for (const auto& p : packets) append_packet(file, p.stream, compress(compression, p.flatbuffer));
  if (table) {
    const auto position = static_cast<std::int64_t>(file.size());
    Bytes with_table = aedat4_header(compression, xml, position);
    // Same header size whatever the position: the field is always present.
    const std::size_t header_size = aedat4_header(compression, xml).size();
    if (with_table.size() != header_size) throw std::runtime_error("header size changed");
    with_table.insert(with_table.end(), file.begin() + static_cast<std::ptrdiff_t>(header_size),
                      file.end());
    with_table.insert(with_table.end(), {'T', 'A', 'B', 'L', 'E'});
    return with_table;
  }
  return file;
}

}  // namespace ovk::test
