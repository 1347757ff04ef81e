// A model of the CSV reader the module and the tool share: the bytes cut into
// lines after each line feed (the last line may lack one), each line scanned
// on its own by the production line scanner (scan_csv_line). The production
// reader streams through a fixed buffer, gathers lines cut by its reads and
// takes a fast path for plain lines; it must give the same events, or fail
// with the same message.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "codec/event.h"
#include "codec/result.h"
#include "io/csv_line.h"

namespace ovk::reference {

inline Result<EventVec> decode_csv(std::span<const std::uint8_t> bytes) {
  return catching_out_of_memory([bytes]() -> Result<EventVec> {
    EventVec events;
    for (std::size_t pos = 0; pos < bytes.size();) {
      const void* newline = std::memchr(bytes.data() + pos, '\n', bytes.size() - pos);
      const std::size_t end =
          newline == nullptr
              ? bytes.size()
              : static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - bytes.data()) +
                    1;
      const io::CsvLineScan scan = io::scan_csv_line(bytes.subspan(pos, end - pos));
      if (scan.fault != io::CsvLineFault::kNone) return io::csv_line_error(scan.fault);
      if (scan.has_event) events.push_back(scan.event);
      pos = end;
    }
    return events;
  });
}

}  // namespace ovk::reference
