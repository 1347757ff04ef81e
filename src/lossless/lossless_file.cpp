#include "lossless/lossless_file.h"

#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>
#include <utility>

#include "io/file_access.h"
#include "lossless/chunk_codec.h"
#include "lossless/chunk_pipeline.h"

namespace ovk::lossless {

static_assert(kNewestLosslessVersion == kNewestChunkVersion && kOldestLosslessVersion == kOldestChunkVersion,
              "a file's version is the version of its chunk code");

namespace {

constexpr std::array<std::uint8_t, 8> kEndMagic = {'O', 'V', 'K', 'L', 'E', 'N', 'D', 0};

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  for (int i = 0; i < 2; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put64(std::vector<std::uint8_t>& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
std::uint64_t get(std::span<const std::uint8_t> in, std::size_t at, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{in[at + i]} << (8 * i);
  return v;
}
std::uint64_t hash(std::span<const std::uint8_t> bytes) {
  return XXH64(bytes.data(), bytes.size(), 0);
}

Error invalid(std::string message) {
  return Error(ErrorKind::kInvalidData, "lossless .ovkc: " + std::move(message));
}

std::string chunk_name(std::size_t index, std::size_t count) {
  return "chunk " + std::to_string(index) + " of " + std::to_string(count);
}

struct CodedChunk {
  ChunkEntry entry;
  std::vector<std::uint8_t> code;
  Event64Vec buffer;  // the chunk's events' buffer, handed back for the next chunk
};

CodedChunk code_chunk(Event64Span events, unsigned version, ChunkScratch& scratch) {
  CodedChunk chunk;
  encode_chunk(events, chunk.code, version, scratch);
  chunk.entry.bytes = static_cast<std::uint32_t>(chunk.code.size());
  chunk.entry.events = static_cast<std::uint32_t>(events.size());
  const auto [lo, hi] = std::minmax_element(events.begin(), events.end(),
                                            [](const Event64& a, const Event64& b) { return a.t < b.t; });
  chunk.entry.t_first = events.front().t;
  chunk.entry.t_min = lo->t;
  chunk.entry.t_max = hi->t;
  chunk.entry.checksum = hash(chunk.code);
  return chunk;
}

}  // namespace

bool looks_like_lossless(std::span<const std::uint8_t> head) {
  return head.size() >= kLosslessMagic.size() &&
         std::equal(kLosslessMagic.begin(), kLosslessMagic.end(), head.begin());
}

// ---- writing ----

// Chunks are coded on the pool as they fill, and written in order.
struct LosslessEncoder::Coders {
  std::vector<ChunkScratch> scratch;
  ChunkPipeline<Event64Vec, CodedChunk> pipeline;

  Coders(unsigned jobs, unsigned version)
      : scratch(std::max(jobs, 1U)),
        pipeline(jobs, [this, version](Event64Vec& events, std::size_t thread) {
          CodedChunk chunk = code_chunk(events, version, scratch[thread]);
          chunk.buffer = std::move(events);
          return chunk;
        }) {}
  // A coded chunk's events' buffer, reused for a chunk to come (a fresh one
  // of a few MiB would be faulted in page by page).
  Event64Vec spare;
};

LosslessEncoder::LosslessEncoder(ByteSink sink, io::SensorGeometry sensor, unsigned jobs,
                                 std::uint32_t chunk_events, std::uint16_t version)
    : sink_(std::move(sink)),
      chunk_events_(std::clamp<std::uint32_t>(chunk_events, 1, kMaxChunkEvents)),
      version_(version),
      sensor_(sensor),
      coders_(std::make_unique<Coders>(jobs, version)) {
  if (version < kOldestLosslessVersion || version > kNewestLosslessVersion) {
    OVK_FAULT("no lossless version " + std::to_string(version));
  }
}

LosslessEncoder::~LosslessEncoder() = default;

Status LosslessEncoder::write(std::span<const std::uint8_t> bytes) {
  offset_ += bytes.size();
  return sink_(bytes);
}

Status LosslessEncoder::append(Event64Span events) {
  if (!started_) {
    std::vector<std::uint8_t> header(kLosslessMagic.begin(), kLosslessMagic.end());
    put16(header, version_);
    put16(header, 0);
    put32(header, chunk_events_);
    put16(header, sensor_.width);
    put16(header, sensor_.height);
    put64(header, hash(header));
    started_ = true;
    OVK_RETURN_IF_ERROR(write(header));
  }
  while (!events.empty()) {
    const std::size_t take = std::min(events.size(), chunk_events_ - pending_.size());
    pending_.insert(pending_.end(), events.begin(), events.begin() + static_cast<std::ptrdiff_t>(take));
    events = events.subspan(take);
    events_ += take;
    if (pending_.size() == chunk_events_) OVK_RETURN_IF_ERROR(submit());
  }
  return Ok{};
}

// Hands the filled chunk to the coders, once there is room in flight.
Status LosslessEncoder::submit() {
  while (coders_->pipeline.full()) OVK_RETURN_IF_ERROR(write_oldest());
  coders_->pipeline.push(std::move(pending_));
  pending_ = std::move(coders_->spare);
  pending_.clear();
  pending_.reserve(chunk_events_);
  return Ok{};
}

Status LosslessEncoder::write_oldest() {
  std::optional<CodedChunk> chunk = coders_->pipeline.pop();
  if (!chunk) return Ok{};
  chunk->entry.offset = offset_;
  table_.push_back(chunk->entry);
  if (coders_->spare.capacity() < chunk->buffer.capacity()) coders_->spare = std::move(chunk->buffer);
  return write(chunk->code);
}

Status LosslessEncoder::finish() {
  OVK_RETURN_IF_ERROR(append({}));
  if (!pending_.empty()) OVK_RETURN_IF_ERROR(submit());
  while (coders_->pipeline.in_flight() > 0) OVK_RETURN_IF_ERROR(write_oldest());
  const std::uint64_t table_offset = offset_;
  std::vector<std::uint8_t> tail;
  for (const ChunkEntry& c : table_) {
    put64(tail, c.offset);
    put32(tail, c.bytes);
    put32(tail, c.events);
    put64(tail, c.t_first);
    put64(tail, c.t_min);
    put64(tail, c.t_max);
    put64(tail, c.checksum);
  }
  put64(tail, table_offset);
  put64(tail, table_.size());
  put64(tail, events_);
  put64(tail, hash(tail));
  tail.insert(tail.end(), kEndMagic.begin(), kEndMagic.end());
  return write(tail);
}

Result<FileSummary> encode_source(io::EventSource& source, ByteSink sink,
                                  io::SensorGeometry sensor, unsigned jobs,
                                  std::uint32_t chunk_events, std::uint16_t version) {
  LosslessEncoder encoder(std::move(sink), sensor, jobs, chunk_events, version);
  Event64Vec block;
  for (;;) {
    OVK_RETURN_IF_ERROR(source.next_block(block));
    if (block.empty()) break;
    OVK_RETURN_IF_ERROR(encoder.append(block));
  }
  OVK_RETURN_IF_ERROR(encoder.finish());
  FileSummary summary;
  summary.chunk_events = chunk_events;
  summary.sensor = sensor;
  summary.events = encoder.events();
  summary.file_bytes = encoder.bytes_written();
  return summary;
}

Result<FileSummary> encode_file(io::EventSource& source, std::string_view path,
                                io::SensorGeometry sensor, unsigned jobs,
                                std::uint32_t chunk_events, std::uint16_t version) {
  OVK_ASSIGN_OR_RETURN(io::AtomicFileWriter file, io::AtomicFileWriter::create(path));
  ByteSink sink = [&file](std::span<const std::uint8_t> bytes) { return file.write(bytes); };
  OVK_ASSIGN_OR_RETURN(FileSummary summary,
                       encode_source(source, std::move(sink), sensor, jobs, chunk_events, version));
  OVK_RETURN_IF_ERROR(file.commit());
  return summary;
}

std::vector<std::uint8_t> encode_to_bytes(Event64Span events, io::SensorGeometry sensor,
                                          unsigned jobs, std::uint32_t chunk_events,
                                          std::uint16_t version) {
  std::vector<std::uint8_t> out;
  LosslessEncoder encoder(
      [&out](std::span<const std::uint8_t> bytes) -> Status {
        out.insert(out.end(), bytes.begin(), bytes.end());
        return Ok{};
      },
      sensor, jobs, chunk_events, version);
  if (!encoder.append(events).ok() || !encoder.finish().ok()) OVK_FAULT("in-memory sink failed");
  return out;
}

// ---- reading ----

namespace {

// A file read with pread, so that threads share it without a position.
class FileSource final : public ReadSource {
 public:
  FileSource(io::FileHandle file, std::uint64_t size) : file_(std::move(file)), size_(size) {}

  std::uint64_t size() const override { return size_; }

  Result<std::size_t> read_some(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    for (;;) {
      const ssize_t n = ::pread(file_.fd(), out.data(), out.size(), static_cast<off_t>(offset));
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) return io::os_error(errno);
    }
  }

 private:
  io::FileHandle file_;
  std::uint64_t size_;
};

}  // namespace

Result<LosslessReader> LosslessReader::open(std::string_view path) {
  OVK_ASSIGN_OR_RETURN(io::FileHandle file, io::open_for_reading(path));
  const off_t size = ::lseek(file.fd(), 0, SEEK_END);
  if (size < 0) return io::os_error(errno);
  return from_source(std::make_unique<FileSource>(std::move(file), static_cast<std::uint64_t>(size)));
}

Result<LosslessReader> LosslessReader::from_source(std::unique_ptr<const ReadSource> source) {
  LosslessReader reader;
  reader.source_ = std::move(source);
  OVK_RETURN_IF_ERROR(reader.load());
  return reader;
}

Status LosslessReader::read_at(std::uint64_t offset, std::span<std::uint8_t> out) const {
  while (!out.empty()) {
    OVK_ASSIGN_OR_RETURN(const std::size_t n, source_->read_some(offset, out));
    if (n == 0) return invalid("the file ends early");
    out = out.subspan(n);
    offset += n;
  }
  return Ok{};
}

Status LosslessReader::load() {
  const std::uint64_t size = source_->size();
  if (size < kHeaderBytes + kTrailerBytes) {
    std::array<std::uint8_t, 4> head{};
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, 4));
    OVK_RETURN_IF_ERROR(read_at(0, std::span(head).first(n)));
    if (!looks_like_lossless(std::span(head).first(n)) && n < 4) {
      return invalid("too short to be a lossless code file");
    }
    if (!looks_like_lossless(head)) return invalid("not a lossless code file (bad magic)");
    return invalid("truncated: " + std::to_string(size) + " bytes");
  }
  std::array<std::uint8_t, kHeaderBytes> header{};
  OVK_RETURN_IF_ERROR(read_at(0, header));
  if (!looks_like_lossless(header)) return invalid("not a lossless code file (bad magic)");
  if (get(header, 16, 8) != hash(std::span(header).first(16))) {
    return invalid("header checksum mismatch");
  }
  summary_.version = static_cast<std::uint16_t>(get(header, 4, 2));
  if (summary_.version < kOldestLosslessVersion || summary_.version > kNewestLosslessVersion) {
    return invalid("unsupported version " + std::to_string(summary_.version));
  }
  if (get(header, 6, 2) != 0) return invalid("unknown flags");
  summary_.chunk_events = static_cast<std::uint32_t>(get(header, 8, 4));
  if (summary_.chunk_events == 0 || summary_.chunk_events > kMaxChunkEvents) {
    return invalid("chunk size of " + std::to_string(summary_.chunk_events) + " events out of range");
  }
  summary_.sensor = {static_cast<std::uint16_t>(get(header, 12, 2)),
                     static_cast<std::uint16_t>(get(header, 14, 2))};
  summary_.file_bytes = size;

  std::array<std::uint8_t, kTrailerBytes> trailer{};
  OVK_RETURN_IF_ERROR(read_at(size - kTrailerBytes, trailer));
  if (!std::equal(kEndMagic.begin(), kEndMagic.end(), trailer.begin() + 32)) {
    return invalid("truncated or damaged: no end marker");
  }
  const std::uint64_t table_offset = get(trailer, 0, 8);
  const std::uint64_t chunk_count = get(trailer, 8, 8);
  summary_.events = get(trailer, 16, 8);
  const std::uint64_t table_end = size - kTrailerBytes;
  if (table_offset < kHeaderBytes || table_offset > table_end ||
      (table_end - table_offset) / kTableEntryBytes != chunk_count ||
      (table_end - table_offset) % kTableEntryBytes != 0) {
    return invalid("chunk table outside the file");
  }
  std::vector<std::uint8_t> table;
  OVK_RETURN_IF_ERROR(catching_out_of_memory([&]() -> Status {
    table.resize(static_cast<std::size_t>(table_end - table_offset) + 24);
    return Ok{};
  }));
  OVK_RETURN_IF_ERROR(read_at(table_offset, table));
  if (get(trailer, 24, 8) != hash(table)) return invalid("chunk table checksum mismatch");

  std::uint64_t expected_offset = kHeaderBytes;
  std::uint64_t events = 0;
  summary_.chunks.resize(static_cast<std::size_t>(chunk_count));
  for (std::size_t i = 0; i < summary_.chunks.size(); ++i) {
    const std::span<const std::uint8_t> at = std::span(table).subspan(i * kTableEntryBytes);
    ChunkEntry& c = summary_.chunks[i];
    c = {get(at, 0, 8), static_cast<std::uint32_t>(get(at, 8, 4)),
         static_cast<std::uint32_t>(get(at, 12, 4)), get(at, 16, 8), get(at, 24, 8), get(at, 32, 8),
         get(at, 40, 8)};
    const std::string name = chunk_name(i, summary_.chunks.size());
    if (c.offset != expected_offset || c.bytes > table_offset - c.offset) {
      return invalid(name + ": outside the file");
    }
    if (c.events == 0 || c.events > summary_.chunk_events) {
      return invalid(name + ": " + std::to_string(c.events) + " events, more than a chunk holds");
    }
    if (c.t_min > c.t_max || c.t_first < c.t_min || c.t_first > c.t_max) {
      return invalid(name + ": time range reversed");
    }
    expected_offset = c.offset + c.bytes;
    events += c.events;
  }
  if (expected_offset != table_offset) return invalid("bytes between the chunks and the table");
  if (events != summary_.events) return invalid("event count differs from the chunks' sum");
  return Ok{};
}

Status LosslessReader::decode_chunk(std::size_t index, Event64Vec& events,
                                    ChunkScratch& scratch) const {
  const std::size_t count = summary_.chunks.size();
  if (index >= count) OVK_FAULT("chunk index out of range");
  const ChunkEntry& c = summary_.chunks[index];
  const std::string name = chunk_name(index, count);
  std::vector<std::uint8_t>& buffer = scratch.code();
  OVK_RETURN_IF_ERROR(catching_out_of_memory([&]() -> Status {
    buffer.resize(c.bytes);
    return Ok{};
  }));
  const std::span<const std::uint8_t> code = buffer;
  OVK_RETURN_IF_ERROR(read_at(c.offset, buffer));
  if (hash(code) != c.checksum) return invalid(name + ": checksum mismatch");
  const Status decoded = lossless::decode_chunk(code, c.events, events, summary_.version, scratch);
  if (!decoded.ok()) {
    // Running out of memory says nothing of the chunk's bytes.
    const ErrorKind kind = decoded.error().kind() == ErrorKind::kOutOfMemory ? ErrorKind::kOutOfMemory
                                                                             : ErrorKind::kInvalidData;
    return Error(kind, name + ": " + decoded.error().message());
  }
  for (const Event64& e : events) {
    if (e.t < c.t_min || e.t > c.t_max) return invalid(name + ": timestamp outside its time range");
  }
  if (events.front().t != c.t_first) return invalid(name + ": first timestamp differs from the table");
  return Ok{};
}

std::vector<std::size_t> chunks_in_window(const FileSummary& summary, std::uint64_t start,
                                          std::optional<std::uint64_t> end) {
  std::vector<std::size_t> chosen;
  for (std::size_t i = 0; i < summary.chunks.size(); ++i) {
    const ChunkEntry& c = summary.chunks[i];
    if (c.t_max >= start && (!end || c.t_min < *end)) chosen.push_back(i);
  }
  return chosen;
}

namespace {

struct DecodedChunk {
  Event64Vec events;
  std::optional<Error> error;
};

}  // namespace

Status decode_chunks(const LosslessReader& reader, std::span<const std::size_t> chunks,
                     unsigned jobs, const DecodeCallbacks& callbacks) {
  // More threads than chunks would only hold scratch memory.
  jobs = static_cast<unsigned>(std::clamp<std::size_t>(chunks.size(), 1, std::max(jobs, 1U)));
  std::vector<ChunkScratch> scratch(jobs);
  // Event buffers of chunks already handed on, reused for the next ones.
  std::mutex spare_mutex;
  std::vector<Event64Vec> spare;
  ChunkPipeline<std::size_t, DecodedChunk> pipeline(
      jobs, [&](const std::size_t& chunk, std::size_t thread) {
        DecodedChunk out;
        {
          const std::lock_guard<std::mutex> lock(spare_mutex);
          if (!spare.empty()) {
            out.events = std::move(spare.back());
            spare.pop_back();
          }
        }
        Status decoded = reader.decode_chunk(chunk, out.events, scratch[thread]);
        if (!decoded.ok()) out.error.emplace(std::move(decoded).error());
        return out;
      });
  std::size_t handed_in = 0;
  for (const std::size_t chunk : chunks) {
    while (handed_in < chunks.size() && !pipeline.full()) pipeline.push(chunks[handed_in++]);
    std::optional<DecodedChunk> decoded = pipeline.pop();
    if (decoded->error) {
      // Only damage can be skipped: a chunk that could not be read or held
      // in memory may be intact, and ends the run.
      if (decoded->error->kind() != ErrorKind::kInvalidData || !callbacks.damaged ||
          !callbacks.damaged(chunk, *decoded->error)) {
        return std::move(*decoded->error);
      }
      continue;
    }
    OVK_RETURN_IF_ERROR(callbacks.sink(chunk, decoded->events));
    const std::lock_guard<std::mutex> lock(spare_mutex);
    spare.push_back(std::move(decoded->events));
  }
  return Ok{};
}

}  // namespace ovk::lossless
