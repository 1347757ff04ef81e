// Owning references to Python objects, the once-only cells that hold the
// module's process-wide objects, and constructors for the Python objects whose
// creation can fail only when the interpreter runs out of memory.
//
// Everything here must be used with the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

namespace ovk::python {

// Owns one strong reference (or none). Move-only.
class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef moved(std::move(other));
    std::swap(object_, moved.object_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  // Takes over a reference the caller owns (a "new reference" result).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// A process-wide cell that goes from empty to filled once and then keeps its
// object for the rest of the process.
class OnceCell {
 public:
  // The stored object (borrowed), or null while the cell is empty.
  PyObject* get() const noexcept { return object_.load(std::memory_order_acquire); }

  // Stores `candidate` if the cell is still empty; otherwise drops it. Returns
  // the object held by the cell afterwards (borrowed; the cell keeps it alive).
  PyObject* fill(PyRef candidate) noexcept {
    PyObject* expected = nullptr;
    if (object_.compare_exchange_strong(expected, candidate.get(), std::memory_order_acq_rel)) {
      return candidate.release();
    }
    return expected;
  }

 private:
  std::atomic<PyObject*> object_{nullptr};
};

// Wraps the result of an interpreter call that fails only on exhausted
// interpreter memory. On null, prints the pending exception and raises the
// internal fault "Python API call failed".
PyRef checked(PyObject* object);

PyRef new_int(long value);
PyRef new_u64(std::uint64_t value);
PyRef new_float(double value);
PyRef new_bytes(std::span<const std::uint8_t> bytes);
// A str from UTF-8 text. Encoded surrogates (from text that came out of
// Python) pass through; other invalid bytes become U+FFFD.
PyRef new_str(std::string_view utf8);
PyRef new_list(Py_ssize_t size);
PyRef new_tuple(Py_ssize_t size);
// An interned str, made once per cell and kept for the process.
PyObject* interned(OnceCell& cell, const char* text);

}  // namespace ovk::python
