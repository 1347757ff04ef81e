#include "io/registry/registry.h"

#include <sys/stat.h>

#include <algorithm>

#include "io/byte_stream.h"
#include "io/file_access.h"
#include "io/formats/aedat4_reader.h"
#include "io/formats/hdf5_reader.h"
#include "io/formats/npz_reader.h"
#include "io/npy_source.h"
#include "io/path_quote.h"
#include "io/recording_readers.h"

namespace ovk::io {
namespace {

// Enough of a file to recognise any format's header.
constexpr std::size_t kHeadBytes = 64 * 1024;
constexpr std::uint16_t kNmnistSize = 34;

Result<SourcePtr> open_evt_any(std::string_view path, const ReaderOptions& options) {
  return open_evt_source(path, EvtVersion::kAny, options);
}
Result<SourcePtr> open_evt2(std::string_view path, const ReaderOptions& options) {
  return open_evt_source(path, EvtVersion::kEvt2, options);
}
Result<SourcePtr> open_evt21(std::string_view path, const ReaderOptions& options) {
  return open_evt_source(path, EvtVersion::kEvt21, options);
}
Result<SourcePtr> open_evt3(std::string_view path, const ReaderOptions& options) {
  return open_evt_source(path, EvtVersion::kEvt3, options);
}
bool sniff_evt2(std::span<const std::uint8_t> head) { return evt_version_of(head) == EvtVersion::kEvt2; }
bool sniff_evt21(std::span<const std::uint8_t> head) { return evt_version_of(head) == EvtVersion::kEvt21; }
bool sniff_evt3(std::span<const std::uint8_t> head) { return evt_version_of(head) == EvtVersion::kEvt3; }

// AEDAT 4, HDF5 and .npz take no reader options.
Result<SourcePtr> open_aedat4_file(std::string_view path, const ReaderOptions&) {
  return open_aedat4(path);
}
Result<SourcePtr> open_hdf5_file(std::string_view path, const ReaderOptions&) {
  return open_hdf5(path);
}
Result<SourcePtr> open_npz_file(std::string_view path, const ReaderOptions&) {
  return open_npz(path);
}

const std::vector<RecordingFormat>& table() {
  static const std::vector<RecordingFormat> kFormats{
      {"compact", "compact 9-byte records x u2, y u2, t u4, p u1", {"evb"}, nullptr,
       open_compact_source},
      {"nmnist", "N-MNIST 5-byte records", {}, nullptr, open_nmnist_source},
      {"aedat2", "AEDAT 2.0, DVS128 addresses", {"aedat"}, looks_like_aedat2, open_aedat2_source},
      {"csv", "CSV or plain text, one event a line", {"csv", "txt"}, nullptr, open_csv_source},
      {"evt2", "Prophesee RAW, EVT 2.0", {"raw"}, sniff_evt2, open_evt2},
      {"evt21", "Prophesee RAW, EVT 2.1", {"raw"}, sniff_evt21, open_evt21},
      {"evt3", "Prophesee RAW, EVT 3.0", {"raw"}, sniff_evt3, open_evt3},
      {"dat", "Prophesee DAT, Event2D records", {"dat"}, looks_like_dat, open_dat_source},
      {"es", "Event Stream 2.x, DVS or ATIS", {"es"}, looks_like_es, open_es_source},
      {"aedat4", "AEDAT 4.0, event packets (LZ4, zstd or none)", {"aedat4"}, looks_like_aedat4,
       open_aedat4_file},
      {"hdf5", "HDF5, DSEC layout /events/{x,y,p,t}", {"h5", "hdf5"}, looks_like_hdf5,
       open_hdf5_file},
      {"npy", "NumPy structured array with fields x, y, t, p", {"npy"}, looks_like_npy,
       open_npy_source},
      {"npz", "NumPy .npz archive of an event array or of x, y, t, p arrays", {"npz"}, nullptr,
       open_npz_file},
  };
  return kFormats;
}

bool is_regular(std::string_view path) {
  struct stat info{};
  return path.find('\0') == std::string_view::npos &&
         ::stat(std::string(path).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

Result<std::vector<std::uint8_t>> read_head(std::string_view path) {
  OVK_ASSIGN_OR_RETURN(ByteStream stream, ByteStream::open(path));
  OVK_ASSIGN_OR_RETURN(const std::span<const std::uint8_t> head, stream.fill(kHeadBytes));
  return std::vector<std::uint8_t>(head.begin(), head.end());
}

Error unknown_extension(std::string_view path) {
  return Error(ErrorKind::kInvalidInput,
               "Unknown file extension: " + quote_path_literal(path) + ". " +
                   supported_extensions_text());
}

// A ".bin" that is not a regular file is read once and judged by the bytes
// it holds, as the module's loader judges it.
class DecodedSource final : public EventSource {
 public:
  DecodedSource(Event64Vec events, std::optional<SensorGeometry> sensor)
      : events_(std::move(events)), sensor_(sensor) {}
  std::optional<SensorGeometry> declared_sensor() const override { return sensor_; }
  Status next_block(Event64Vec& block) override { return events_.next_block(block); }

 private:
  MemorySource events_;
  std::optional<SensorGeometry> sensor_;
};

Result<OpenedRecording> open_bin(std::string_view path, const ReaderOptions& options) {
  if (is_regular(path)) {
    struct stat info{};
    ::stat(std::string(path).c_str(), &info);
    const bool compact = bin_holds_compact_records(static_cast<std::uint64_t>(info.st_size));
    const RecordingFormat* format = find_format(compact ? "compact" : "nmnist");
    OVK_ASSIGN_OR_RETURN(SourcePtr source, format->open(path, options));
    return OpenedRecording{format, std::move(source)};
  }
  OVK_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> bytes, read_whole_file(path));
  const bool compact = bin_holds_compact_records(bytes.size());
  OVK_ASSIGN_OR_RETURN(const EventVec decoded,
                       compact ? decode_compact(bytes) : decode_nmnist(bytes));
  Event64Vec events;
  events.reserve(decoded.size());
  for (const Event& e : decoded) events.push_back(Event64{e.x, e.y, e.t, e.p});
  std::optional<SensorGeometry> sensor;
  if (!compact) sensor = SensorGeometry{kNmnistSize, kNmnistSize};
  return OpenedRecording{find_format(compact ? "compact" : "nmnist"),
                         std::make_unique<DecodedSource>(std::move(events), sensor)};
}

// The first format among `candidates` whose signature the head shows.
const RecordingFormat* sniffed(const std::vector<const RecordingFormat*>& candidates,
                               std::span<const std::uint8_t> head) {
  for (const RecordingFormat* f : candidates) {
    if (f->sniff != nullptr && f->sniff(head)) return f;
  }
  return nullptr;
}

}  // namespace

std::span<const RecordingFormat> recording_formats() { return table(); }

const RecordingFormat* find_format(std::string_view name) {
  for (const RecordingFormat& f : table()) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

bool has_known_extension(std::string_view path) {
  const std::optional<std::string_view> extension = file_extension(path);
  if (!extension) return false;
  if (*extension == "bin") return true;
  return std::any_of(table().begin(), table().end(), [&](const RecordingFormat& f) {
    return std::find(f.extensions.begin(), f.extensions.end(), *extension) != f.extensions.end();
  });
}

std::string supported_extensions_text() {
  std::vector<std::string_view> all{"bin"};
  for (const RecordingFormat& f : table()) {
    for (const std::string_view e : f.extensions) {
      if (std::find(all.begin(), all.end(), e) == all.end()) all.push_back(e);
    }
  }
  std::string text = "Supported:";
  for (std::size_t i = 0; i < all.size(); ++i) {
    text += (i == 0 ? " ." : ", .") + std::string(all[i]);
  }
  return text;
}

Result<OpenedRecording> open_recording(std::string_view path, const RecordingFormat* format,
                                       const ReaderOptions& options) {
  if (format != nullptr) {
    OVK_ASSIGN_OR_RETURN(SourcePtr source, format->open(path, options));
    return OpenedRecording{format, std::move(source)};
  }
  const std::optional<std::string_view> extension = file_extension(path);
  if (extension == "bin") return open_bin(path, options);
  std::vector<const RecordingFormat*> candidates;
  for (const RecordingFormat& f : table()) {
    if (extension && std::find(f.extensions.begin(), f.extensions.end(), *extension) !=
                         f.extensions.end()) {
      candidates.push_back(&f);
    }
  }
  if (candidates.size() == 1) return open_recording(path, candidates.front(), options);
  if (candidates.size() > 1) {
    if (extension == "raw" && !is_regular(path)) {
      OVK_ASSIGN_OR_RETURN(SourcePtr source, open_evt_any(path, options));
      return OpenedRecording{candidates.front(), std::move(source)};
    }
    OVK_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> head, read_head(path));
    const RecordingFormat* chosen = sniffed(candidates, head);
    if (chosen == nullptr && extension == "raw") {
      return Error(ErrorKind::kInvalidData,
                   "the RAW header names no EVT version; give --reader evt2, evt21 or evt3");
    }
    if (chosen == nullptr) chosen = candidates.front();
    return open_recording(path, chosen, options);
  }
  // No format claims the extension: a file whose first bytes show a
  // format's signature is read as that format.
  if (!is_regular(path)) return unknown_extension(path);
  const Result<std::vector<std::uint8_t>> head = read_head(path);
  if (!head.ok()) return unknown_extension(path);
  std::vector<const RecordingFormat*> all;
  for (const RecordingFormat& f : table()) all.push_back(&f);
  const RecordingFormat* chosen = sniffed(all, head.value());
  if (chosen == nullptr) return unknown_extension(path);
  return open_recording(path, chosen, options);
}

void Extent::add(Event64Span events) noexcept {
  if (events.empty()) return;
  std::uint16_t x = x_max;
  std::uint16_t y = y_max;
  for (const Event64& e : events) {
    x = std::max(x, e.x);
    y = std::max(y, e.y);
  }
  x_max = x;
  y_max = y;
  any = true;
}

Result<SensorGeometry> decide_sensor(const std::optional<SensorGeometry>& given,
                                     const std::optional<SensorGeometry>& declared,
                                     const Extent& extent) {
  if (given) return *given;
  if (declared) return *declared;
  if (!extent.any) return SensorGeometry{0, 0};
  const auto side = [](std::uint16_t largest, const char* axis) -> Result<std::uint16_t> {
    if (largest == 65535) {
      return Error(ErrorKind::kInvalidInput, std::string("largest ") + axis +
                                                 " is 65535, so the sensor size does not fit 16 "
                                                 "bits; give --sensor WxH");
    }
    return static_cast<std::uint16_t>(largest + 1);
  };
  OVK_ASSIGN_OR_RETURN(const std::uint16_t width, side(extent.x_max, "x"));
  OVK_ASSIGN_OR_RETURN(const std::uint16_t height, side(extent.y_max, "y"));
  return SensorGeometry{width, height};
}

}  // namespace ovk::io
