// Module initialisation: the single exported symbol PyInit_ovk, the guard
// against a second interpreter, the once-only module object, and the init body
// that registers the two classes and the function table while keeping
// __all__ in step.
#include <atomic>
#include <cstdint>
#include <string>

#include "python/entry_points.h"
#include "python/event_type.h"
#include "python/module_error.h"
#include "python/result_type.h"

namespace ovk::python {
namespace {

std::atomic<std::int64_t> g_first_interpreter_id{-1};
OnceCell g_module;
OnceCell g_all_key;
OnceCell g_name_key;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "ovk",    // m_name
    "",       // m_doc
    0,        // m_size
    nullptr,  // m_methods: the init body adds the functions one at a time
    nullptr,  // m_slots
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

// A fast-call-with-keywords row of the function table. The doc text carries
// only the text signature.
PyMethodDef fast_method(const char* name, FastEntry entry, const char* doc) {
  // Through void(*)() so the cast to the generic PyCFunction is well-formed.
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

// The module's functions, in registration order. The interpreter keeps
// pointers to these records for the life of each function object.
PyMethodDef g_functions[] = {
    fast_method("compress", &compress_entry,
                "compress(events, width, height, time_bins, max_depth)\n--\n\n"),
    fast_method("compress_sequence", &compress_sequence_entry,
                "compress_sequence(events, width, height, time_bins, max_depth, n_frames)"
                "\n--\n\n"),
    fast_method("load_nmnist", &load_nmnist_entry, "load_nmnist(path)\n--\n\n"),
    fast_method("load_aedat2", &load_aedat2_entry, "load_aedat2(path)\n--\n\n"),
    fast_method("load_csv", &load_csv_entry, "load_csv(path)\n--\n\n"),
    fast_method("load_events", &load_events_entry, "load_events(path)\n--\n\n"),
    fast_method("event_stats", &event_stats_entry, "event_stats(events)\n--\n\n"),
};

// Lists `name` in __all__ (creating the list if missing), then sets the
// attribute. A failure of the set leaves the name listed.
Outcome<Done> add_attribute(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* all_key = interned(g_all_key, "__all__");
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_key));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return ModuleError::fetch();
    PyErr_Clear();
    all = new_list(0);
    if (PyObject_SetAttr(module, all_key, all.get()) < 0) return ModuleError::fetch();
  } else if (!PyList_Check(all.get())) {
    return ModuleError::conversion(all.get(), "PyList");
  }
  if (PyList_Append(all.get(), name) < 0) {
    PyErr_Print();
    OVK_FAULT("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, name, value) < 0) return ModuleError::fetch();
  return kDone;
}

// Creation failure of a class becomes RuntimeError naming it, caused by the
// creation error.
Outcome<Done> add_class(PyObject* module, const char* name, Outcome<PyObject*> type) {
  if (!type.ok()) {
    PyRef cause = std::move(type).error().into_exception();
    PyRef error =
        ModuleError::with_message(PyExc_RuntimeError,
                                  std::string("An error occurred while initializing class ") + name)
            .into_exception();
    PyException_SetCause(error.get(), cause.release());
    return ModuleError::from_exception(std::move(error));
  }
  return add_attribute(module, new_str(name).get(), type.value());
}

Outcome<Done> init_body(PyObject* module) {
  OVK_PY_RETURN_IF_ERROR(add_class(module, "Event", get_event_type()));
  OVK_PY_RETURN_IF_ERROR(add_class(module, "CompressionResult", get_result_type()));
  const PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return ModuleError::fetch();
  PyObject* name_key = interned(g_name_key, "__name__");
  for (PyMethodDef& row : g_functions) {
    const PyRef function = PyRef::steal(PyCMethod_New(&row, module, module_name.get(), nullptr));
    if (!function) return ModuleError::fetch();
    const PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), name_key));
    if (!name) return ModuleError::fetch();
    if (!PyUnicode_Check(name.get())) return ModuleError::conversion(name.get(), "PyString");
    OVK_PY_RETURN_IF_ERROR(add_attribute(module, name.get(), function.get()));
  }
  return kDone;
}

// The interpreter that imports first owns the module; any other is refused.
Outcome<Done> check_interpreter() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return ModuleError::fetch();
  std::int64_t expected = -1;
  if (!g_first_interpreter_id.compare_exchange_strong(expected, id, std::memory_order_seq_cst) &&
      expected != id) {
    return ModuleError::with_message(
        PyExc_ImportError,
        "ovk modules do not yet support subinterpreters; import ovk only from the main "
        "interpreter");
  }
  return kDone;
}

// The module's thread-local data is the C++ runtime's exception state (the
// runtime is linked in statically). A library loaded with dlopen normally has
// its thread-local block allocated lazily, at a thread's first access, and the
// dynamic loader ends the process ("cannot allocate memory for thread-local
// data") when that allocation fails. The first access is the first exception
// thrown, typically a failed allocation, so a call that exhausts memory would
// kill the process instead of raising. One initial-exec access marks the
// module as needing static TLS: the loader then places all of its
// thread-local data in the static block, made for running threads when the
// module is loaded and with the stack for new ones, never on first use.
[[gnu::tls_model("initial-exec")]] thread_local volatile std::uint8_t g_static_tls_anchor = 0;

PyObject* init_module() noexcept {
  static_cast<void>(g_static_tls_anchor);
  return guarded_call([]() -> Outcome<PyRef> {
    OVK_PY_RETURN_IF_ERROR(check_interpreter());
    if (PyObject* existing = g_module.get()) return PyRef::borrow(existing);
    PyRef module = PyRef::steal(PyModule_Create2(&g_module_def, 1013));
    if (!module) return ModuleError::fetch();
    OVK_PY_RETURN_IF_ERROR(init_body(module.get()));
    return PyRef::borrow(g_module.fill(std::move(module)));
  });
}

}  // namespace
}  // namespace ovk::python

PyMODINIT_FUNC PyInit_ovk(void) { return ovk::python::init_module(); }
