// The lossless kind of .ovkc file: a recording's events, every field exact,
// cut into chunks of at most `chunk_events` events that each decode alone
// and carry their own checksum, with a chunk table that doubles as a time
// index. Layout (every integer little-endian; docs/format.md has the
// details and a worked example):
//
//   header   24 bytes: "OVKL", version u16, flags u16 (0), chunk_events u32,
//            sensor width u16, height u16, xxh64 of the 16 bytes before it
//   chunks   each chunk's code (chunk_codec.h), back to back
//   table    48 bytes per chunk: offset u64, bytes u32, events u32,
//            t_first u64 (its first event's), t_min u64, t_max u64,
//            xxh64 of the chunk's code
//   trailer  40 bytes: table offset u64, chunk count u64, events u64,
//            xxh64 of the table and the 24 trailer bytes before it,
//            "OVKLEND\0"
//
// Writing streams: chunks go out as they fill, the table at the end. The
// reader checks the header, trailer and table before it trusts any of them,
// and a chunk's checksum before it decodes it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/event.h"
#include "codec/result.h"
#include "io/event_source.h"
#include "io/file_write.h"
#include "lossless/chunk_codec.h"

namespace ovk::lossless {

inline constexpr std::array<std::uint8_t, 4> kLosslessMagic = {'O', 'V', 'K', 'L'};
// Versions kOldestLosslessVersion ... kNewestLosslessVersion are read (they
// differ only in the chunk code, chunk_codec.h). kLosslessVersion, the fast
// code, is written unless the smallest code is asked for:
// kSmallestLosslessVersion. Versions 1 and 2 are no longer written.
inline constexpr std::uint16_t kLosslessVersion = 3;
inline constexpr std::uint16_t kSmallestLosslessVersion = 4;
inline constexpr std::uint16_t kOldestLosslessVersion = 1;
inline constexpr std::uint16_t kNewestLosslessVersion = 4;
inline constexpr std::size_t kHeaderBytes = 24;
inline constexpr std::size_t kTableEntryBytes = 48;
inline constexpr std::size_t kTrailerBytes = 40;
// Chunks hold at most this many events (the file may ask for fewer).
inline constexpr std::uint32_t kMaxChunkEvents = 1U << 20;
inline constexpr std::uint32_t kDefaultChunkEvents = 1U << 16;

// True when `head` starts like a lossless .ovkc file.
bool looks_like_lossless(std::span<const std::uint8_t> head);

struct ChunkEntry {
  std::uint64_t offset = 0;
  std::uint32_t bytes = 0;
  std::uint32_t events = 0;
  std::uint64_t t_first = 0;
  std::uint64_t t_min = 0;
  std::uint64_t t_max = 0;
  std::uint64_t checksum = 0;
};

struct FileSummary {
  std::uint16_t version = kLosslessVersion;
  std::uint32_t chunk_events = kDefaultChunkEvents;
  io::SensorGeometry sensor;
  std::uint64_t events = 0;
  std::uint64_t file_bytes = 0;
  std::vector<ChunkEntry> chunks;
};

// Where a writer's bytes go, in order.
using ByteSink = std::function<Status(std::span<const std::uint8_t>)>;

// Codes events into the lossless layout, a chunk at a time, holding at most
// `jobs` chunks of events; chunks are coded on `jobs` threads and the bytes
// never depend on `jobs`.
class LosslessEncoder {
 public:
  // A `version` outside the versions read is a fault.
  LosslessEncoder(ByteSink sink, io::SensorGeometry sensor, unsigned jobs,
                  std::uint32_t chunk_events = kDefaultChunkEvents,
                  std::uint16_t version = kLosslessVersion);
  ~LosslessEncoder();
  LosslessEncoder(const LosslessEncoder&) = delete;
  LosslessEncoder& operator=(const LosslessEncoder&) = delete;
  // Adds events in order.
  [[nodiscard]] Status append(Event64Span events);
  // Codes what is left and writes the table and trailer.
  [[nodiscard]] Status finish();

  std::uint64_t bytes_written() const { return offset_; }
  std::uint64_t events() const { return events_; }

 private:
  struct Coders;

  [[nodiscard]] Status write(std::span<const std::uint8_t> bytes);
  [[nodiscard]] Status submit();
  [[nodiscard]] Status write_oldest();

  ByteSink sink_;
  std::uint32_t chunk_events_;
  std::uint16_t version_;
  Event64Vec pending_;  // the chunk being filled
  std::vector<ChunkEntry> table_;
  std::uint64_t offset_ = 0;
  std::uint64_t events_ = 0;
  bool started_ = false;
  io::SensorGeometry sensor_;
  std::unique_ptr<Coders> coders_;  // the threads coding full chunks
};

// Codes everything `source` hands out into the bytes of a lossless file,
// handed to `sink` in order.
[[nodiscard]] Result<FileSummary> encode_source(io::EventSource& source, ByteSink sink,
                                                io::SensorGeometry sensor, unsigned jobs,
                                                std::uint32_t chunk_events = kDefaultChunkEvents,
                                                std::uint16_t version = kLosslessVersion);

// The same into a lossless file at `path` (written whole or not at all).
[[nodiscard]] Result<FileSummary> encode_file(io::EventSource& source, std::string_view path,
                                              io::SensorGeometry sensor, unsigned jobs,
                                              std::uint32_t chunk_events = kDefaultChunkEvents,
                                              std::uint16_t version = kLosslessVersion);

// Codes a whole recording in memory into the bytes of a lossless file.
std::vector<std::uint8_t> encode_to_bytes(Event64Span events, io::SensorGeometry sensor,
                                          unsigned jobs = 1,
                                          std::uint32_t chunk_events = kDefaultChunkEvents,
                                          std::uint16_t version = kLosslessVersion);

// Where a reader's bytes come from: any range of them, by offset, from any
// thread at once.
class ReadSource {
 public:
  virtual ~ReadSource() = default;
  // Bytes from the start to the end.
  virtual std::uint64_t size() const = 0;
  // Reads bytes from `offset` on into the start of `out`; returns how many,
  // fewer than asked only at the end (0 there and beyond).
  [[nodiscard]] virtual Result<std::size_t> read_some(std::uint64_t offset,
                                                      std::span<std::uint8_t> out) const = 0;
};

// A lossless file opened for reading: its header, trailer and chunk table
// checked and read; the chunks are read when decoded.
class LosslessReader {
 public:
  [[nodiscard]] static Result<LosslessReader> open(std::string_view path);
  [[nodiscard]] static Result<LosslessReader> from_source(std::unique_ptr<const ReadSource> source);

  const FileSummary& summary() const { return summary_; }

  // Reads, checks and decodes chunk `index`. Errors name the chunk
  // ("chunk 3 of 12: checksum mismatch").
  // `scratch`: one a thread, kept from chunk to chunk.
  [[nodiscard]] Status decode_chunk(std::size_t index, Event64Vec& events,
                                    ChunkScratch& scratch) const;

 private:
  LosslessReader() = default;
  [[nodiscard]] Status load();
  [[nodiscard]] Status read_at(std::uint64_t offset, std::span<std::uint8_t> out) const;

  std::unique_ptr<const ReadSource> source_;
  FileSummary summary_;
};

// The indexes of the chunks whose time range meets [start, end) (no end:
// to the end of time, 2^64 - 1 included).
std::vector<std::size_t> chunks_in_window(const FileSummary& summary, std::uint64_t start,
                                          std::optional<std::uint64_t> end);

// Decodes every chunk of `reader` (or those listed) on `jobs` threads (no
// more than there are chunks) and hands them to `sink` in order. A damaged
// chunk (invalid data) is reported to `damaged` (its index and error) and,
// unless `damaged` returns true (skip it), ends the run with that error; any
// other failure (memory, a read error) ends the run whatever `damaged` says.
struct DecodeCallbacks {
  std::function<Status(std::size_t index, const Event64Vec& events)> sink;
  std::function<bool(std::size_t index, const Error& error)> damaged;
};
[[nodiscard]] Status decode_chunks(const LosslessReader& reader,
                                   std::span<const std::size_t> chunks, unsigned jobs,
                                   const DecodeCallbacks& callbacks);

}  // namespace ovk::lossless
