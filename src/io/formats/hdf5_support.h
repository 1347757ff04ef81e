// What the HDF5 reader and writer share: owned identifiers, the library's
// error stack turned into one line, and its own printing of errors silenced.
#pragma once

#include <hdf5.h>

#include <string>
#include <utility>

#include "codec/result.h"

namespace ovk::io {

// An HDF5 identifier closed by the matching H5*close when destroyed.
class H5Handle {
 public:
  using Closer = herr_t (*)(hid_t);

  H5Handle() = default;
  H5Handle(hid_t id, Closer close) : id_(id), close_(close) {}
  H5Handle(H5Handle&& other) noexcept
      : id_(std::exchange(other.id_, H5I_INVALID_HID)), close_(other.close_) {}
  H5Handle& operator=(H5Handle&& other) noexcept {
    if (this != &other) {
      reset();
      id_ = std::exchange(other.id_, H5I_INVALID_HID);
      close_ = other.close_;
    }
    return *this;
  }
  H5Handle(const H5Handle&) = delete;
  H5Handle& operator=(const H5Handle&) = delete;
  ~H5Handle() { reset(); }

  hid_t get() const noexcept { return id_; }
  bool valid() const noexcept { return id_ >= 0; }
  // Closes now; returns false when the library reports a failure.
  bool reset() noexcept {
    bool ok = true;
    if (id_ >= 0 && close_ != nullptr) ok = close_(id_) >= 0;
    id_ = H5I_INVALID_HID;
    return ok;
  }

 private:
  hid_t id_ = H5I_INVALID_HID;
  Closer close_ = nullptr;
};

// Stops libhdf5 from printing its error stack on stderr (the tool reports
// one line of its own). Idempotent.
void silence_hdf5_errors();

// "`what`: <the innermost message on the library's error stack>", as an
// invalid-data error; the stack is then cleared.
Error hdf5_error(const std::string& what);

}  // namespace ovk::io
