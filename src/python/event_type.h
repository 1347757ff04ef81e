// The Python class Event: one camera event per instance, fields x, y, t, p.
#pragma once

#include <optional>

#include "codec/event.h"
#include "python/module_error.h"

namespace ovk::python {

// The Event class (borrowed), created on first need; the creation error as a
// value if it cannot be made.
Outcome<PyObject*> get_event_type();
// As get_event_type, for uses other than module initialisation: a failure is
// printed and becomes the internal fault "failed to create type object for Event".
PyTypeObject* event_type();

bool is_event(PyObject* object);
// A copy of an Event instance's record, or nullopt when shared access is
// refused. `object` must be an Event.
std::optional<Event> read_event(PyObject* object) noexcept;
// A new list of new Event instances, one per record, in order.
Outcome<PyRef> events_to_list(EventSpan events);

}  // namespace ovk::python
