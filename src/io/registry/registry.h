// The one table of recording formats the tool reads: per format its name,
// its file extensions, how its first bytes are recognised, and how a
// streaming source is opened. The tool chooses readers, sensor sizes and
// folder contents through this table only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/result.h"
#include "io/event_source.h"
#include "io/event_sources.h"

namespace ovk::io {

struct RecordingFormat {
  std::string_view name;         // as --reader takes it: "evt3"
  std::string_view description;  // "Prophesee RAW, EVT 3.0"
  std::vector<std::string_view> extensions;  // without the dot
  // Recognises the format from the file's first bytes; nullptr when it has
  // no signature (compact, N-MNIST and CSV are known by extension only).
  bool (*sniff)(std::span<const std::uint8_t> head) = nullptr;
  Result<SourcePtr> (*open)(std::string_view path, const ReaderOptions& options) = nullptr;
};

// Every format, in the order --reader lists them.
std::span<const RecordingFormat> recording_formats();

// The format named `name`, or nullptr.
const RecordingFormat* find_format(std::string_view name);

// True when the path's extension belongs to a format (or is ".bin").
bool has_known_extension(std::string_view path);

// "Supported: .bin, .evb, ..." as the unknown-extension message ends.
std::string supported_extensions_text();

struct OpenedRecording {
  const RecordingFormat* format = nullptr;
  SourcePtr source;
};

// Opens the recording at `path` with `format`, or, when it is nullptr, with
// the format its extension names: ".bin" holds compact records when only 9
// divides its length and N-MNIST records otherwise; an extension shared by
// several formats (".raw") and a file without a known extension are decided
// by their first bytes.
Result<OpenedRecording> open_recording(std::string_view path, const RecordingFormat* format,
                                       const ReaderOptions& options);

// The largest x and y seen, for the sensor rule's last resort.
struct Extent {
  bool any = false;
  std::uint16_t x_max = 0;
  std::uint16_t y_max = 0;

  void add(Event64Span events) noexcept;
};

// The sensor size: `given` (--sensor) when set, else what the file states
// (its header or the camera its header names), else the largest x and y
// plus one (0x0 for no events); fails when that does not fit 16 bits.
Result<SensorGeometry> decide_sensor(const std::optional<SensorGeometry>& given,
                                     const std::optional<SensorGeometry>& declared,
                                     const Extent& extent);

}  // namespace ovk::io
