#pragma once

// Building Python str objects from the UTF-8 text the session hands out.

#include <Python.h>

#include <cstddef>

namespace quillo::py {

// The str holding the `size` bytes of UTF-8 at `data`: a new reference, or
// nullptr with an exception set. The bytes are checked, not trusted: the
// session's text is valid UTF-8 (the sanitizer's output, or a command that
// came from a str), and bytes that are not raise UnicodeDecodeError instead
// of making a malformed str.
PyObject* str_from_utf8(const char* data, std::size_t size);

}  // namespace quillo::py
