// Conversion of bound arguments to native values. Every conversion takes the
// parameter's name and folds it into TypeErrors (wrap_with_arg_name).
#pragma once

#include <cstdint>
#include <string_view>

#include "codec/event.h"
#include "python/module_error.h"

namespace ovk::python {

// int, int subclass or __index__ object, range-checked; never clipped.
Outcome<std::uint8_t> to_u8(PyObject* object, std::string_view name);
Outcome<std::uint16_t> to_u16(PyObject* object, std::string_view name);
Outcome<std::uint32_t> to_u32(PyObject* object, std::string_view name);
// int taken directly, anything else through __index__.
Outcome<std::uint64_t> to_u64(PyObject* object, std::string_view name);
// The UTF-8 form of a str (or subclass); valid while `object` lives.
Outcome<std::string_view> to_text(PyObject* object, std::string_view name);
// A snapshot of a sequence of Event objects (never a str), in iteration order.
Outcome<EventVec> to_events(PyObject* object);

// An exact TypeError becomes TypeError "argument '<name>': <message>", keeping
// the original's __cause__ and suppressing its context; any other error is
// returned unchanged.
ModuleError wrap_with_arg_name(std::string_view name, ModuleError error);

}  // namespace ovk::python
