// Streaming sources over every recording format the tool reads without an
// external library: each opens a file and hands out its events a block at a
// time (io::EventSource), holding one read buffer and one block whatever the
// file's length. The bytes are hostile: every field is checked before use,
// and a file that breaks its format ends the pass with a one-line error.
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

namespace ovk::io {

// The reference conventions a reader may follow instead of its defaults
// (which are the Python module's loaders' own).
struct ReaderOptions {
  // AEDAT 2.0: jAER's DVS128 reading, x = 127 - field and ON = raw polarity 0.
  bool aedat2_jaer = false;
  // AEDAT 2.0: drop special events (address bit 31) and sync/external events
  // (address bit 15) instead of reading them as pixels.
  bool drop_specials = false;
  // N-MNIST: drop overflow markers (y = 240) and add 8192 us to every later
  // timestamp, as the dataset's own reader does.
  bool resolve_overflow = false;
  // CSV: the column order, e.g. "x,y,p,t"; empty for a header line's names
  // or, without one, x,y,t,p.
  std::string csv_columns;
};

using SourcePtr = std::unique_ptr<EventSource>;

Result<SourcePtr> open_compact_source(std::string_view path, const ReaderOptions& options);
Result<SourcePtr> open_nmnist_source(std::string_view path, const ReaderOptions& options);
Result<SourcePtr> open_aedat2_source(std::string_view path, const ReaderOptions& options);
Result<SourcePtr> open_csv_source(std::string_view path, const ReaderOptions& options);

// Prophesee RAW files: the '%' header names the encoding (EVT 2.0, 2.1 or
// 3.0); kAny takes it from there, the others insist on one.
enum class EvtVersion : std::uint8_t { kAny, kEvt2, kEvt21, kEvt3 };
Result<SourcePtr> open_evt_source(std::string_view path, EvtVersion version,
                                  const ReaderOptions& options);
// Prophesee DAT (Event2D records after a '%' header).
Result<SourcePtr> open_dat_source(std::string_view path, const ReaderOptions& options);
// Event Stream 2.x, DVS and ATIS streams.
Result<SourcePtr> open_es_source(std::string_view path, const ReaderOptions& options);

// What the first bytes of a file say about its format.
bool looks_like_aedat2(std::span<const std::uint8_t> head) noexcept;
bool looks_like_es(std::span<const std::uint8_t> head) noexcept;
bool looks_like_dat(std::span<const std::uint8_t> head) noexcept;
// The EVT version a RAW header at the start of `head` names, if any.
std::optional<EvtVersion> evt_version_of(std::span<const std::uint8_t> head) noexcept;

// The sensor of a camera named in a header (a Prophesee plugin or sensor
// name such as "hal_plugin_gen3_fx3" or "IMX636"), if known.
std::optional<SensorGeometry> sensor_of_camera(std::string_view name) noexcept;

}  // namespace ovk::io

namespace ovk::io {

// A CSV column order: for each field of a line, which event field it holds
// (0 x, 1 y, 2 t, 3 p) or -1 for a field passed over.
struct CsvColumns {
  std::vector<std::int8_t> roles;
  friend bool operator==(const CsvColumns&, const CsvColumns&) = default;
};
// The event field a CSV column or array field of this name holds (case
// apart): 0 x; 1 y; 2 t, ts, time, timestamp, t_us or timestamp_us; 3 p,
// pol, polarity or on; -1 none. "x@1280" is x.
int event_field_role(std::string_view name);
// "x,y,p,t" style: names x, y, t, p each exactly once, "_" for a field passed
// over. nullopt for anything else.
std::optional<CsvColumns> parse_csv_columns(std::string_view text);

}  // namespace ovk::io
