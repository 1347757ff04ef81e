#include "io/formats/h5_writer.h"

#include <limits>
#include <string>
#include <vector>

#include "io/formats/hdf5_support.h"

namespace ovk::io {
namespace {

// Events per chunk of the file: small enough that a short recording stays
// small (unfilled chunks are stored whole), large enough to read quickly.
constexpr hsize_t kChunk = hsize_t{1} << 14;
// Events buffered per column between writes.
constexpr std::size_t kWriteBatch = std::size_t{1} << 16;

Error write_error(const std::string& what) {
  Error e = hdf5_error("cannot write the HDF5 file (" + what + ")");
  return Error(ErrorKind::kOsError, e.message());
}

// A growing 1-D chunked dataset fed from a buffer of one chunk.
template <class T>
class GrowingColumn {
 public:
  Status create(hid_t parent, const char* name, hid_t file_type, hid_t memory_type) {
    const hsize_t zero = 0;
    const hsize_t unlimited = H5S_UNLIMITED;
    H5Handle space(H5Screate_simple(1, &zero, &unlimited), H5Sclose);
    H5Handle plist(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    if (!space.valid() || !plist.valid() || H5Pset_chunk(plist.get(), 1, &kChunk) < 0) {
      return write_error(name);
    }
    dataset_ = H5Handle(H5Dcreate2(parent, name, file_type, space.get(), H5P_DEFAULT, plist.get(),
                                   H5P_DEFAULT),
                        H5Dclose);
    if (!dataset_.valid()) return write_error(name);
    name_ = name;
    memory_type_ = memory_type;
    return catching_out_of_memory([&]() -> Status {
      buffer_.reserve(kWriteBatch);
      return Ok{};
    });
  }

  Status push(T value) {
    buffer_.push_back(value);
    if (buffer_.size() == kWriteBatch) return flush();
    return Ok{};
  }

  Status flush() {
    if (buffer_.empty()) return Ok{};
    const hsize_t n = buffer_.size();
    const hsize_t grown = written_ + n;
    if (H5Dset_extent(dataset_.get(), &grown) < 0) return write_error(name_);
    H5Handle file_space(H5Dget_space(dataset_.get()), H5Sclose);
    H5Handle memory_space(H5Screate_simple(1, &n, nullptr), H5Sclose);
    if (!file_space.valid() || !memory_space.valid() ||
        H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, &written_, nullptr, &n, nullptr) < 0 ||
        H5Dwrite(dataset_.get(), memory_type_, memory_space.get(), file_space.get(), H5P_DEFAULT,
                 buffer_.data()) < 0) {
      return write_error(name_);
    }
    written_ = grown;
    buffer_.clear();
    return Ok{};
  }

  bool close() { return dataset_.reset(); }

 private:
  H5Handle dataset_;
  const char* name_ = "";
  hid_t memory_type_ = H5I_INVALID_HID;
  std::vector<T> buffer_;
  hsize_t written_ = 0;
};

Status write_int_attribute(hid_t object, const char* name, std::int64_t value) {
  H5Handle space(H5Screate(H5S_SCALAR), H5Sclose);
  H5Handle attribute(H5Acreate2(object, name, H5T_STD_I64LE, space.get(), H5P_DEFAULT, H5P_DEFAULT),
                     H5Aclose);
  if (!attribute.valid() || H5Awrite(attribute.get(), H5T_NATIVE_INT64, &value) < 0) {
    return write_error(name);
  }
  return Ok{};
}

}  // namespace

// /ms_to_idx holds an entry for every millisecond from the first event on,
// however few the events: a recording longer than 2^27 ms (37 hours, 1 GiB
// of index) is refused rather than written as gigabytes of index.
constexpr std::uint64_t kMostIndexEntries = std::uint64_t{1} << 27;

struct DsecH5Writer::State {
  H5Handle file;
  H5Handle events;
  GrowingColumn<std::uint16_t> x;
  GrowingColumn<std::uint16_t> y;
  GrowingColumn<std::uint8_t> p;
  GrowingColumn<std::int64_t> t;
  GrowingColumn<std::uint64_t> ms_to_idx;
  std::uint64_t count = 0;
  std::uint64_t t_offset = 0;
  std::uint64_t next_ms = 0;  // first millisecond without its ms_to_idx entry
  bool finished = false;
  bool failed = false;

  Status add(const Event64& e) {
    if (count == 0) t_offset = e.t;
    const auto relative = static_cast<std::int64_t>(e.t - t_offset);
    if ((e.t >= t_offset) != (relative >= 0)) {
      return Error(ErrorKind::kInvalidData,
                   "event time " + std::to_string(e.t) + " is more than 2^63 µs from the first");
    }
    if (relative >= 0 && static_cast<std::uint64_t>(relative) / 1000 >= kMostIndexEntries) {
      return Error(ErrorKind::kInvalidInput,
                   "event time " + std::to_string(e.t) + " is " + std::to_string(relative / 1000000) +
                       " s after the first: the DSEC index /ms_to_idx would need more than " +
                       std::to_string(kMostIndexEntries) +
                       " entries; write .npy or pick a part with --time-window");
    }
    // Every millisecond up to this event's begins at this event.
    while (relative >= 0 && static_cast<std::uint64_t>(relative) / 1000 >= next_ms) {
      OVK_RETURN_IF_ERROR(ms_to_idx.push(count));
      ++next_ms;
    }
    OVK_RETURN_IF_ERROR(x.push(e.x));
    OVK_RETURN_IF_ERROR(y.push(e.y));
    OVK_RETURN_IF_ERROR(p.push(e.p));
    OVK_RETURN_IF_ERROR(t.push(relative));
    ++count;
    return Ok{};
  }
};

DsecH5Writer::DsecH5Writer(std::unique_ptr<State> state) : state_(std::move(state)) {}
DsecH5Writer::DsecH5Writer(DsecH5Writer&&) noexcept = default;
DsecH5Writer& DsecH5Writer::operator=(DsecH5Writer&&) noexcept = default;
DsecH5Writer::~DsecH5Writer() = default;

Result<DsecH5Writer> DsecH5Writer::create(std::string_view path, SensorGeometry sensor) {
  silence_hdf5_errors();
  if (path.find('\0') != std::string_view::npos) {
    return Error(ErrorKind::kInvalidInput, "file name contained an unexpected NUL byte");
  }
  auto state = std::make_unique<State>();
  const std::string name(path);
  state->file = H5Handle(H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose);
  if (!state->file.valid()) {
    Error e = hdf5_error("cannot create the HDF5 file");
    return Error(ErrorKind::kOsError, e.message());
  }
  state->events = H5Handle(
      H5Gcreate2(state->file.get(), "events", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose);
  if (!state->events.valid()) return write_error("events");
  const hid_t events = state->events.get();
  OVK_RETURN_IF_ERROR(state->x.create(events, "x", H5T_STD_U16LE, H5T_NATIVE_UINT16));
  OVK_RETURN_IF_ERROR(state->y.create(events, "y", H5T_STD_U16LE, H5T_NATIVE_UINT16));
  OVK_RETURN_IF_ERROR(state->p.create(events, "p", H5T_STD_U8LE, H5T_NATIVE_UINT8));
  OVK_RETURN_IF_ERROR(state->t.create(events, "t", H5T_STD_I64LE, H5T_NATIVE_INT64));
  OVK_RETURN_IF_ERROR(state->ms_to_idx.create(state->file.get(), "ms_to_idx", H5T_STD_U64LE,
                                              H5T_NATIVE_UINT64));
  if (sensor.width != 0 && sensor.height != 0) {  // 0x0: unknown, left to the data
    OVK_RETURN_IF_ERROR(write_int_attribute(state->file.get(), "width", sensor.width));
    OVK_RETURN_IF_ERROR(write_int_attribute(state->file.get(), "height", sensor.height));
  }
  return DsecH5Writer(std::move(state));
}

Status DsecH5Writer::append(Event64Span events) {
  if (!state_ || state_->finished || state_->failed) {
    return Error(ErrorKind::kInvalidInput, "the HDF5 writer is finished or has failed");
  }
  for (const Event64& e : events) {
    Status status = state_->add(e);
    if (!status.ok()) {
      state_->failed = true;
      return status;
    }
  }
  return Ok{};
}

Status DsecH5Writer::finish() {
  if (!state_ || state_->finished || state_->failed) {
    return Error(ErrorKind::kInvalidInput, "the HDF5 writer is finished or has failed");
  }
  State& s = *state_;
  s.finished = true;
  OVK_RETURN_IF_ERROR(s.x.flush());
  OVK_RETURN_IF_ERROR(s.y.flush());
  OVK_RETURN_IF_ERROR(s.p.flush());
  OVK_RETURN_IF_ERROR(s.t.flush());
  OVK_RETURN_IF_ERROR(s.ms_to_idx.flush());
  {
    const std::int64_t offset = static_cast<std::int64_t>(s.t_offset);
    if (s.t_offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return Error(ErrorKind::kInvalidData, "first event time does not fit t_offset (i64)");
    }
    H5Handle space(H5Screate(H5S_SCALAR), H5Sclose);
    H5Handle dataset(H5Dcreate2(s.file.get(), "t_offset", H5T_STD_I64LE, space.get(), H5P_DEFAULT,
                                H5P_DEFAULT, H5P_DEFAULT),
                     H5Dclose);
    if (!dataset.valid() ||
        H5Dwrite(dataset.get(), H5T_NATIVE_INT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, &offset) < 0) {
      return write_error("t_offset");
    }
  }
  bool closed = s.x.close() & s.y.close() & s.p.close() & s.t.close() & s.ms_to_idx.close() &
                s.events.reset();
  closed = s.file.reset() && closed;
  if (!closed) return write_error("closing");
  return Ok{};
}

}  // namespace ovk::io
