// Binding of a call's positional and keyword arguments to parameter slots,
// with the interpreter's wording for every binding error.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "python/module_error.h"

namespace ovk::python {

// The static parameter description of one callable.
struct ArgSpec {
  std::string_view class_name = {};  // empty for module functions
  std::string_view function_name = {};
  std::span<const std::string_view> positional = {};  // positional-or-keyword, in order
  std::size_t required_positional = 0;                // leading parameters that must be given

  // "Class.function()" or "function()".
  std::string full_name() const;
  // One slot per parameter.
  std::size_t slot_count() const noexcept { return positional.size(); }
};

// Fast-call form: `args` holds `nargs` positional values followed by one value
// per name in `kwnames` (a tuple of str, or null). `slots` must have
// params.slot_count() entries, all null; filled slots borrow the caller's values.
Outcome<Done> bind_fastcall(const ArgSpec& params, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, std::span<PyObject*> slots);

// Tuple-and-dict form (tp_new): keywords come in the dict's iteration order.
Outcome<Done> bind_tuple_dict(const ArgSpec& params, PyObject* args, PyObject* kwargs,
                              std::span<PyObject*> slots);

}  // namespace ovk::python
