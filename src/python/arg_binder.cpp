#include "python/arg_binder.h"

#include <vector>

namespace ovk::python {
namespace {

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
std::string join_names(const std::vector<std::string_view>& names) {
  std::string joined;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) joined += ",";
      joined += (i + 1 == names.size()) ? " and " : " ";
    }
    joined += "'";
    joined += names[i];
    joined += "'";
  }
  return joined;
}

class Binder {
 public:
  Binder(const ArgSpec& params, std::span<PyObject*> slots) : params_(params), slots_(slots) {
    if (slots.size() != params.slot_count()) OVK_FAULT("argument slot count does not match");
  }

  Outcome<Done> positional(PyObject* const* args, std::size_t count) {
    count_ = count;
    const std::size_t n = params_.positional.size();
    for (std::size_t i = 0; i < count && i < n; ++i) slots_[i] = args[i];
    if (count > n) {
      return type_error(params_.full_name() + " takes " + std::to_string(n) +
                        " positional arguments but " + std::to_string(count) +
                        (count == 1 ? " was" : " were") + " given");
    }
    return kDone;
  }

  Outcome<Done> keyword(PyObject* name, PyObject* value) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(name, &size);
    if (data == nullptr) {
      PyErr_Clear();
      return unexpected(name);
    }
    const std::string_view key(data, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < params_.positional.size(); ++i) {
      if (params_.positional[i] == key) return fill(i, key, value);
    }
    return unexpected(name);
  }

  Outcome<Done> finish() const {
    if (count_ < params_.required_positional) {
      std::vector<std::string_view> missing;
      for (std::size_t i = count_; i < params_.required_positional; ++i) {
        if (slots_[i] == nullptr) missing.push_back(params_.positional[i]);
      }
      if (!missing.empty()) return missing_error("positional", missing);
    }
    return kDone;
  }

 private:
  static ModuleError type_error(std::string message) {
    return ModuleError::with_message(PyExc_TypeError, std::move(message));
  }

  Outcome<Done> fill(std::size_t slot, std::string_view key, PyObject* value) {
    if (slots_[slot] != nullptr) {
      return type_error(params_.full_name() + " got multiple values for argument '" +
                        std::string(key) + "'");
    }
    slots_[slot] = value;
    return kDone;
  }

  ModuleError unexpected(PyObject* name) const {
    return type_error(params_.full_name() + " got an unexpected keyword argument '" +
                      str_or_unprintable(name) + "'");
  }

  ModuleError missing_error(std::string_view kind,
                            const std::vector<std::string_view>& names) const {
    return type_error(params_.full_name() + " missing " + std::to_string(names.size()) +
                      " required " + std::string(kind) +
                      (names.size() == 1 ? " argument: " : " arguments: ") + join_names(names));
  }

  const ArgSpec& params_;
  std::span<PyObject*> slots_;
  std::size_t count_ = 0;
};

}  // namespace

std::string ArgSpec::full_name() const {
  std::string name;
  if (!class_name.empty()) {
    name += class_name;
    name += ".";
  }
  name += function_name;
  name += "()";
  return name;
}

Outcome<Done> bind_fastcall(const ArgSpec& params, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, std::span<PyObject*> slots) {
  Binder binder(params, slots);
  OVK_PY_RETURN_IF_ERROR(binder.positional(args, static_cast<std::size_t>(nargs)));
  const Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < n_keywords; ++i) {
    OVK_PY_RETURN_IF_ERROR(binder.keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]));
  }
  return binder.finish();
}

Outcome<Done> bind_tuple_dict(const ArgSpec& params, PyObject* args, PyObject* kwargs,
                              std::span<PyObject*> slots) {
  Binder binder(params, slots);
  OVK_PY_RETURN_IF_ERROR(binder.positional(&PyTuple_GET_ITEM(args, 0),
                                           static_cast<std::size_t>(PyTuple_GET_SIZE(args))));
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      OVK_PY_RETURN_IF_ERROR(binder.keyword(name, value));
    }
  }
  return binder.finish();
}

}  // namespace ovk::python
