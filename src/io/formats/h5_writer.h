// Writes events as an HDF5 file in the DSEC layout, block by block:
//
//   /events/x  u16    /events/y  u16    /events/p  u8
//   /events/t  i64    µs relative to /t_offset
//   /t_offset  i64    the first event's time (0 without events)
//   /ms_to_idx u64    ms_to_idx[m] = index of the first event with t >= 1000 m,
//                     for m from 0 to the last event's millisecond
//
// and the sensor size as integer attributes width and height of the root
// group. The event datasets are chunked and grow as events are appended, so
// memory stays bounded; h5py and the DSEC loaders read the result.
#pragma once

#include <memory>
#include <string_view>

#include "codec/event.h"
#include "codec/result.h"
#include "io/event_source.h"

namespace ovk::io {

class DsecH5Writer {
 public:
  // Creates (or truncates) the file at `path`.
  static Result<DsecH5Writer> create(std::string_view path, SensorGeometry sensor);

  // Appends events in order. A time before the first event's is kept (t is
  // signed); ms_to_idx then follows the largest time seen so far.
  [[nodiscard]] Status append(Event64Span events);

  // Writes what is buffered and t_offset, and closes the file. Required: a
  // writer destroyed unfinished leaves an incomplete file.
  [[nodiscard]] Status finish();

  DsecH5Writer(DsecH5Writer&&) noexcept;
  DsecH5Writer& operator=(DsecH5Writer&&) noexcept;
  ~DsecH5Writer();

 private:
  struct State;
  explicit DsecH5Writer(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace ovk::io
