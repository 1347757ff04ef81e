#include "python/event_type.h"

#include <array>
#include <string>

#include "python/arg_binder.h"
#include "python/conversions.h"
#include "python/record_object.h"

namespace ovk::python {
namespace {

using EventObject = RecordObject<Event>;

OnceCell g_event_type;

constexpr std::string_view kEventParams[] = {"x", "y", "t", "p"};
constexpr ArgSpec kEventSpec{.class_name = "Event",
                             .function_name = "__new__",
                             .positional = kEventParams,
                             .required_positional = 4};

PyObject* event_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded_call([&]() -> Outcome<PyRef> {
    std::array<PyObject*, 4> slots{};
    OVK_PY_RETURN_IF_ERROR(bind_tuple_dict(kEventSpec, args, kwargs, slots));
    Event record;
    OVK_ASSIGN_OR_RETURN(record.x, to_u16(slots[0], "x"));
    OVK_ASSIGN_OR_RETURN(record.y, to_u16(slots[1], "y"));
    OVK_ASSIGN_OR_RETURN(record.t, to_u32(slots[2], "t"));
    OVK_ASSIGN_OR_RETURN(record.p, to_u8(slots[3], "p"));
    return new_record_object(type, record);
  });
}

Outcome<Event> snapshot(PyObject* self) { return snapshot_record<Event>(self); }

PyObject* event_repr(PyObject* self) noexcept {
  return guarded_call([&]() -> Outcome<PyRef> {
    OVK_ASSIGN_OR_RETURN(const Event e, snapshot(self));
    return new_str("Event(x=" + std::to_string(e.x) + ", y=" + std::to_string(e.y) +
                   ", t=" + std::to_string(e.t) + ", p=" + std::to_string(e.p) + ")");
  });
}

template <auto Field>
PyObject* get_field(PyObject* self, void* /*closure*/) noexcept {
  return guarded_call([&]() -> Outcome<PyRef> {
    OVK_ASSIGN_OR_RETURN(const Event e, snapshot(self));
    return new_int(static_cast<long>(e.*Field));
  });
}

// Converts before taking access, so a failed write leaves the event unchanged.
template <auto Field, auto Convert, const char* Name>
int set_field(PyObject* self, PyObject* value, void* /*closure*/) noexcept {
  return guarded_status([&]() -> Outcome<Done> {
    if (value == nullptr) {
      return ModuleError::with_message(PyExc_AttributeError, "can't delete attribute");
    }
    OVK_ASSIGN_OR_RETURN(const auto converted, Convert(value, Name));
    EventObject* event = as_record_object<Event>(self);
    if (!try_acquire_exclusive(event->access)) {
      return ModuleError::with_message(PyExc_RuntimeError, "Already borrowed");
    }
    event->record.*Field = converted;
    release_exclusive(event->access);
    return kDone;
  });
}

constexpr char kX[] = "x";
constexpr char kY[] = "y";
constexpr char kT[] = "t";
constexpr char kP[] = "p";

PyGetSetDef g_event_getset[] = {
    {kX, &get_field<&Event::x>, &set_field<&Event::x, &to_u16, kX>, nullptr, nullptr},
    {kY, &get_field<&Event::y>, &set_field<&Event::y, &to_u16, kY>, nullptr, nullptr},
    {kT, &get_field<&Event::t>, &set_field<&Event::t, &to_u32, kT>, nullptr, nullptr},
    {kP, &get_field<&Event::p>, &set_field<&Event::p, &to_u8, kP>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

char g_event_doc[] = "Event(x, y, t, p)\n--\n\n";

PyType_Slot g_event_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&event_new)},
    {Py_tp_repr, reinterpret_cast<void*>(&event_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&record_object_dealloc)},
    {Py_tp_getset, g_event_getset},
    {Py_tp_doc, g_event_doc},
    {0, nullptr},
};

PyType_Spec g_event_spec = {
    "builtins.Event", static_cast<int>(sizeof(EventObject)), 0, Py_TPFLAGS_DEFAULT, g_event_slots,
};

}  // namespace

Outcome<PyObject*> get_event_type() { return type_from_spec_once(g_event_type, g_event_spec); }

PyTypeObject* event_type() {
  Outcome<PyObject*> type = get_event_type();
  if (!type.ok()) {
    std::move(type).error().raise();
    PyErr_Print();
    OVK_FAULT("failed to create type object for Event");
  }
  return reinterpret_cast<PyTypeObject*>(type.value());
}

bool is_event(PyObject* object) { return PyType_IsSubtype(Py_TYPE(object), event_type()) != 0; }

std::optional<Event> read_event(PyObject* object) noexcept {
  EventObject* event = as_record_object<Event>(object);
  return read_shared(event->access, event->record);
}

Outcome<PyRef> events_to_list(EventSpan events) {
  PyTypeObject* type = event_type();
  PyRef list = new_list(static_cast<Py_ssize_t>(events.size()));
  for (std::size_t i = 0; i < events.size(); ++i) {
    OVK_ASSIGN_OR_RETURN(PyRef item, new_record_object(type, events[i]));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

}  // namespace ovk::python
