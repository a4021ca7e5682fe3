#include "src/python/py_text.hpp"

namespace quillo::py {

// CPython's strict decoder validates as it decodes (ASCII runs a word at a
// time) and gives the str its narrowest kind.
PyObject* str_from_utf8(const char* data, std::size_t size) {
  return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "strict");
}

}  // namespace quillo::py
