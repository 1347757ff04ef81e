// The Python class CompressionResult: an immutable copy of one
// CompressionRecord with read-only fields and two derived figures.
#pragma once

#include "codec/compress.h"
#include "python/module_error.h"

namespace ovk::python {

// The CompressionResult class (borrowed), created on first need; the creation
// error as a value if it cannot be made.
Outcome<PyObject*> get_result_type();
// A new instance holding a copy of `record`; the interpreter's pending
// exception (normally MemoryError) if it cannot be allocated.
Outcome<PyRef> make_compression_result(const CompressionRecord& record);

}  // namespace ovk::python
