#include "python/module_error.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

namespace ovk::python {
namespace {

OnceCell g_internal_fault;

constexpr const char kInternalFaultDoc[] =
    "Raised when the native code of the ovk module fails.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it\n"
    "typically propagates to the top of the stack and ends the interpreter.";

constexpr const char kNativeCodeFailed[] = "the native code of the ovk module failed";

// Writes the where-and-what report of an internal fault to standard error.
void report_fault(const char* file, int line, const char* text) noexcept {
  if (file != nullptr) {
    std::fprintf(stderr, "ovk: internal fault at %s:%d: %s\n", file, line, text);
  } else {
    std::fprintf(stderr, "ovk: internal fault: %s\n", text);
  }
  std::fflush(stderr);
}

void raise_internal_fault(const char* text) noexcept {
  PyObject* fault_type = internal_fault_type();
  if (fault_type == nullptr) return;  // the creation error stays pending
  PyObject* message =
      PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
  if (message == nullptr) return;
  PyErr_SetObject(fault_type, message);
  Py_DECREF(message);
}

// A fetched InternalFault: print it and continue as an internal fault.
[[noreturn]] void resume_fault(PyObject* type, PyObject* value, PyObject* traceback) {
  PyErr_NormalizeException(&type, &value, &traceback);
  std::string text = "Unwrapped panic from Python code";
  if (PyObject* str = PyObject_Str(value)) {
    text = utf8_of(str);
    Py_DECREF(str);
  } else {
    PyErr_Clear();
  }
  std::fputs("ovk: an internal fault is resuming after being fetched from Python.\n", stderr);
  std::fputs("ovk: the Python stack trace follows.\n", stderr);
  std::fflush(stderr);
  PyErr_Restore(type, value, traceback);
  PyErr_PrintEx(0);
  OVK_FAULT(text);
}

}  // namespace

ModuleError ModuleError::with_message(PyObject* type, std::string message) {
  return ModuleError(PyRef::borrow(type), Message{std::move(message)});
}

ModuleError ModuleError::conversion(PyObject* object, std::string_view target) {
  return ModuleError(PyRef::borrow(PyExc_TypeError),
                     Conversion{PyRef::borrow(object), std::string(target)});
}

ModuleError ModuleError::from_exception(PyRef value) {
  PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
  return ModuleError(std::move(type), Fetched{std::move(value), PyRef()});
}

ModuleError ModuleError::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return with_message(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyObject* fault_type = internal_fault_type();
  if (fault_type == nullptr) {
    PyErr_Clear();  // without the class there can be no instance of it
  } else if (PyErr_GivenExceptionMatches(type, fault_type)) {
    resume_fault(type, value, traceback);
  }
  return ModuleError(PyRef::steal(type), Fetched{PyRef::steal(value), PyRef::steal(traceback)});
}

PyRef ModuleError::message_object() const {
  if (const auto* message = std::get_if<Message>(&payload_)) return new_str(message->text);
  const auto& conversion = std::get<Conversion>(payload_);
  std::string type_name = "<failed to extract type name>";
  if (PyObject* qualname = PyType_GetQualName(Py_TYPE(conversion.object.get()))) {
    type_name = utf8_of(qualname);
    Py_DECREF(qualname);
  } else {
    PyErr_Clear();
  }
  return new_str("'" + type_name + "' object cannot be converted to '" + conversion.target + "'");
}

PyRef ModuleError::into_exception() && {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  if (auto* fetched = std::get_if<Fetched>(&payload_)) {
    type = type_.release();
    value = fetched->value.release();
    traceback = fetched->traceback.release();
  } else {
    std::move(*this).raise();
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) OVK_FAULT("an exception to be made was not set");
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  if (value == nullptr) OVK_FAULT("an exception could not be normalised");
  return PyRef::steal(value);
}

void ModuleError::raise() && {
  if (auto* fetched = std::get_if<Fetched>(&payload_)) {
    PyErr_Restore(type_.release(), fetched->value.release(), fetched->traceback.release());
    return;
  }
  if (!PyExceptionClass_Check(type_.get())) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return;
  }
  const PyRef message = message_object();
  PyErr_SetObject(type_.get(), message.get());
}

std::string utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
    return std::string(data, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  const PyRef bytes = checked(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  return std::string(PyBytes_AS_STRING(bytes.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

std::string str_or_unprintable(PyObject* object) {
  if (PyObject* text = PyObject_Str(object)) {
    const PyRef owned = PyRef::steal(text);
    return utf8_of(owned.get());
  }
  PyErr_WriteUnraisable(object);
  if (PyObject* name = PyType_GetName(Py_TYPE(object))) {
    const PyRef owned = PyRef::steal(name);
    return "<unprintable " + utf8_of(owned.get()) + " object>";
  }
  PyErr_Clear();
  return "<unprintable object>";
}

PyObject* internal_fault_type() noexcept {
  if (PyObject* existing = g_internal_fault.get()) return existing;
  PyObject* created = PyErr_NewExceptionWithDoc("ovk.InternalFault", kInternalFaultDoc,
                                                PyExc_BaseException, nullptr);
  if (created == nullptr) return nullptr;
  return g_internal_fault.fill(PyRef::steal(created));
}

void raise_active_exception() noexcept {
  try {
    throw;
  } catch (const Fault& fault) {
    report_fault(fault.file(), fault.line(), fault.what());
    raise_internal_fault(*fault.what() != '\0' ? fault.what() : kNativeCodeFailed);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    report_fault(nullptr, 0, error.what());
    raise_internal_fault(*error.what() != '\0' ? error.what() : kNativeCodeFailed);
  } catch (...) {
    report_fault(nullptr, 0, kNativeCodeFailed);
    raise_internal_fault(kNativeCodeFailed);
  }
}

Outcome<PyObject*> type_from_spec_once(OnceCell& cell, PyType_Spec& spec) {
  if (PyObject* existing = cell.get()) return existing;
  PyRef created = PyRef::steal(PyType_FromSpec(&spec));
  if (!created) return ModuleError::fetch();
  return cell.fill(std::move(created));
}

}  // namespace ovk::python
