#include "python/conversions.h"

#include <algorithm>
#include <limits>
#include <string>

#include "python/event_type.h"

namespace ovk::python {
namespace {

// Up-front reservation for an events snapshot; a sequence's len() is only a
// hint and may be wrong or huge.
constexpr Py_ssize_t kMaxReservedEvents = Py_ssize_t{1} << 20;

template <class T>
Outcome<T> to_unsigned(PyObject* object, std::string_view name) {
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred() != nullptr) {
    return wrap_with_arg_name(name, ModuleError::fetch());
  }
  if (static_cast<unsigned long>(value) > std::numeric_limits<T>::max()) {
    return ModuleError::with_message(PyExc_OverflowError,
                                     "out of range integral type conversion attempted");
  }
  return static_cast<T>(value);
}

Outcome<EventVec> collect_events(PyObject* object) {
  if (PyUnicode_Check(object)) {
    return ModuleError::with_message(PyExc_TypeError, "Can't extract `str` to `Vec`");
  }
  if (!PySequence_Check(object)) return ModuleError::conversion(object, "Sequence");
  Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    // A failing len() is only a missing hint, but KeyboardInterrupt,
    // SystemExit and the like are not failures of len(): they go on.
    if (PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_Exception) == 0) {
      return ModuleError::fetch();
    }
    PyErr_Clear();
    hint = 0;
  }
  EventVec events;
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    // Read in place: reading an event runs no Python code, so the items stay
    // as they are, and the length is exact. The items are scattered objects:
    // each is fetched a few iterations ahead of its use.
    constexpr Py_ssize_t kPrefetchDistance = 8;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(object);
    PyObject** const items = PySequence_Fast_ITEMS(object);
    const PyTypeObject* const exact = event_type();
    events.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (i + kPrefetchDistance < n) __builtin_prefetch(items[i + kPrefetchDistance]);
      if (Py_TYPE(items[i]) != exact && !is_event(items[i])) {
        return ModuleError::conversion(items[i], "Event");
      }
      const std::optional<Event> event = read_event(items[i]);
      if (!event) return ModuleError::with_message(PyExc_RuntimeError, "Already mutably borrowed");
      events[static_cast<std::size_t>(i)] = *event;
    }
    return events;
  }
  events.reserve(static_cast<std::size_t>(std::min(hint, kMaxReservedEvents)));
  const PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return ModuleError::fetch();
  while (true) {
    const PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred() != nullptr) return ModuleError::fetch();
      break;
    }
    if (!is_event(item.get())) return ModuleError::conversion(item.get(), "Event");
    const std::optional<Event> event = read_event(item.get());
    if (!event) return ModuleError::with_message(PyExc_RuntimeError, "Already mutably borrowed");
    events.push_back(*event);
  }
  return events;
}

}  // namespace

Outcome<std::uint8_t> to_u8(PyObject* object, std::string_view name) {
  return to_unsigned<std::uint8_t>(object, name);
}

Outcome<std::uint16_t> to_u16(PyObject* object, std::string_view name) {
  return to_unsigned<std::uint16_t>(object, name);
}

Outcome<std::uint32_t> to_u32(PyObject* object, std::string_view name) {
  return to_unsigned<std::uint32_t>(object, name);
}

Outcome<std::uint64_t> to_u64(PyObject* object, std::string_view name) {
  unsigned long long value = 0;
  if (PyLong_Check(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    const PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return wrap_with_arg_name(name, ModuleError::fetch());
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    return wrap_with_arg_name(name, ModuleError::fetch());
  }
  return static_cast<std::uint64_t>(value);
}

Outcome<std::string_view> to_text(PyObject* object, std::string_view name) {
  if (!PyUnicode_Check(object)) {
    return wrap_with_arg_name(name, ModuleError::conversion(object, "PyString"));
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return wrap_with_arg_name(name, ModuleError::fetch());
  return std::string_view(data, static_cast<std::size_t>(size));
}

Outcome<EventVec> to_events(PyObject* object) {
  Outcome<EventVec> events = collect_events(object);
  if (events.ok()) return events;
  return wrap_with_arg_name("events", std::move(events).error());
}

ModuleError wrap_with_arg_name(std::string_view name, ModuleError error) {
  if (error.type() != PyExc_TypeError) return error;
  const PyRef original = std::move(error).into_exception();
  const std::string message =
      "argument '" + std::string(name) + "': " + str_or_unprintable(original.get());
  PyRef cause = PyRef::steal(PyException_GetCause(original.get()));
  PyRef wrapped = ModuleError::with_message(PyExc_TypeError, message).into_exception();
  PyException_SetCause(wrapped.get(), cause.release());  // also sets __suppress_context__
  return ModuleError::from_exception(std::move(wrapped));
}

}  // namespace ovk::python
