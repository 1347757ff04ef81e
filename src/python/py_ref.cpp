#include "python/py_ref.h"

#include "codec/result.h"

namespace ovk::python {

PyRef checked(PyObject* object) {
  if (object == nullptr) {
    PyErr_Print();
    OVK_FAULT("Python API call failed");
  }
  return PyRef::steal(object);
}

PyRef new_int(long value) { return checked(PyLong_FromLong(value)); }

PyRef new_u64(std::uint64_t value) {
  return checked(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
}

PyRef new_float(double value) { return checked(PyFloat_FromDouble(value)); }

PyRef new_bytes(std::span<const std::uint8_t> bytes) {
  return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                           static_cast<Py_ssize_t>(bytes.size())));
}

PyRef new_str(std::string_view utf8) {
  const auto size = static_cast<Py_ssize_t>(utf8.size());
  PyObject* text = PyUnicode_DecodeUTF8(utf8.data(), size, "surrogatepass");
  if (text == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    PyErr_Clear();
    text = PyUnicode_DecodeUTF8(utf8.data(), size, "replace");
  }
  return checked(text);
}

PyRef new_list(Py_ssize_t size) { return checked(PyList_New(size)); }

PyRef new_tuple(Py_ssize_t size) { return checked(PyTuple_New(size)); }

PyObject* interned(OnceCell& cell, const char* text) {
  if (PyObject* existing = cell.get()) return existing;
  PyObject* key = checked(PyUnicode_FromString(text)).release();
  PyUnicode_InternInPlace(&key);
  return cell.fill(checked(key));
}

}  // namespace ovk::python
