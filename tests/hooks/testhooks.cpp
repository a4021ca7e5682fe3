// _quillo_testhooks: a private module, built only for the tests, that reaches
// what the public surface cannot: the sanitizer and the history ring on their
// own, the str builder, the Errno table, PtyProcess directly (exit without
// force), and poisoning a live session's locks through a real internal failure.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pty/pty_process.hpp"
#include "src/core/history.hpp"
#include "src/core/panic.hpp"
#include "src/python/py_text.hpp"
#include "src/python/quillo_object.hpp"
#include "src/text/sanitize.hpp"

namespace {

using quillo::pty::PtyProcess;

constexpr const char* kCapsule = "quillo.PtyProcess";

std::span<const std::uint8_t> bytes_of(const Py_buffer& view) {
  return {static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len)};
}

PyObject* text_to_py(const std::string& text) {
  return quillo::py::str_from_utf8(text.data(), text.size());
}

// "best" or "bytewise" as a cleaning path; false with ValueError set for
// anything else.
bool path_of(const char* name, quillo::SanitizePath& path) {
  const std::string_view n = name;
  if (n == "best") {
    path = quillo::SanitizePath::kBest;
  } else if (n == "bytewise") {
    path = quillo::SanitizePath::kBytewise;
  } else {
    PyErr_SetString(PyExc_ValueError, "path must be 'best' or 'bytewise'");
    return false;
  }
  return true;
}

// sanitize(data) -> str: the cleaning, returned as the module returns it.
PyObject* sanitize(PyObject*, PyObject* arg) {
  Py_buffer view;
  if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) return nullptr;
  std::string out = quillo::sanitize_for_agent(bytes_of(view));
  PyBuffer_Release(&view);
  return text_to_py(out);
}

// sanitize_two(a, b): the two-piece form used for the history ring.
PyObject* sanitize_two(PyObject*, PyObject* args) {
  Py_buffer a, b;
  if (!PyArg_ParseTuple(args, "y*y*", &a, &b)) return nullptr;
  std::string out = quillo::sanitize_for_agent(bytes_of(a), bytes_of(b));
  PyBuffer_Release(&a);
  PyBuffer_Release(&b);
  return text_to_py(out);
}

// The hooks that take (data, path): `fn(bytes, path)`, or nullptr with
// ValueError set for a path that is not one.
template <class F>
PyObject* on_path(PyObject* args, F fn) {
  Py_buffer view;
  const char* name;
  if (!PyArg_ParseTuple(args, "y*s", &view, &name)) return nullptr;
  quillo::SanitizePath path;
  PyObject* result = path_of(name, path) ? fn(bytes_of(view), path) : nullptr;
  PyBuffer_Release(&view);
  return result;
}

// sanitize_on(data, path) -> str: the cleaning on one path ("best",
// "bytewise") whatever the processor offers, so that the tests can hold the
// paths to each other and the benchmarks time each.
PyObject* sanitize_on(PyObject*, PyObject* args) {
  return on_path(args, [](std::span<const std::uint8_t> bytes, quillo::SanitizePath path) {
    return text_to_py(quillo::sanitize_for_agent(bytes, {}, path));
  });
}

// utf8_valid(data, path) -> bool: the cleaning's UTF-8 check on one path.
PyObject* utf8_valid(PyObject*, PyObject* args) {
  return on_path(args, [](std::span<const std::uint8_t> bytes, quillo::SanitizePath path) {
    return PyBool_FromLong(quillo::utf8_valid(bytes, path));
  });
}

// wide_steps(data, path) -> (filter, check): whether cleaning `data` on `path`
// really ran the AVX-512 filter and the AVX-512 UTF-8 check.
PyObject* wide_steps(PyObject*, PyObject* args) {
  return on_path(args, [](std::span<const std::uint8_t> bytes, quillo::SanitizePath path) {
    quillo::take_wide_steps();
    quillo::sanitize_for_agent(bytes, {}, path);
    const unsigned steps = quillo::take_wide_steps();
    return Py_BuildValue("(OO)", (steps & quillo::kWideFilter) != 0 ? Py_True : Py_False,
                         (steps & quillo::kWideCheck) != 0 ? Py_True : Py_False);
  });
}

// wide_paths() -> bool: whether the cleaning's "best" path runs the AVX-512
// code on this processor.
PyObject* wide_paths(PyObject*, PyObject*) {
  return PyBool_FromLong(quillo::wide_cleaning() ? 1 : 0);
}

// sanitize_ns(data, reps, path="best") -> [ns per call]: the cleaning alone,
// without building a Python str, for the benchmarks.
PyObject* sanitize_ns(PyObject*, PyObject* args) {
  Py_buffer view;
  Py_ssize_t reps;
  const char* name = "best";
  if (!PyArg_ParseTuple(args, "y*n|s", &view, &reps, &name)) return nullptr;
  quillo::SanitizePath path;
  if (!path_of(name, path)) {
    PyBuffer_Release(&view);
    return nullptr;
  }
  std::vector<long long> times;
  Py_BEGIN_ALLOW_THREADS for (Py_ssize_t i = 0; i < reps; ++i) {
    auto start = std::chrono::steady_clock::now();
    std::string out = quillo::sanitize_for_agent(bytes_of(view), {}, path);
    auto took = std::chrono::steady_clock::now() - start;
    times.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count());
  }
  Py_END_ALLOW_THREADS PyBuffer_Release(&view);
  PyObject* list = PyList_New(0);
  for (long long t : times) {
    PyObject* item = PyLong_FromLongLong(t);
    PyList_Append(list, item);
    Py_DECREF(item);
  }
  return list;
}

PyObject* errno_text(PyObject*, PyObject* arg) {
  long value = PyLong_AsLong(arg);
  if (value == -1 && PyErr_Occurred()) return nullptr;
  auto e = quillo::pty::Errno::from_raw(static_cast<int>(value));
  return Py_BuildValue("(is)", e.value(), e.to_string().c_str());
}

// ring(initial_room, limit, chunks) -> (retained bytes, capacity)
PyObject* ring(PyObject*, PyObject* args) {
  Py_ssize_t room, limit;
  PyObject* chunks;
  if (!PyArg_ParseTuple(args, "nnO", &room, &limit, &chunks)) return nullptr;
  quillo::ByteRing ring(static_cast<std::size_t>(room), static_cast<std::size_t>(limit));
  PyObject* iter = PyObject_GetIter(chunks);
  if (iter == nullptr) return nullptr;
  while (PyObject* item = PyIter_Next(iter)) {
    Py_buffer view;
    if (PyObject_GetBuffer(item, &view, PyBUF_SIMPLE) < 0) {
      Py_DECREF(item);
      Py_DECREF(iter);
      return nullptr;
    }
    ring.append(bytes_of(view));
    PyBuffer_Release(&view);
    Py_DECREF(item);
  }
  Py_DECREF(iter);
  if (PyErr_Occurred()) return nullptr;
  auto [first, second] = ring.segments();
  std::string joined(first.begin(), first.end());
  joined.append(second.begin(), second.end());
  return Py_BuildValue("(y#n)", joined.data(), static_cast<Py_ssize_t>(joined.size()),
                       static_cast<Py_ssize_t>(ring.capacity()));
}

// ---- PtyProcess, held in a capsule

void destroy_capsule(PyObject* capsule) {
  delete static_cast<PtyProcess*>(PyCapsule_GetPointer(capsule, kCapsule));
}

PtyProcess* process_of(PyObject* capsule) {
  return static_cast<PtyProcess*>(PyCapsule_GetPointer(capsule, kCapsule));
}

PyObject* raise_errno(quillo::pty::Errno e) {
  PyErr_SetObject(PyExc_OSError, Py_BuildValue("(is)", e.value(), e.to_string().c_str()));
  return nullptr;
}

PyObject* pty_spawn(PyObject*, PyObject* arg) {
  Py_ssize_t len;
  const char* program = PyUnicode_AsUTF8AndSize(arg, &len);
  if (program == nullptr) return nullptr;
  auto process = PtyProcess::spawn(quillo::pty::Command::single(std::string(program, len)));
  if (!process) return raise_errno(process.error());
  auto* held = new PtyProcess(std::move(*process));
  return PyCapsule_New(held, kCapsule, destroy_capsule);
}

PyObject* pty_exit(PyObject*, PyObject* args) {
  PyObject* capsule;
  int force;
  if (!PyArg_ParseTuple(args, "Op", &capsule, &force)) return nullptr;
  PtyProcess* p = process_of(capsule);
  if (p == nullptr) return nullptr;
  std::expected<bool, quillo::pty::Errno> r;
  Py_BEGIN_ALLOW_THREADS r = p->exit(force != 0);
  Py_END_ALLOW_THREADS if (!r) return raise_errno(r.error());
  return PyBool_FromLong(*r);
}

PyObject* pty_is_alive(PyObject*, PyObject* capsule) {
  PtyProcess* p = process_of(capsule);
  if (p == nullptr) return nullptr;
  auto r = p->is_alive();
  if (!r) return raise_errno(r.error());
  return PyBool_FromLong(*r);
}

PyObject* pty_info(PyObject*, PyObject* capsule) {
  PtyProcess* p = process_of(capsule);
  if (p == nullptr) return nullptr;
  return Py_BuildValue("{s:i,s:i,s:i,s:i}", "pid", p->child_pid(), "master", p->master_fd(),
                       "eof_char", p->eof_char(), "intr_char", p->intr_char());
}

PyObject* pty_raw_handle(PyObject*, PyObject* capsule) {
  PtyProcess* p = process_of(capsule);
  if (p == nullptr) return nullptr;
  auto fd = p->get_raw_handle();
  if (!fd) return raise_errno(fd.error());
  return PyLong_FromLong(fd->release());
}

PyObject* pty_release(PyObject*, PyObject* capsule) {
  PtyProcess* p = process_of(capsule);
  if (p == nullptr) return nullptr;
  std::expected<void, quillo::pty::Errno> r;
  Py_BEGIN_ALLOW_THREADS r = p->release();
  Py_END_ALLOW_THREADS if (!r) return raise_errno(r.error());
  Py_RETURN_NONE;
}

// ---- poisoning a live session's lock

template <class T>
void poison_field(quillo::Guarded<T>& field) {
  try {
    auto guard = field.lock_or_panic("test hook: lock already poisoned");
    throw quillo::InternalFailure("test hook: holder abandoned");
  } catch (const quillo::InternalFailure&) {
  }
}

quillo::Session* session_of(PyObject* obj) {
  if (std::strcmp(Py_TYPE(obj)->tp_name, quillo::py::kTypeName) != 0) {
    PyErr_SetString(PyExc_TypeError, "expected a Quillo");
    return nullptr;
  }
  return reinterpret_cast<quillo::py::QuilloObject*>(obj)->session.get();
}

// session_fds(q) -> {"master": n, "writer": n}: lets a test sabotage them.
PyObject* session_fds(PyObject*, PyObject* obj) {
  quillo::Session* s = session_of(obj);
  if (s == nullptr) return nullptr;
  return Py_BuildValue("{s:i,s:i}", "master", s->process.master_fd(), "writer",
                       s->writer.unguarded().fd());
}

PyObject* poison(PyObject*, PyObject* args) {
  PyObject* obj;
  const char* field;
  if (!PyArg_ParseTuple(args, "Os", &obj, &field)) return nullptr;
  quillo::Session* session = session_of(obj);
  if (session == nullptr) return nullptr;
  quillo::Session& s = *session;
  std::string name(field);
  if (name == "writer") {
    poison_field(s.writer);
  } else if (name == "rx") {
    poison_field(s.rx);
  } else if (name == "reader_handle") {
    poison_field(s.reader_handle);
  } else if (name == "ready_markers") {
    poison_field(s.ready_markers);
  } else if (name == "history") {
    poison_field(s.history);
  } else {
    PyErr_SetString(PyExc_ValueError, "unknown field");
    return nullptr;
  }
  Py_RETURN_NONE;
}

// str_from_utf8(data) -> str: the binding's str builder on `data`. It reads a
// copy with no byte after the end (a bytes object has its NUL there), so that
// the sanitizer build sees any read past it.
PyObject* str_from_utf8(PyObject*, PyObject* arg) {
  Py_buffer view;
  if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) return nullptr;
  const auto size = static_cast<std::size_t>(view.len);
  std::unique_ptr<char[]> copy(new char[size]);
  std::memcpy(copy.get(), view.buf, size);
  PyBuffer_Release(&view);
  return quillo::py::str_from_utf8(copy.get(), size);
}

PyMethodDef kFunctions[] = {
    {"sanitize", sanitize, METH_O, nullptr},
    {"sanitize_two", sanitize_two, METH_VARARGS, nullptr},
    {"sanitize_on", sanitize_on, METH_VARARGS, nullptr},
    {"utf8_valid", utf8_valid, METH_VARARGS, nullptr},
    {"wide_paths", wide_paths, METH_NOARGS, nullptr},
    {"wide_steps", wide_steps, METH_VARARGS, nullptr},
    {"sanitize_ns", sanitize_ns, METH_VARARGS, nullptr},
    {"errno_text", errno_text, METH_O, nullptr},
    {"ring", ring, METH_VARARGS, nullptr},
    {"pty_spawn", pty_spawn, METH_O, nullptr},
    {"pty_exit", pty_exit, METH_VARARGS, nullptr},
    {"pty_is_alive", pty_is_alive, METH_O, nullptr},
    {"pty_info", pty_info, METH_O, nullptr},
    {"pty_raw_handle", pty_raw_handle, METH_O, nullptr},
    {"pty_release", pty_release, METH_O, nullptr},
    {"poison", poison, METH_VARARGS, nullptr},
    {"session_fds", session_fds, METH_O, nullptr},
    {"str_from_utf8", str_from_utf8, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule{PyModuleDef_HEAD_INIT,
                    "_quillo_testhooks",
                    nullptr,
                    -1,
                    kFunctions,
                    nullptr,
                    nullptr,
                    nullptr,
                    nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__quillo_testhooks() {
  return PyModule_Create(&kModule);
}
