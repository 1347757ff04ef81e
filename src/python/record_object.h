// The instance layout and life cycle shared by the Event and CompressionResult
// classes: a plain record guarded by an access word, allocated through the
// class's allocation slot and freed through its free slot.
#pragma once

#include "python/access_word.h"
#include "python/module_error.h"

namespace ovk::python {

template <class Record>
struct RecordObject {
  PyObject ob_base;
  Record record;
  AccessWord access;
};

template <class Record>
RecordObject<Record>* as_record_object(PyObject* object) noexcept {
  return reinterpret_cast<RecordObject<Record>*>(object);
}

// A new instance of `type` holding a copy of `record`, free of holders; the
// interpreter's pending exception (normally MemoryError) if it cannot be made.
template <class Record>
Outcome<PyRef> new_record_object(PyTypeObject* type, const Record& record) {
  const allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyRef object = PyRef::steal(alloc(type, 0));
  if (!object) return ModuleError::fetch();
  RecordObject<Record>* instance = as_record_object<Record>(object.get());
  instance->record = record;
  instance->access.state = 0;
  return object;
}

// The deallocation slot of a heap class whose instances hold no references.
inline void record_object_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// A copy of the instance's record taken under shared access, or RuntimeError
// "Already mutably borrowed" while a writer holds it.
template <class Record>
Outcome<Record> snapshot_record(PyObject* self) {
  RecordObject<Record>* instance = as_record_object<Record>(self);
  std::optional<Record> record = read_shared(instance->access, instance->record);
  if (!record) return ModuleError::with_message(PyExc_RuntimeError, "Already mutably borrowed");
  return *record;
}

}  // namespace ovk::python
