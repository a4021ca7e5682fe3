#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::py {

// A Python exception has been set; the caller returns NULL.
struct ErrorSet {};

template <class T>
using Result = std::expected<T, ErrorSet>;

// The declared parameters of one method, for matching and for messages.
struct Signature {
  const char* display_name;  // "Quillo.read_available()"
  std::vector<const char*> names;
  std::size_t required;
};

inline constexpr std::size_t kMaxParams = 5;
// Borrowed references, one per declared parameter; NULL where not given.
using Bound = std::array<PyObject*, kMaxParams>;

// Matches fast-call arguments by position, then by keyword.
Result<Bound> match_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
// Matches a positional tuple and a keyword dict.
Result<Bound> match_tuple(const Signature& sig, PyObject* args, PyObject* kwargs);

// Conversions. On a TypeError the message is rewrapped as
// "argument '<name>': <message>", keeping the cause; other errors pass as they are.
Result<std::string> to_str(PyObject* obj, const char* name);
Result<bool> to_bool(PyObject* obj, const char* name);
Result<std::uint64_t> to_u64(PyObject* obj, const char* name);
Result<std::vector<std::string>> to_str_list(PyObject* obj, const char* name);

// None or absent selects `fallback`.
Result<std::uint64_t> to_u64_or(PyObject* obj, const char* name, std::uint64_t fallback);

// "'int' object cannot be cast as 'str'"
void set_cast_error(PyObject* obj, const char* target);

}  // namespace quillo::py
