#include "io/formats/hdf5_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "io/file_access.h"
#include "io/formats/hdf5_support.h"

namespace ovk::io {
namespace {

Error invalid(std::string message) { return Error(ErrorKind::kInvalidData, std::move(message)); }

constexpr std::array<unsigned char, 8> kSignature = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};

// Chunk cache per column: at least one whole chunk, so that reading a chunk
// a block at a time decompresses it once; never more than this.
constexpr std::size_t kMaxChunkCacheBytes = std::size_t{64} << 20;

// Names of the filters DSEC-like files are known to use, for the message
// when one is missing and the file does not name it.
std::string known_filter_name(H5Z_filter_t id) {
  switch (id) {
    case 32001: return "blosc";
    case 32004: return "lz4";
    case 32008: return "bitshuffle";
    case 32013: return "zfp";
    case 32015: return "zstd";
    case 32017: return "sz";
    case 307: return "bzip2";
    default: return "";
  }
}

// An integer column: its dataset, its type in memory, and one block of it.
struct Column {
  const char* name;
  H5Handle dataset;
  H5Handle memory_type;
  std::size_t value_size = 0;
  bool is_signed = false;
  std::vector<std::uint8_t> raw;  // one block as stored
};

constexpr std::int64_t kInvalid = std::numeric_limits<std::int64_t>::min();

// Value `i` of a block as int64; kInvalid for a u64 past the int64 range.
template <class T>
std::int64_t value_at(const std::uint8_t* raw, std::size_t i) {
  T v;
  std::memcpy(&v, raw + i * sizeof(T), sizeof(T));
  if constexpr (std::is_same_v<T, std::uint64_t>) {
    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return kInvalid;
  }
  return static_cast<std::int64_t>(v);
}

enum class Field { kX, kY, kP, kT };

// Stores values 0..n of a block into field F of `out`. Coordinates and
// polarity must lie in [0, limit); times become t_offset + t, which must lie
// in [0, 2^63). Returns false when any value does not (the caller then finds
// the first one); the loop has no early exit, so it vectorises.
template <class T, Field F>
bool store_field(const std::uint8_t* raw, std::size_t n, Event64* out, std::int64_t limit,
                 std::int64_t offset) {
  bool ok = true;
  for (std::size_t i = 0; i < n; ++i) {
    T v;
    std::memcpy(&v, raw + i * sizeof(T), sizeof(T));
    if constexpr (F == Field::kT) {
      const std::int64_t value = value_at<T>(raw, i);
      std::int64_t t = 0;
      ok &= value != kInvalid && !__builtin_add_overflow(value, offset, &t) && t >= 0;
      out[i].t = static_cast<std::uint64_t>(t);
    } else {
      if constexpr (std::is_signed_v<T>) ok &= v >= 0;
      if constexpr (std::is_signed_v<T>) {
        ok &= static_cast<std::int64_t>(v) < limit;
      } else {
        ok &= static_cast<std::uint64_t>(v) < static_cast<std::uint64_t>(limit);
      }
      if constexpr (F == Field::kX) out[i].x = static_cast<std::uint16_t>(v);
      if constexpr (F == Field::kY) out[i].y = static_cast<std::uint16_t>(v);
      if constexpr (F == Field::kP) out[i].p = static_cast<std::uint8_t>(v);
    }
  }
  return ok;
}

// The column's stored type chooses the instantiation.
template <Field F>
bool store_column(const Column& c, std::size_t first, std::size_t n, Event64* out,
                  std::int64_t limit, std::int64_t offset) {
  const std::uint8_t* raw = c.raw.data() + first * c.value_size;
  switch (c.value_size * 2 + (c.is_signed ? 1 : 0)) {
    case 2: return store_field<std::uint8_t, F>(raw, n, out, limit, offset);
    case 3: return store_field<std::int8_t, F>(raw, n, out, limit, offset);
    case 4: return store_field<std::uint16_t, F>(raw, n, out, limit, offset);
    case 5: return store_field<std::int16_t, F>(raw, n, out, limit, offset);
    case 8: return store_field<std::uint32_t, F>(raw, n, out, limit, offset);
    case 9: return store_field<std::int32_t, F>(raw, n, out, limit, offset);
    case 16: return store_field<std::uint64_t, F>(raw, n, out, limit, offset);
    default: return store_field<std::int64_t, F>(raw, n, out, limit, offset);
  }
}

std::int64_t column_value(const Column& c, std::size_t i) {
  const std::uint8_t* raw = c.raw.data();
  switch (c.value_size * 2 + (c.is_signed ? 1 : 0)) {
    case 2: return value_at<std::uint8_t>(raw, i);
    case 3: return value_at<std::int8_t>(raw, i);
    case 4: return value_at<std::uint16_t>(raw, i);
    case 5: return value_at<std::int16_t>(raw, i);
    case 8: return value_at<std::uint32_t>(raw, i);
    case 9: return value_at<std::int32_t>(raw, i);
    case 16: return value_at<std::uint64_t>(raw, i);
    default: return value_at<std::int64_t>(raw, i);
  }
}

Status check_filters(hid_t dataset, const std::string& path) {
  H5Handle plist(H5Dget_create_plist(dataset), H5Pclose);
  if (!plist.valid()) return hdf5_error("cannot read the storage of " + path);
  const int count = H5Pget_nfilters(plist.get());
  for (int i = 0; i < count; ++i) {
    unsigned flags = 0;
    unsigned config = 0;
    std::size_t values = 0;
    std::array<char, 64> name{};
    const H5Z_filter_t id = H5Pget_filter2(plist.get(), static_cast<unsigned>(i), &flags, &values,
                                           nullptr, name.size(), name.data(), &config);
    if (id < 0) return hdf5_error("cannot read the filters of " + path);
    if (H5Zfilter_avail(id) > 0) continue;
    H5Eclear2(H5E_DEFAULT);
    std::string label(name.data(), strnlen(name.data(), name.size()));
    if (label.empty()) label = known_filter_name(id);
    return invalid("HDF5 dataset " + path + " needs filter " + std::to_string(id) +
                   (label.empty() ? "" : " (" + label + ")") +
                   ", which this libhdf5 cannot load (a plugin for it in HDF5_PLUGIN_PATH "
                   "would provide it)");
  }
  return Ok{};
}

Result<Column> open_column(hid_t file, const char* name, std::size_t block) {
  const std::string path = std::string("/events/") + name;
  if (H5Lexists(file, "/events", H5P_DEFAULT) <= 0 || H5Lexists(file, path.c_str(), H5P_DEFAULT) <= 0) {
    H5Eclear2(H5E_DEFAULT);
    return invalid("HDF5 file has no dataset " + path + " (the DSEC layout: /events/x, y, p, t)");
  }
  Column column{name, {}, {}, 0, false, {}};
  H5Handle access(H5Pcreate(H5P_DATASET_ACCESS), H5Pclose);
  column.dataset = H5Handle(H5Dopen2(file, path.c_str(), H5P_DEFAULT), H5Dclose);
  if (!column.dataset.valid()) return hdf5_error("cannot open " + path);
  OVK_RETURN_IF_ERROR(check_filters(column.dataset.get(), path));

  H5Handle type(H5Dget_type(column.dataset.get()), H5Tclose);
  if (!type.valid() || H5Tget_class(type.get()) != H5T_INTEGER) {
    H5Eclear2(H5E_DEFAULT);
    return invalid("HDF5 dataset " + path + " does not hold integers");
  }
  column.memory_type = H5Handle(H5Tget_native_type(type.get(), H5T_DIR_ASCEND), H5Tclose);
  if (!column.memory_type.valid()) return hdf5_error("cannot map the type of " + path);
  column.value_size = H5Tget_size(column.memory_type.get());
  column.is_signed = H5Tget_sign(column.memory_type.get()) == H5T_SGN_2;
  if (column.value_size != 1 && column.value_size != 2 && column.value_size != 4 &&
      column.value_size != 8) {
    return invalid("HDF5 dataset " + path + " holds " + std::to_string(column.value_size) +
                   "-byte integers");
  }

  // Keep a whole chunk in the cache, so that block reads within it decode it once.
  H5Handle plist(H5Dget_create_plist(column.dataset.get()), H5Pclose);
  if (plist.valid() && H5Pget_layout(plist.get()) == H5D_CHUNKED) {
    hsize_t chunk = 0;
    if (H5Pget_chunk(plist.get(), 1, &chunk) == 1) {
      const std::size_t bytes = std::min<std::size_t>(
          kMaxChunkCacheBytes, static_cast<std::size_t>(chunk) * column.value_size + (1u << 20));
      H5Pset_chunk_cache(access.get(), 521, bytes, 1.0);
      column.dataset = H5Handle(H5Dopen2(file, path.c_str(), access.get()), H5Dclose);
      if (!column.dataset.valid()) return hdf5_error("cannot open " + path);
    }
  }
  H5Eclear2(H5E_DEFAULT);
  OVK_RETURN_IF_ERROR(catching_out_of_memory([&]() -> Status {
    column.raw.resize(block * column.value_size);
    return Ok{};
  }));
  return column;
}

// Elements of a 1-D dataset, or an error naming it.
Result<std::uint64_t> length_of(const Column& column) {
  H5Handle space(H5Dget_space(column.dataset.get()), H5Sclose);
  if (!space.valid()) return hdf5_error(std::string("cannot read the shape of /events/") + column.name);
  if (H5Sget_simple_extent_ndims(space.get()) != 1) {
    return invalid(std::string("HDF5 dataset /events/") + column.name + " is not one-dimensional");
  }
  hsize_t n = 0;
  H5Sget_simple_extent_dims(space.get(), &n, nullptr);
  return static_cast<std::uint64_t>(n);
}

// The integer value of a scalar or one-element dataset, if present.
Result<std::optional<std::int64_t>> read_scalar(hid_t file, const char* path) {
  if (H5Lexists(file, path, H5P_DEFAULT) <= 0) {
    H5Eclear2(H5E_DEFAULT);
    return std::optional<std::int64_t>();
  }
  H5Handle dataset(H5Dopen2(file, path, H5P_DEFAULT), H5Dclose);
  if (!dataset.valid()) return hdf5_error(std::string("cannot open ") + path);
  H5Handle type(H5Dget_type(dataset.get()), H5Tclose);
  H5Handle space(H5Dget_space(dataset.get()), H5Sclose);
  if (!type.valid() || !space.valid() || H5Tget_class(type.get()) != H5T_INTEGER ||
      H5Sget_simple_extent_npoints(space.get()) != 1) {
    H5Eclear2(H5E_DEFAULT);
    return invalid(std::string("HDF5 dataset ") + path + " is not a single integer");
  }
  std::int64_t value = 0;
  if (H5Dread(dataset.get(), H5T_NATIVE_INT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, &value) < 0) {
    return hdf5_error(std::string("cannot read ") + path);
  }
  return std::optional<std::int64_t>(value);
}

// An integer attribute `name` of `object`, if present.
Result<std::optional<std::int64_t>> read_attribute(hid_t object, const char* name) {
  if (H5Aexists(object, name) <= 0) {
    H5Eclear2(H5E_DEFAULT);
    return std::optional<std::int64_t>();
  }
  H5Handle attribute(H5Aopen(object, name, H5P_DEFAULT), H5Aclose);
  H5Handle type(attribute.valid() ? H5Aget_type(attribute.get()) : H5I_INVALID_HID, H5Tclose);
  H5Handle space(attribute.valid() ? H5Aget_space(attribute.get()) : H5I_INVALID_HID, H5Sclose);
  std::int64_t value = 0;
  if (!type.valid() || !space.valid() || H5Tget_class(type.get()) != H5T_INTEGER ||
      H5Sget_simple_extent_npoints(space.get()) != 1 ||
      H5Aread(attribute.get(), H5T_NATIVE_INT64, &value) < 0) {
    H5Eclear2(H5E_DEFAULT);
    return invalid(std::string("HDF5 attribute ") + name + " is not a single integer");
  }
  return std::optional<std::int64_t>(value);
}

// width/height attributes of the root group, else of /events.
Result<std::optional<SensorGeometry>> declared_geometry(hid_t file) {
  for (const char* group_path : {"/", "/events"}) {
    H5Handle group(H5Gopen2(file, group_path, H5P_DEFAULT), H5Gclose);
    if (!group.valid()) {
      H5Eclear2(H5E_DEFAULT);
      continue;
    }
    OVK_ASSIGN_OR_RETURN(const auto width, read_attribute(group.get(), "width"));
    OVK_ASSIGN_OR_RETURN(const auto height, read_attribute(group.get(), "height"));
    if (!width || !height) continue;
    if (*width < 1 || *width > 65535 || *height < 1 || *height > 65535) {
      return invalid("HDF5 attributes give a " + std::to_string(*width) + "x" +
                     std::to_string(*height) + " sensor");
    }
    return std::optional<SensorGeometry>(
        SensorGeometry{static_cast<std::uint16_t>(*width), static_cast<std::uint16_t>(*height)});
  }
  return std::optional<SensorGeometry>();
}

class Hdf5Source final : public SpentAfterError {
 public:
  static Result<std::unique_ptr<EventSource>> open(std::string_view path) {
    silence_hdf5_errors();
    if (path.find('\0') != std::string_view::npos) {
      return Error(ErrorKind::kInvalidInput, "file name contained an unexpected NUL byte");
    }
    const std::string name(path);
    auto source = std::unique_ptr<Hdf5Source>(new Hdf5Source());
    OVK_RETURN_IF_ERROR(source->open_file(name));
    return std::unique_ptr<EventSource>(std::move(source));
  }

  std::optional<SensorGeometry> declared_sensor() const override { return sensor_; }

 private:
  Hdf5Source() : SpentAfterError("HDF5") {}

  Status open_file(const std::string& name) {
    // Open errors of the operating system come first and as such.
    OVK_RETURN_IF_ERROR(probe_signature(name));
    file_ = H5Handle(H5Fopen(name.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    if (!file_.valid()) return hdf5_error("cannot open the HDF5 file");
    const char* names[4] = {"x", "y", "p", "t"};
    for (int i = 0; i < 4; ++i) {
      OVK_ASSIGN_OR_RETURN(columns_[i], open_column(file_.get(), names[i], kSourceBlockEvents));
    }
    OVK_ASSIGN_OR_RETURN(length_, length_of(columns_[0]));
    for (int i = 1; i < 4; ++i) {
      OVK_ASSIGN_OR_RETURN(const std::uint64_t n, length_of(columns_[i]));
      if (n != length_) {
        return invalid(std::string("HDF5 dataset /events/") + names[i] + " holds " +
                       std::to_string(n) + " values but /events/x holds " + std::to_string(length_));
      }
    }
    OVK_ASSIGN_OR_RETURN(const auto offset, read_scalar(file_.get(), "/t_offset"));
    t_offset_ = offset.value_or(0);
    OVK_ASSIGN_OR_RETURN(sensor_, declared_geometry(file_.get()));
    return Ok{};
  }

  static Status probe_signature(const std::string& name) {
    OVK_ASSIGN_OR_RETURN(const FileHandle file, open_for_reading(name));
    std::array<std::uint8_t, 8> head{};
    std::size_t filled = 0;
    while (filled < head.size()) {
      OVK_ASSIGN_OR_RETURN(const std::size_t n, read_some(file, std::span(head).subspan(filled)));
      if (n == 0) break;
      filled += n;
    }
    if (!looks_like_hdf5(std::span(head).first(filled))) {
      return invalid("not an HDF5 file (no HDF5 signature at its start)");
    }
    return Ok{};
  }

  Status read_column(Column& column, std::size_t count) {
    H5Handle file_space(H5Dget_space(column.dataset.get()), H5Sclose);
    const hsize_t start = position_;
    const hsize_t n = count;
    H5Handle memory_space(H5Screate_simple(1, &n, nullptr), H5Sclose);
    if (!file_space.valid() || !memory_space.valid() ||
        H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, &start, nullptr, &n, nullptr) < 0 ||
        H5Dread(column.dataset.get(), column.memory_type.get(), memory_space.get(), file_space.get(),
                H5P_DEFAULT, column.raw.data()) < 0) {
      return hdf5_error(std::string("cannot read /events/") + column.name + " at event " +
                        std::to_string(position_));
    }
    return Ok{};
  }

  Status fill_block(Event64Vec& block) override {
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(kSourceBlockEvents, length_ - position_));
    if (count == 0) {
      block.clear();
      return Ok{};
    }
    for (Column& column : columns_) OVK_RETURN_IF_ERROR(read_column(column, count));
    // Every field of every event is written below, so a block of the
    // previous call's size is reused as it is.
    OVK_RETURN_IF_ERROR(catching_out_of_memory([&]() -> Status {
      block.resize(count);
      return Ok{};
    }));
    const std::int64_t width = sensor_ ? sensor_->width : 65536;
    const std::int64_t height = sensor_ ? sensor_->height : 65536;
    // The four columns go into the events a slice at a time, so that the
    // slice's events stay in cache between the columns.
    constexpr std::size_t kSlice = 2048;
    bool ok = true;
    for (std::size_t first = 0; first < count; first += kSlice) {
      const std::size_t n = std::min(kSlice, count - first);
      Event64* out = block.data() + first;
      ok &= store_column<Field::kX>(columns_[0], first, n, out, width, 0);
      ok &= store_column<Field::kY>(columns_[1], first, n, out, height, 0);
      ok &= store_column<Field::kP>(columns_[2], first, n, out, 256, 0);
      ok &= store_column<Field::kT>(columns_[3], first, n, out, 0, t_offset_);
    }
    if (!ok) [[unlikely]] return first_bad_event(count, width, height);
    position_ += count;
    return Ok{};
  }

  Error first_bad_event(std::size_t count, std::int64_t width, std::int64_t height) const {
    for (std::size_t i = 0; i < count; ++i) {
      const std::int64_t x = column_value(columns_[0], i);
      const std::int64_t y = column_value(columns_[1], i);
      const std::int64_t p = column_value(columns_[2], i);
      const std::int64_t t = column_value(columns_[3], i);
      std::int64_t sum = 0;
      const bool t_bad = t == kInvalid || __builtin_add_overflow(t, t_offset_, &sum) || sum < 0;
      if (t_bad || x < 0 || x >= width || y < 0 || y >= height || p < 0 || p > 255) {
        return bad_event(i, x, y, p, t, width, height);
      }
    }
    return invalid("HDF5 block with a bad event that could not be found again");
  }

  Error bad_event(std::size_t i, std::int64_t x, std::int64_t y, std::int64_t p, std::int64_t t,
                  std::int64_t width, std::int64_t height) const {
    const std::string at = "HDF5 event " + std::to_string(position_ + i) + ": ";
    if (x < 0 || x >= width || y < 0 || y >= height) {
      return invalid(at + "(x " + std::to_string(x) + ", y " + std::to_string(y) +
                     ") is outside the " +
                     (sensor_ ? std::to_string(width) + "x" + std::to_string(height) + " sensor"
                              : std::string("16-bit range")));
    }
    if (p < 0 || p > 255) return invalid(at + "polarity " + std::to_string(p) + " is not 0..255");
    return invalid(at + "t " + (t == kInvalid ? std::string("past 2^63") : std::to_string(t)) +
                   " with t_offset " + std::to_string(t_offset_) +
                   " is not a time from 0 to 2^63 µs");
  }

  H5Handle file_;
  std::array<Column, 4> columns_{};
  std::uint64_t length_ = 0;
  std::uint64_t position_ = 0;
  std::int64_t t_offset_ = 0;
  std::optional<SensorGeometry> sensor_;
};

}  // namespace

bool looks_like_hdf5(std::span<const std::uint8_t> head) {
  return head.size() >= kSignature.size() &&
         std::memcmp(head.data(), kSignature.data(), kSignature.size()) == 0;
}

Result<std::unique_ptr<EventSource>> open_hdf5(std::string_view path) {
  return Hdf5Source::open(path);
}

}  // namespace ovk::io
