// Prophesee recordings: RAW files in EVT 2.0, EVT 2.1 or EVT 3.0 and DAT
// files of Event2D records. Each starts with '%' text lines; the RAW header
// ends at "% end" when it has one (the words after it may start with '%').
// The decode loops follow the encodings' public descriptions; the rules for
// odd streams are in docs/formats-in.md.
#include <algorithm>
#include <bit>
#include <cctype>
#include <string>

#include "io/event_sources.h"
#include "io/stream_source.h"

namespace ovk::io {
namespace {

struct PercentHeader {
  std::optional<EvtVersion> version;
  bool evt21_halves = false;  // 64-bit words sent as two 32-bit halves, high half first
  std::optional<SensorGeometry> geometry;
  std::optional<std::uint16_t> width;
  std::optional<std::uint16_t> height;
  std::optional<SensorGeometry> camera;
  std::optional<unsigned> dat_version;
};

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view strip(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::optional<std::uint16_t> dimension(std::string_view text) {
  const std::optional<SensorGeometry> g = parse_geometry(std::string(strip(text)) + "x1");
  if (!g) return std::nullopt;
  return g->width;
}

std::optional<EvtVersion> version_named(std::string_view value) {
  const std::string v = lowered(strip(value));
  if (v == "2.0" || v == "2" || v == "evt2" || v == "evt2.0") return EvtVersion::kEvt2;
  if (v == "2.1" || v.starts_with("evt21") || v == "evt2.1") return EvtVersion::kEvt21;
  if (v == "3.0" || v == "3" || v == "evt3" || v == "evt3.0") return EvtVersion::kEvt3;
  return std::nullopt;
}

// "% format EVT3;height=720;width=1280"
void read_format_line(std::string_view value, PercentHeader& header) {
  header.evt21_halves = lowered(value).find("legacy") != std::string::npos;
  std::size_t start = 0;
  for (bool first = true;; first = false) {
    const std::size_t semicolon = std::min(value.find(';', start), value.size());
    const std::string_view item = strip(value.substr(start, semicolon - start));
    if (first) {
      header.version = version_named(item);
    } else if (const std::size_t eq = item.find('='); eq != std::string_view::npos) {
      const std::string key = lowered(strip(item.substr(0, eq)));
      if (key == "width") header.width = dimension(item.substr(eq + 1));
      if (key == "height") header.height = dimension(item.substr(eq + 1));
    }
    if (semicolon == value.size()) break;
    start = semicolon + 1;
  }
}

void read_header_line(std::string_view line, PercentHeader& header) {
  line = strip(line.substr(1));  // after '%'
  const std::size_t space = std::min(line.find_first_of(" \t"), line.size());
  const std::string key = lowered(line.substr(0, space));
  const std::string_view value = strip(line.substr(space));
  if (key == "evt") {
    header.version = version_named(value);
  } else if (key == "format") {
    read_format_line(value, header);
  } else if (key == "geometry") {
    header.geometry = parse_geometry(value);
  } else if (key == "width") {
    header.width = dimension(value);
  } else if (key == "height") {
    header.height = dimension(value);
  } else if (key == "version") {
    if (const auto v = dimension(value)) header.dat_version = *v;
  } else if (key == "plugin_name" || key == "sensor_name" || key == "camera_integrator_name" ||
             key == "sensor_generation" || key == "system_id" || key == "camera") {
    if (!header.camera) header.camera = sensor_of_camera(value);
  }
}

// Reads the '%' lines at the start of the stream. RAW headers end at "% end".
Result<PercentHeader> read_percent_header(ByteStream& stream, bool stop_at_end_line) {
  PercentHeader header;
  for (;;) {
    OVK_ASSIGN_OR_RETURN(const std::optional<std::string> line, stream.marked_line('%'));
    if (!line) break;
    if (stop_at_end_line && lowered(strip(line->substr(1))) == "end") break;
    read_header_line(*line, header);
  }
  return header;
}

std::optional<SensorGeometry> header_sensor(const PercentHeader& header) {
  if (header.geometry) return header.geometry;
  if (header.width && header.height) return SensorGeometry{*header.width, *header.height};
  return header.camera;
}

enum Skipped : std::size_t { kTriggers = 0, kOtherWords = 1 };

// The 64-bit timestamp of a time base that wraps at 2^bits: a step back of
// more than half the range is a wrap, a smaller one is taken as written.
class WrappingTime {
 public:
  explicit WrappingTime(unsigned bits) : bits_(bits) {}
  std::uint64_t update(std::uint64_t high) noexcept {
    const std::uint64_t range = std::uint64_t{1} << bits_;
    if (started_ && high < last_ && last_ - high > range / 2) epoch_ += range;
    started_ = true;
    last_ = high;
    return epoch_ + high;
  }

 private:
  unsigned bits_;
  bool started_ = false;
  std::uint64_t last_ = 0;
  std::uint64_t epoch_ = 0;
};

// The EVT formats' sources: words of `unit` bytes, at most `most_per_unit`
// events a word, trigger events and the other non-event words counted.
class EvtSource : public StreamSource {
 protected:
  EvtSource(ByteStream stream, std::size_t unit, std::size_t most_per_unit)
      : StreamSource(std::move(stream), unit, most_per_unit) {
    set_skipped_kinds({"trigger events", "other words"});
  }
};

class Evt2Source final : public EvtSource {
 public:
  explicit Evt2Source(ByteStream stream) : EvtSource(std::move(stream), 4, 1) {}

 private:
  Result<std::size_t> decode(std::span<const std::uint8_t> bytes, Event64* block,
                             std::size_t capacity, std::size_t& written) override {
    const std::size_t n = std::min(bytes.size() / 4, capacity - written);
    const std::uint8_t* w = bytes.data();
    Event64* out = block + written;
    std::uint64_t high = high_;
    std::uint64_t triggers = 0;
    std::uint64_t others = 0;
    for (std::size_t i = 0; i < n; ++i, w += 4) {
      const std::uint32_t word = load_le32(w);
      const std::uint32_t type = word >> 28;
      if (type <= 1) {
        *out++ = Event64{static_cast<std::uint16_t>((word >> 11) & 0x7FF),
                         static_cast<std::uint16_t>(word & 0x7FF), high | ((word >> 22) & 0x3F),
                         static_cast<std::uint8_t>(type)};
      } else if (type == 0x8) {
        high = time_.update(word & 0x0FFFFFFF) << 6;
      } else if (type == 0xA) {
        ++triggers;
      } else {
        ++others;
      }
    }
    high_ = high;
    written = static_cast<std::size_t>(out - block);
    count_skipped(kTriggers, triggers);
    count_skipped(kOtherWords, others);
    return n * 4;
  }

  WrappingTime time_{28};
  std::uint64_t high_ = 0;
};

class Evt21Source final : public EvtSource {
 public:
  Evt21Source(ByteStream stream, bool halves) : EvtSource(std::move(stream), 8, 32), halves_(halves) {}

 private:
  Result<std::size_t> decode(std::span<const std::uint8_t> bytes, Event64* block,
                             std::size_t capacity, std::size_t& written) override {
    const std::uint8_t* w = bytes.data();
    const std::uint8_t* const end = w + bytes.size() / 8 * 8;
    Event64* out = block + written;
    Event64* const last = block + capacity - 32;
    std::uint64_t high = high_;
    std::uint64_t triggers = 0;
    std::uint64_t others = 0;
    for (; w < end && out <= last; w += 8) {
      const std::uint64_t a = load_le32(w);
      const std::uint64_t b = load_le32(w + 4);
      const std::uint64_t word = halves_ ? (a << 32) | b : (b << 32) | a;
      const auto type = static_cast<std::uint32_t>(word >> 60);
      if (type <= 1) {
        const auto x = static_cast<std::uint16_t>((word >> 43) & 0x7FF);
        const auto y = static_cast<std::uint16_t>((word >> 32) & 0x7FF);
        const std::uint64_t t = high | ((word >> 54) & 0x3F);
        for (auto mask = static_cast<std::uint32_t>(word); mask != 0; mask &= mask - 1) {
          const auto bit = static_cast<std::uint16_t>(std::countr_zero(mask));
          *out++ = Event64{static_cast<std::uint16_t>(x + bit), y, t,
                           static_cast<std::uint8_t>(type)};
        }
      } else if (type == 0x8) {
        high = time_.update((word >> 32) & 0x0FFFFFFF) << 6;
      } else if (type == 0xA) {
        ++triggers;
      } else {
        ++others;
      }
    }
    high_ = high;
    written = static_cast<std::size_t>(out - block);
    count_skipped(kTriggers, triggers);
    count_skipped(kOtherWords, others);
    return static_cast<std::size_t>(w - bytes.data());
  }

  bool halves_;
  WrappingTime time_{28};
  std::uint64_t high_ = 0;
};

class Evt3Source final : public EvtSource {
 public:
  explicit Evt3Source(ByteStream stream) : EvtSource(std::move(stream), 2, 12) {}

 private:
  // The decoder's state lives in locals during the loop: the event stores
  // could otherwise alias the members and force them back to memory.
  Result<std::size_t> decode(std::span<const std::uint8_t> bytes, Event64* block,
                             std::size_t capacity, std::size_t& written) override {
    const std::uint8_t* w = bytes.data();
    const std::uint8_t* const end = w + bytes.size() / 2 * 2;
    Event64* out = block + written;
    Event64* const last = block + capacity - 12;
    std::uint64_t high = high_;
    std::uint64_t t = high_ | low_;
    std::uint16_t y = y_;
    std::uint16_t base_x = base_x_;
    std::uint8_t polarity = polarity_;
    std::uint64_t triggers = 0;
    std::uint64_t others = 0;
    const auto vector = [&](std::uint32_t mask, std::uint16_t width) {
      for (; mask != 0; mask &= mask - 1) {
        const auto bit = static_cast<std::uint16_t>(std::countr_zero(mask));
        *out++ = Event64{static_cast<std::uint16_t>(base_x + bit), y, t, polarity};
      }
      base_x = static_cast<std::uint16_t>(base_x + width);
    };
    for (; w < end && out <= last; w += 2) {
      const std::uint32_t word = load_le16(w);
      const std::uint32_t payload = word & 0xFFF;
      const std::uint32_t type = word >> 12;
      if (((kCommonWords >> type) & 1) != 0) [[likely]] {
        // EVT_ADDR_Y, EVT_ADDR_X and EVT_TIME_LOW make up most streams, and
        // their order follows the data, so they are taken without a branch:
        // the event is stored always and kept only for EVT_ADDR_X (the block
        // keeps room for it), and the other two pick their new values by
        // masks (a compiler turns plain selections back into branches).
        *out = Event64{static_cast<std::uint16_t>(payload & 0x7FF), y, t,
                       static_cast<std::uint8_t>(payload >> 11)};
        out += type == 0x2 ? 1 : 0;
        const std::uint32_t y_mask = 0u - static_cast<std::uint32_t>(type == 0x0);
        const std::uint64_t t_mask = 0u - static_cast<std::uint64_t>(type == 0x6);
        y = static_cast<std::uint16_t>((y & ~y_mask) | (payload & 0x7FF & y_mask));
        t = (t & ~t_mask) | ((high | payload) & t_mask);
        continue;
      }
      switch (type) {
        case 0x3:  // VECT_BASE_X
          base_x = static_cast<std::uint16_t>(payload & 0x7FF);
          polarity = static_cast<std::uint8_t>(payload >> 11);
          break;
        case 0x4:  // VECT_12
          vector(payload, 12);
          break;
        case 0x5:  // VECT_8
          vector(payload & 0xFF, 8);
          break;
        case 0x8:  // EVT_TIME_HIGH
          high = time_.update(payload) << 12;
          t = high | (t & 0xFFF);
          break;
        case 0xA:  // EXT_TRIGGER
          ++triggers;
          break;
        default:  // CONTINUED_4, OTHERS, CONTINUED_12, reserved
          ++others;
          break;
      }
    }
    high_ = high;
    low_ = t & 0xFFF;
    y_ = y;
    base_x_ = base_x;
    polarity_ = polarity;
    written = static_cast<std::size_t>(out - block);
    count_skipped(kTriggers, triggers);
    count_skipped(kOtherWords, others);
    return static_cast<std::size_t>(w - bytes.data());
  }

  // EVT_ADDR_Y (0x0), EVT_ADDR_X (0x2) and EVT_TIME_LOW (0x6), by type bit.
  static constexpr std::uint32_t kCommonWords = (1u << 0x0) | (1u << 0x2) | (1u << 0x6);

  WrappingTime time_{12};
  std::uint64_t high_ = 0;
  std::uint64_t low_ = 0;
  std::uint16_t y_ = 0;
  std::uint16_t base_x_ = 0;
  std::uint8_t polarity_ = 0;
};

class DatSource final : public StreamSource {
 public:
  explicit DatSource(ByteStream stream) : StreamSource(std::move(stream), 8, 1) {}

 private:
  Result<std::size_t> decode(std::span<const std::uint8_t> bytes, Event64* block,
                             std::size_t capacity, std::size_t& written) override {
    const std::size_t n = std::min(bytes.size() / 8, capacity - written);
    const std::uint8_t* r = bytes.data();
    Event64* out = block + written;
    for (std::size_t i = 0; i < n; ++i, r += 8) {
      const std::uint32_t word = load_le32(r + 4);
      out[i] = Event64{static_cast<std::uint16_t>(word & 0x3FFF),
                       static_cast<std::uint16_t>((word >> 14) & 0x3FFF), load_le32(r),
                       static_cast<std::uint8_t>(word >> 28)};
    }
    written += n;
    return n * 8;
  }
  Status finish(std::size_t leftover, std::uint64_t) override {
    if (leftover == 0) return Ok{};
    return truncated_error("record", leftover);
  }
};

Error version_error(EvtVersion named, EvtVersion wanted) {
  const auto name = [](EvtVersion v) {
    return v == EvtVersion::kEvt2 ? "EVT 2.0" : v == EvtVersion::kEvt21 ? "EVT 2.1" : "EVT 3.0";
  };
  return Error(ErrorKind::kInvalidData, std::string("the header says ") + name(named) +
                                            ", not " + name(wanted));
}

}  // namespace

Result<SourcePtr> open_evt_source(std::string_view path, EvtVersion version,
                                  const ReaderOptions&) {
  OVK_ASSIGN_OR_RETURN(ByteStream stream, ByteStream::open(path));
  OVK_ASSIGN_OR_RETURN(const PercentHeader header, read_percent_header(stream, true));
  EvtVersion chosen = version;
  if (version == EvtVersion::kAny) {
    if (!header.version) {
      return Error(ErrorKind::kInvalidData,
                   "the RAW header names no EVT version; give --reader evt2, evt21 or evt3");
    }
    chosen = *header.version;
  } else if (header.version && *header.version != version) {
    return version_error(*header.version, version);
  }
  std::unique_ptr<StreamSource> source;
  if (chosen == EvtVersion::kEvt2) source = std::make_unique<Evt2Source>(std::move(stream));
  if (chosen == EvtVersion::kEvt21) {
    source = std::make_unique<Evt21Source>(std::move(stream), header.evt21_halves);
  }
  if (chosen == EvtVersion::kEvt3) source = std::make_unique<Evt3Source>(std::move(stream));
  source->set_declared_sensor(header_sensor(header));
  return SourcePtr(std::move(source));
}

Result<SourcePtr> open_dat_source(std::string_view path, const ReaderOptions&) {
  OVK_ASSIGN_OR_RETURN(ByteStream stream, ByteStream::open(path));
  OVK_ASSIGN_OR_RETURN(const PercentHeader header, read_percent_header(stream, false));
  if (header.dat_version.value_or(2) >= 2) {
    // The event type and the record size, one byte each.
    OVK_ASSIGN_OR_RETURN(const std::span<const std::uint8_t> bytes, stream.fill(2));
    if (bytes.size() < 2) return truncated_error("DAT header", bytes.size());
    if (bytes[1] != 8) {
      return Error(ErrorKind::kInvalidData,
                   "DAT records of " + std::to_string(bytes[1]) + " bytes; only 8 (Event2D) are read");
    }
    stream.consume(2);
  }
  auto source = std::make_unique<DatSource>(std::move(stream));
  source->set_declared_sensor(header_sensor(header));
  return SourcePtr(std::move(source));
}

std::optional<EvtVersion> evt_version_of(std::span<const std::uint8_t> head) noexcept {
  PercentHeader header;
  std::size_t pos = 0;
  while (pos < head.size() && head[pos] == '%') {
    std::size_t end = pos;
    while (end < head.size() && head[end] != '\n') ++end;
    const std::string_view line(reinterpret_cast<const char*>(head.data()) + pos, end - pos);
    if (lowered(strip(line.substr(1))) == "end") break;
    try {
      read_header_line(line, header);
    } catch (...) {
      return std::nullopt;
    }
    pos = end + 1;
  }
  return header.version;
}

bool looks_like_dat(std::span<const std::uint8_t> head) noexcept {
  const std::string_view text(reinterpret_cast<const char*>(head.data()), head.size());
  return text.starts_with("% ") && (text.find("Event2D") != std::string_view::npos ||
                                    text.find("Event2d") != std::string_view::npos ||
                                    text.find("% Version") != std::string_view::npos);
}

std::optional<SensorGeometry> sensor_of_camera(std::string_view name) noexcept {
  struct Camera {
    const char* key;
    SensorGeometry size;
  };
  // Longest keys first: "gen41" before "gen4", "gen31" before "gen3".
  static constexpr Camera kCameras[] = {
      {"genx320", {320, 320}}, {"imx636", {1280, 720}}, {"imx646", {1280, 720}},
      {"gen41", {1280, 720}},  {"gen4", {1280, 720}},   {"gen31", {640, 480}},
      {"gen3", {640, 480}},    {"atis", {304, 240}},
  };
  std::string lower;
  try {
    lower = lowered(name);
  } catch (...) {
    return std::nullopt;
  }
  for (const Camera& camera : kCameras) {
    if (lower.find(camera.key) != std::string::npos) return camera.size;
  }
  return std::nullopt;
}

}  // namespace ovk::io
