// The failure value of the Python layer, and the boundary that turns a failure
// (value or C++ exception) into exactly one raised Python exception.
//
// Failures travel as ModuleError values up to an entry point; only the
// boundary touches the interpreter's error state. Internal faults travel as
// ovk::Fault exceptions and are caught at the same boundary.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "codec/result.h"
#include "python/py_ref.h"

namespace ovk::python {

class ModuleError {
 public:
  // `type` is borrowed; the error holds its own reference.
  static ModuleError with_message(PyObject* type, std::string message);
  // TypeError "'<qualname>' object cannot be converted to '<target>'".
  static ModuleError conversion(PyObject* object, std::string_view target);
  // An exception instance that is already made.
  static ModuleError from_exception(PyRef value);
  // Takes the pending interpreter exception. With none pending this is
  // SystemError "attempted to fetch exception but none was set". A pending
  // InternalFault resumes as an internal fault (throws ovk::Fault).
  static ModuleError fetch();

  // The exception type (borrowed).
  PyObject* type() const noexcept { return type_.get(); }
  // Makes (or takes) the exception instance, normalised.
  PyRef into_exception() &&;
  // Sets this error as the interpreter's pending exception.
  void raise() &&;

 private:
  struct Message {
    std::string text;
  };
  struct Conversion {
    PyRef object;
    std::string target;
  };
  struct Fetched {
    PyRef value;
    PyRef traceback;
  };

  ModuleError(PyRef type, std::variant<Message, Conversion, Fetched> payload)
      : type_(std::move(type)), payload_(std::move(payload)) {}
  PyRef message_object() const;

  PyRef type_;
  std::variant<Message, Conversion, Fetched> payload_;
};

// Value or ModuleError.
template <class T>
using Outcome = Result<T, ModuleError>;

struct Done {};
inline constexpr Done kDone{};

#define OVK_PY_RETURN_IF_ERROR(expr)                                  \
  do {                                                                \
    auto ovk_py_status = (expr);                                      \
    if (!ovk_py_status.ok()) return std::move(ovk_py_status).error(); \
  } while (false)

// `str(object)` as UTF-8. A failing str() is reported as unraisable and
// replaced by "<unprintable TYPE object>".
std::string str_or_unprintable(PyObject* object);
// The UTF-8 form of a str, with surrogates kept (encoded as "surrogatepass").
std::string utf8_of(PyObject* text);

// The InternalFault class (borrowed), created on first use; null with the
// creation error pending if it cannot be made.
PyObject* internal_fault_type() noexcept;

// Maps the C++ exception being handled to a Python exception. Call only from
// inside a catch block.
void raise_active_exception() noexcept;

// Runs `body` (returning Outcome<PyRef>) and hands its object to the
// interpreter, or raises its failure and returns null. No C++ exception leaves.
template <class Body>
PyObject* guarded_call(Body&& body) noexcept {
  try {
    Outcome<PyRef> result = body();
    if (result.ok()) return std::move(result).value().release();
    std::move(result).error().raise();
  } catch (...) {
    raise_active_exception();
  }
  return nullptr;
}

// As guarded_call for bodies returning Outcome<Done>: 0 on success, -1 with an
// exception raised on failure.
template <class Body>
int guarded_status(Body&& body) noexcept {
  try {
    Outcome<Done> result = body();
    if (result.ok()) return 0;
    std::move(result).error().raise();
  } catch (...) {
    raise_active_exception();
  }
  return -1;
}

// The class object made from `spec`, created on first need and kept in
// `cell` for the rest of the process; the creation error otherwise.
Outcome<PyObject*> type_from_spec_once(OnceCell& cell, PyType_Spec& spec);

}  // namespace ovk::python
