#include "python/result_type.h"

#include <string>

#include "python/record_object.h"
#include "python/record_repr.h"

namespace ovk::python {
namespace {

OnceCell g_result_type;

// Reads never conflict: nothing takes exclusive access to a result.
Outcome<CompressionRecord> snapshot(PyObject* self) {
  return snapshot_record<CompressionRecord>(self);
}

PyObject* result_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) noexcept {
  return guarded_call([&]() -> Outcome<PyRef> {
    const PyRef name = PyRef::steal(PyType_GetName(type));
    if (!name) return ModuleError::fetch();
    return ModuleError::with_message(PyExc_TypeError,
                                     "No constructor defined for " + utf8_of(name.get()));
  });
}

PyObject* result_repr(PyObject* self) noexcept {
  return guarded_call([&]() -> Outcome<PyRef> {
    OVK_ASSIGN_OR_RETURN(const CompressionRecord record, snapshot(self));
    return new_str(format_record_repr(record));
  });
}

template <auto Field>
PyObject* get_counter(PyObject* self, void* /*closure*/) noexcept {
  return guarded_call([&]() -> Outcome<PyRef> {
    OVK_ASSIGN_OR_RETURN(const CompressionRecord record, snapshot(self));
    return new_u64(record.*Field);
  });
}

PyObject* get_sparsity(PyObject* self, void* /*closure*/) noexcept {
  return guarded_call([&]() -> Outcome<PyRef> {
    OVK_ASSIGN_OR_RETURN(const CompressionRecord record, snapshot(self));
    return new_float(record.sparsity);
  });
}

template <auto Derived>
PyObject* get_derived(PyObject* self, void* /*closure*/) noexcept {
  return guarded_call([&]() -> Outcome<PyRef> {
    OVK_ASSIGN_OR_RETURN(const CompressionRecord record, snapshot(self));
    return new_float((record.*Derived)());
  });
}

using R = CompressionRecord;

PyGetSetDef g_result_getset[] = {
    {"n_events", &get_counter<&R::n_events>, nullptr, nullptr, nullptr},
    {"raw_bytes", &get_counter<&R::raw_bytes>, nullptr, nullptr, nullptr},
    {"bitstream_bytes", &get_counter<&R::bitstream_bytes>, nullptr, nullptr, nullptr},
    {"n_bits", &get_counter<&R::n_bits>, nullptr, nullptr, nullptr},
    {"encode_us", &get_counter<&R::encode_us>, nullptr, nullptr, nullptr},
    {"decode_us", &get_counter<&R::decode_us>, nullptr, nullptr, nullptr},
    {"sparsity", &get_sparsity, nullptr, nullptr, nullptr},
    {"bits_per_event", &get_derived<&R::bits_per_event>, nullptr, nullptr, nullptr},
    {"compression_ratio", &get_derived<&R::compression_ratio>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&result_new)},
    {Py_tp_repr, reinterpret_cast<void*>(&result_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&record_object_dealloc)},
    {Py_tp_getset, g_result_getset},
    {0, nullptr},
};

PyType_Spec g_result_spec = {
    "builtins.CompressionResult",
    static_cast<int>(sizeof(RecordObject<CompressionRecord>)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_result_slots,
};

}  // namespace

Outcome<PyObject*> get_result_type() { return type_from_spec_once(g_result_type, g_result_spec); }

Outcome<PyRef> make_compression_result(const CompressionRecord& record) {
  Outcome<PyObject*> type_object = get_result_type();
  if (!type_object.ok()) {
    std::move(type_object).error().raise();
    PyErr_Print();
    OVK_FAULT("failed to create type object for CompressionResult");
  }
  return new_record_object(reinterpret_cast<PyTypeObject*>(type_object.value()), record);
}

}  // namespace ovk::python
