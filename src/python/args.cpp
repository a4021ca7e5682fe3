#include "src/python/args.hpp"

#include <algorithm>
#include <cstring>

namespace quillo::py {
namespace {

Result<Bound> fail() {
  return std::unexpected(ErrorSet{});
}

std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) text += ',';
      text += ' ';
      if (i + 1 == names.size()) text += "and ";
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

Result<Bound> too_many_positional(const Signature& sig, Py_ssize_t given) {
  std::string text = sig.display_name;
  if (sig.required < sig.names.size()) {
    text +=
        " takes from " + std::to_string(sig.required) + " to " + std::to_string(sig.names.size());
  } else {
    text += " takes " + std::to_string(sig.names.size());
  }
  text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
          " given";
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return fail();
}

// Places one keyword argument; sets the error and returns false on a mismatch.
bool place_keyword(const Signature& sig, Bound& bound, PyObject* key, PyObject* value) {
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
  if (utf8 != nullptr) {
    std::string_view name(utf8, static_cast<std::size_t>(len));
    for (std::size_t i = 0; i < sig.names.size(); ++i) {
      if (name == sig.names[i]) {
        if (bound[i] != nullptr) {
          PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                       sig.display_name, sig.names[i]);
          return false;
        }
        bound[i] = value;
        return true;
      }
    }
  }
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.display_name,
               key);
  return false;
}

Result<Bound> check_required(const Signature& sig, const Bound& bound) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (bound[i] == nullptr) missing.push_back(sig.names[i]);
  }
  if (missing.empty()) return bound;
  std::string text = std::string(sig.display_name) + " missing " + std::to_string(missing.size()) +
                     " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                     ": " + quoted_list(missing);
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return fail();
}

// Re-raises a TypeError as "argument '<name>': <text>", with the same cause.
void rewrap_type_error(const char* name) {
  if (!PyErr_Occurred()) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* cause = value != nullptr ? PyException_GetCause(value) : nullptr;
  PyObject* message = PyUnicode_FromFormat("argument '%s': %S", name, value);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  if (message == nullptr) {
    Py_XDECREF(cause);
    return;
  }
  PyObject* wrapped = PyObject_CallOneArg(PyExc_TypeError, message);
  Py_DECREF(message);
  if (wrapped == nullptr) {
    Py_XDECREF(cause);
    return;
  }
  if (cause != nullptr) PyException_SetCause(wrapped, cause);  // steals `cause`
  PyErr_SetObject(PyExc_TypeError, wrapped);
  Py_DECREF(wrapped);
}

template <class T>
Result<T> wrapped_failure(const char* name) {
  rewrap_type_error(name);
  return std::unexpected(ErrorSet{});
}

Result<std::string> extract_str(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    set_cast_error(obj, "str");
    return std::unexpected(ErrorSet{});
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (utf8 == nullptr) return std::unexpected(ErrorSet{});
  return std::string(utf8, static_cast<std::size_t>(len));
}

bool is_numpy_bool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
  if (module == nullptr) {
    PyErr_Clear();
    return false;
  }
  bool numpy = PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
  Py_DECREF(module);
  if (!numpy) return false;
  const char* dot = std::strrchr(type->tp_name, '.');
  const char* short_name = dot != nullptr ? dot + 1 : type->tp_name;
  return std::strcmp(short_name, "bool_") == 0 || std::strcmp(short_name, "bool") == 0;
}

}  // namespace

void set_cast_error(PyObject* obj, const char* target) {
  PyObject* name = PyType_GetQualName(Py_TYPE(obj));
  if (name == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object cannot be cast as '%s'",
                 target);
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", name, target);
  Py_DECREF(name);
}

Result<Bound> match_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  if (static_cast<std::size_t>(nargs) > sig.names.size()) return too_many_positional(sig, nargs);
  Bound bound{};
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(sig, bound, PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) return fail();
    }
  }
  return check_required(sig, bound);
}

Result<Bound> match_tuple(const Signature& sig, PyObject* args, PyObject* kwargs) {
  Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  if (static_cast<std::size_t>(nargs) > sig.names.size()) return too_many_positional(sig, nargs);
  Bound bound{};
  for (Py_ssize_t i = 0; i < nargs; ++i)
    bound[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(sig, bound, key, value)) return fail();
    }
  }
  return check_required(sig, bound);
}

Result<std::string> to_str(PyObject* obj, const char* name) {
  auto text = extract_str(obj);
  if (!text) return wrapped_failure<std::string>(name);
  return text;
}

Result<bool> to_bool(PyObject* obj, const char* name) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  if (is_numpy_bool(obj)) {
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
      PyObject* type_name = PyType_GetName(Py_TYPE(obj));
      PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                   type_name);
      Py_XDECREF(type_name);
      return wrapped_failure<bool>(name);
    }
    int truth = number->nb_bool(obj);
    if (truth < 0) return wrapped_failure<bool>(name);
    return truth != 0;
  }
  set_cast_error(obj, "bool");
  return wrapped_failure<bool>(name);
}

Result<std::uint64_t> to_u64(PyObject* obj, const char* name) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) return wrapped_failure<std::uint64_t>(name);
  unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return wrapped_failure<std::uint64_t>(name);
  }
  return static_cast<std::uint64_t>(value);
}

Result<std::uint64_t> to_u64_or(PyObject* obj, const char* name, std::uint64_t fallback) {
  if (obj == nullptr || obj == Py_None) return fallback;
  return to_u64(obj, name);
}

Result<std::vector<std::string>> to_str_list(PyObject* obj, const char* name) {
  using R = std::vector<std::string>;
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return wrapped_failure<R>(name);
  }
  if (!PySequence_Check(obj)) {
    set_cast_error(obj, "Sequence");
    return wrapped_failure<R>(name);
  }
  R items;
  Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) {
    PyErr_Clear();
  } else {
    // A length is only a hint: a sequence may claim far more items than it
    // yields, and must not make us allocate (or fail to allocate) for them.
    constexpr Py_ssize_t kMaxReserve = 4096;
    items.reserve(static_cast<std::size_t>(std::min(size, kMaxReserve)));
  }
  PyObject* iter = PyObject_GetIter(obj);
  if (iter == nullptr) return wrapped_failure<R>(name);
  while (PyObject* item = PyIter_Next(iter)) {
    auto text = extract_str(item);
    Py_DECREF(item);
    if (!text) {
      Py_DECREF(iter);
      return wrapped_failure<R>(name);
    }
    items.push_back(std::move(*text));
  }
  Py_DECREF(iter);
  if (PyErr_Occurred()) return wrapped_failure<R>(name);
  return items;
}

}  // namespace quillo::py
