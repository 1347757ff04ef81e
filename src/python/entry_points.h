// The module's seven functions, in the fast-call-with-keywords convention.
// Each binds and converts its arguments, calls the core, converts the result
// and raises any failure; none lets a C++ exception escape.
#pragma once

#include "python/py_ref.h"

namespace ovk::python {

using FastEntry = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;

PyObject* compress_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* compress_sequence_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* load_nmnist_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* load_aedat2_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* load_csv_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* load_events_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* event_stats_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

}  // namespace ovk::python
