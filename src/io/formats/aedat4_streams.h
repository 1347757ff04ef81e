// The streams an AEDAT 4.0 file declares in the XML text of its header:
//
//   <node name="outInfo" ...>
//     <node name="0" ...>
//       <attr key="typeIdentifier" type="string">EVTS</attr>
//       <node name="info" ...>
//         <attr key="sizeX" type="int">346</attr>
//         <attr key="sizeY" type="int">260</attr>
//
// Each numbered node is a stream, whose number is the stream id of its
// packets; only the attributes the reader needs are kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/result.h"
#include "io/event_source.h"

namespace ovk::io {

struct Aedat4Stream {
  std::int32_t id = 0;
  std::string type;                       // typeIdentifier: EVTS, FRME, IMUS, TRIG, ...
  std::optional<SensorGeometry> sensor;  // from sizeX/sizeY when both are given
};

// The streams in order of their ids. A size outside 1..65535 or a stream
// number that is not a 31-bit integer is an error; unknown tags and
// attributes are passed over.
Result<std::vector<Aedat4Stream>> parse_aedat4_streams(std::string_view xml);

}  // namespace ovk::io
