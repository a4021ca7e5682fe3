// The Python face of quillo: module initialisation, the Quillo type, and one
// entry wrapper that performs the per-call ritual (match arguments, check the
// receiver and its owner thread, take the borrow, run, map errors) so that each
// method body only converts its arguments and calls into the session.
#include <Python.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "src/python/args.hpp"
#include "src/core/panic.hpp"
#include "src/python/py_text.hpp"
#include "src/python/quillo_object.hpp"
#include "src/core/session.hpp"
#include "src/core/waits.hpp"

namespace quillo::py {
namespace {

PyTypeObject* g_quillo_type = nullptr;
PyObject* g_panic_type = nullptr;
PyObject* g_module = nullptr;

constexpr std::size_t kExclusive = ~std::size_t{0};
constexpr std::uint64_t kReadAvailableDefault = 65536;

// ---------------------------------------------------------------- failures

PyObject* panic_type() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(
        "quillo.PanicException",
        "An internal failure of quillo (a broken invariant), or a call from a thread that does "
        "not own the object. Derives from BaseException so that `except Exception` does not "
        "swallow it.",
        PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

[[noreturn]] void abort_at_boundary() noexcept {
  static constexpr char kText[] = "uncaught panic at ffi boundary\n";
  (void)!::fwrite(kText, 1, sizeof kText - 1, stderr);
  std::abort();
}

void set_panic(const char* message) noexcept {
  try {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // its creation failed and set an error
    PyErr_SetString(type, message);
  } catch (...) {
    abort_at_boundary();
  }
}

// Runs `body` so that no C++ exception crosses into the interpreter: an
// internal failure becomes PanicException, exhausted memory MemoryError.
template <class F>
PyObject* contained(F&& body) noexcept {
  try {
    return body();
  } catch (const InternalFailure& failure) {
    set_panic(failure.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    set_panic(failure.what());
  } catch (...) {
    set_panic("unknown internal failure");
  }
  return nullptr;
}

PyObject* raise_runtime(const SessionError& error) {
  PyErr_SetString(PyExc_RuntimeError, error.message.c_str());
  return nullptr;
}

PyObject* raise_spawn(const SpawnError& error) {
  PyObject* message = PyUnicode_DecodeUTF8(
      error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace");
  if (message != nullptr) {
    PyErr_SetObject(PyExc_Exception, message);
    Py_DECREF(message);
  }
  return nullptr;
}

// Every text the session hands out is valid UTF-8 (the sanitizer's output, or
// a command that came from a str).
PyObject* to_py(const std::string& text) {
  return str_from_utf8(text.data(), text.size());
}

PyObject* to_py(bool value) {
  return PyBool_FromLong(value ? 1 : 0);
}

template <class T>
PyObject* result_to_py(const std::expected<T, SessionError>& result) {
  if (!result) return raise_runtime(result.error());
  if constexpr (std::is_void_v<T>) {
    Py_RETURN_NONE;
  } else {
    return to_py(*result);
  }
}

// Gives up the interpreter lock for its lifetime, taking it back also when
// an internal failure unwinds through.
class WithoutGil {
 public:
  WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(state_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
};

// ---------------------------------------------------------------- the entry ritual

enum class Use { kShared, kExclusive };

class Borrow {
 public:
  Borrow(QuilloObject& obj, Use use) noexcept : obj_(obj), use_(use) {
    std::size_t current = obj.borrow.load();
    for (;;) {
      if (use == Use::kExclusive) {
        if (current != 0) return;
        if (obj.borrow.compare_exchange_weak(current, kExclusive)) break;
      } else {
        if (current == kExclusive) return;
        if (obj.borrow.compare_exchange_weak(current, current + 1)) break;
      }
    }
    held_ = true;
  }
  ~Borrow() {
    if (!held_) return;
    if (use_ == Use::kExclusive) {
      obj_.borrow.store(0);
    } else {
      obj_.borrow.fetch_sub(1);
    }
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  bool held() const noexcept { return held_; }
  const char* refusal() const noexcept {
    return use_ == Use::kExclusive ? "Already borrowed" : "Already mutably borrowed";
  }

 private:
  QuilloObject& obj_;
  Use use_;
  bool held_ = false;
};

// The receiver as a Quillo, owned by this thread; NULL with an error set otherwise.
QuilloObject* receiver(PyObject* self) {
  if (!PyObject_TypeCheck(self, g_quillo_type)) {
    set_cast_error(self, "Quillo");
    return nullptr;
  }
  auto* obj = reinterpret_cast<QuilloObject*>(self);
  std::uint64_t me = current_thread_id();
  if (obj->owner != me) {
    panic(
        "assertion `left == right` failed: quillo::Quillo is unsendable, but sent to another "
        "thread\n  left: ThreadId(" +
        std::to_string(me) + ")\n right: ThreadId(" + std::to_string(obj->owner) + ")");
  }
  return obj;
}

// Runs `body` on the receiver's record, or on the slot that holds it for a
// body that replaces the record (reset).
template <Use use, class F>
PyObject* with_borrow(PyObject* self, F&& body) {
  QuilloObject* obj = receiver(self);
  if (obj == nullptr) return nullptr;
  Borrow borrow(*obj, use);
  if (!borrow.held()) {
    PyErr_SetString(PyExc_RuntimeError, borrow.refusal());
    return nullptr;
  }
  if constexpr (std::is_invocable_v<F, std::unique_ptr<Session>&>) {
    return body(obj->session);
  } else {
    return body(*obj->session);
  }
}

// A method without parameters (METH_NOARGS).
template <Use use, auto Body>
PyObject* noargs_entry(PyObject* self, PyObject*) {
  return contained([&] { return with_borrow<use>(self, Body); });
}

// A method with parameters (METH_FASTCALL | METH_KEYWORDS).
template <const Signature& sig, Use use, PyObject* (*Body)(Session&, const Bound&)>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return contained([&]() -> PyObject* {
    auto bound = match_fastcall(sig, args, nargs, kwnames);
    if (!bound) return nullptr;
    return with_borrow<use>(self, [&](Session& session) { return Body(session, *bound); });
  });
}

// ---------------------------------------------------------------- methods

const Signature kNewSig{"Quillo.__new__()", {"command", "interactive", "ready_markers"}, 2};
const Signature kSetMarkersSig{"Quillo.set_ready_markers()", {"ready_markers"}, 1};
const Signature kReadUntilReadySig{
    "Quillo.read_until_ready()", {"timeout_ms", "max_output_bytes", "settle_ms", "quiet_ms"}, 0};
const Signature kSendAndReadSig{
    "Quillo.send_and_read_until_ready()",
    {"input", "timeout_ms", "max_output_bytes", "settle_ms", "quiet_ms"},
    1};
const Signature kReadAvailableSig{"Quillo.read_available()", {"max_bytes"}, 0};

Result<WaitParams> wait_params(const Bound& bound, std::size_t first) {
  WaitParams params;
  auto timeout = to_u64_or(bound[first], "timeout_ms", params.timeout_ms);
  if (!timeout) return std::unexpected(timeout.error());
  auto cap = to_u64_or(bound[first + 1], "max_output_bytes", params.max_output_bytes);
  if (!cap) return std::unexpected(cap.error());
  auto settle = to_u64_or(bound[first + 2], "settle_ms", params.settle_ms);
  if (!settle) return std::unexpected(settle.error());
  auto quiet = to_u64_or(bound[first + 3], "quiet_ms", params.quiet_ms);
  if (!quiet) return std::unexpected(quiet.error());
  return WaitParams{*timeout, *cap, *settle, *quiet};
}

PyObject* wait_and_return(Session& session, const WaitParams& params) {
  std::string text;
  {
    WithoutGil released;
    text = wait_until_ready(session, params);
  }
  return to_py(text);
}

PyObject* set_ready_markers(Session& session, const Bound& bound) {
  auto markers = to_str_list(bound[0], "ready_markers");
  if (!markers) return nullptr;
  return result_to_py(session.set_ready_markers(std::move(*markers)));
}

PyObject* read_until_ready(Session& session, const Bound& bound) {
  auto params = wait_params(bound, 0);
  if (!params) return nullptr;
  return wait_and_return(session, *params);
}

PyObject* send_and_read_until_ready(Session& session, const Bound& bound) {
  auto input = to_str(bound[0], "input");
  if (!input) return nullptr;
  auto params = wait_params(bound, 1);
  if (!params) return nullptr;
  input->push_back('\n');
  std::expected<void, SessionError> written;
  {
    // A child that stops reading can block this write; other threads run meanwhile.
    WithoutGil released;
    written = session.write_bytes(
        std::span(reinterpret_cast<const std::uint8_t*>(input->data()), input->size()),
        std::max(params->timeout_ms, kWriteStallFloorMs));
  }
  if (!written) return raise_runtime(written.error());
  return wait_and_return(session, *params);
}

PyObject* read_available(Session& session, const Bound& bound) {
  auto limit = to_u64_or(bound[0], "max_bytes", kReadAvailableDefault);
  if (!limit) return nullptr;
  return result_to_py(session.read_available(static_cast<std::size_t>(*limit)));
}

PyObject* send_ctrl_c(Session& session) {
  static constexpr std::uint8_t kEtx[] = {0x03};
  std::expected<void, SessionError> written;
  {
    WithoutGil released;
    written = session.write_bytes(kEtx);
  }
  return result_to_py(written);
}

PyObject* get_history(Session& session) {
  return result_to_py(session.get_history());
}
PyObject* is_alive(Session& session) {
  return result_to_py(session.is_alive());
}
PyObject* is_interactive(Session& session) {
  return to_py(session.interactive);
}
PyObject* get_initial_command(Session& session) {
  return to_py(session.initial_command);
}

PyObject* close_method(Session& session) {
  session.close_inner();
  Py_RETURN_NONE;
}

PyObject* reset_method(std::unique_ptr<Session>& session) {
  if (auto done = quillo::reset(session); !done) return raise_spawn(done.error());
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------- the type

PyObject* quillo_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return contained([&]() -> PyObject* {
    auto bound = match_tuple(kNewSig, args, kwargs);
    if (!bound) return nullptr;
    auto command = to_str((*bound)[0], "command");
    if (!command) return nullptr;
    auto interactive = to_bool((*bound)[1], "interactive");
    if (!interactive) return nullptr;
    Markers markers{"pwndbg> ", "(gdb) "};
    if (PyObject* given = (*bound)[2]; given != nullptr && given != Py_None) {
      auto converted = to_str_list(given, "ready_markers");
      if (!converted) return nullptr;
      markers = std::move(*converted);
    }

    auto session = Session::spawn(std::move(*command), *interactive, kDefaultHistoryLimit);
    if (!session) return raise_spawn(session.error());
    (void)(*session)->set_ready_markers(std::move(markers));

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
      (*session)->teardown();
      return nullptr;
    }
    auto* obj = reinterpret_cast<QuilloObject*>(self);
    new (&obj->session) std::unique_ptr<Session>(std::move(*session));
    new (&obj->borrow) std::atomic<std::size_t>(0);
    obj->owner = current_thread_id();
    return self;
  });
}

void quillo_dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<QuilloObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  // Deallocation can happen while an exception is propagating; keep it.
  PyObject *pending_type, *pending_value, *pending_tb;
  PyErr_Fetch(&pending_type, &pending_value, &pending_tb);
  if (obj->owner == current_thread_id()) {
    PyObject* outcome = contained([&]() -> PyObject* {
      obj->session->teardown();
      Py_RETURN_NONE;
    });
    if (outcome == nullptr) {
      PyErr_WriteUnraisable(nullptr);
    } else {
      Py_DECREF(outcome);
    }
    obj->session.~unique_ptr();
  } else {
    // The record belongs to its owner thread: leave the child and the reader
    // running rather than tear them down from here.
    PyErr_SetString(PyExc_RuntimeError,
                    "quillo::Quillo is unsendable, but is being dropped on another thread");
    PyErr_WriteUnraisable(nullptr);
    (void)obj->session.release();
    obj->session.~unique_ptr();
  }
  obj->borrow.~atomic();
  PyErr_Restore(pending_type, pending_value, pending_tb);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef kMethods[] = {
    {"set_ready_markers",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         fastcall_entry<kSetMarkersSig, Use::kShared, set_ready_markers>)),
     METH_FASTCALL | METH_KEYWORDS, "set_ready_markers($self, ready_markers)\n--\n\n"},
    {"read_until_ready",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         fastcall_entry<kReadUntilReadySig, Use::kShared, read_until_ready>)),
     METH_FASTCALL | METH_KEYWORDS,
     "read_until_ready($self, timeout_ms=None, max_output_bytes=None, settle_ms=None, "
     "quiet_ms=None)\n--\n\nRead until ready marker appears (interactive=true) OR until output "
     "goes quiet (interactive=false)."},
    {"send_and_read_until_ready",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         fastcall_entry<kSendAndReadSig, Use::kExclusive, send_and_read_until_ready>)),
     METH_FASTCALL | METH_KEYWORDS,
     "send_and_read_until_ready($self, input, timeout_ms=None, max_output_bytes=None, "
     "settle_ms=None, quiet_ms=None)\n--\n\nSend input and read until ready marker returns "
     "(interactive=true) OR until output goes quiet (interactive=false)."},
    {"read_available",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         fastcall_entry<kReadAvailableSig, Use::kShared, read_available>)),
     METH_FASTCALL | METH_KEYWORDS,
     "read_available($self, max_bytes=None)\n--\n\nNon-blocking read of buffered output."},
    {"send_ctrl_c", noargs_entry<Use::kExclusive, send_ctrl_c>, METH_NOARGS,
     "send_ctrl_c($self)\n--\n\n"},
    {"get_history", noargs_entry<Use::kShared, get_history>, METH_NOARGS,
     "get_history($self)\n--\n\n"},
    {"is_alive", noargs_entry<Use::kShared, is_alive>, METH_NOARGS, "is_alive($self)\n--\n\n"},
    {"is_interactive", noargs_entry<Use::kShared, is_interactive>, METH_NOARGS,
     "is_interactive($self)\n--\n\n"},
    {"get_initial_command", noargs_entry<Use::kShared, get_initial_command>, METH_NOARGS,
     "get_initial_command($self)\n--\n\n"},
    {"close", noargs_entry<Use::kExclusive, close_method>, METH_NOARGS, "close($self)\n--\n\n"},
    {"reset", noargs_entry<Use::kExclusive, reset_method>, METH_NOARGS, "reset($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(quillo_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(quillo_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("Quillo(command, interactive, ready_markers=None)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kSpec{kTypeName, sizeof(QuilloObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

PyModuleDef kModule{
    PyModuleDef_HEAD_INIT, "quillo", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* init_module() {
  if (g_module != nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "quillo may only be initialized once per interpreter process");
    return nullptr;
  }
  PyObject* module = PyModule_Create(&kModule);
  if (module == nullptr) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
  if (type == nullptr) {
    Py_DECREF(module);
    return nullptr;
  }
  // A module fresh from PyModule_Create has no __all__ yet.
  PyObject* all = Py_BuildValue("[s]", "Quillo");
  bool ok = all != nullptr && PyModule_AddObjectRef(module, "__all__", all) == 0 &&
            PyModule_AddObjectRef(module, "Quillo", reinterpret_cast<PyObject*>(type)) == 0;
  Py_XDECREF(all);
  if (!ok) {
    Py_DECREF(type);
    Py_DECREF(module);
    return nullptr;
  }
  g_quillo_type = type;  // kept for the life of the process
  g_module = Py_NewRef(module);
  return module;
}

}  // namespace

std::uint64_t current_thread_id() noexcept {
  static std::atomic<std::uint64_t> next{1};
  thread_local std::uint64_t id = next.fetch_add(1);
  return id;
}

}  // namespace quillo::py

extern "C" PyMODINIT_FUNC PyInit_quillo() {
  return quillo::py::contained([] { return quillo::py::init_module(); });
}
