#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "src/core/session.hpp"

namespace quillo::py {

// A per-process number for each OS thread, handed out on first use; unlike
// pthread ids these are never reused.
std::uint64_t current_thread_id() noexcept;

// The layout of a Quillo instance.
struct QuilloObject {
  PyObject ob_base;  // PyObject_HEAD
  std::unique_ptr<Session> session;
  // 0 free, n shared borrows, all bits set while borrowed exclusively.
  std::atomic<std::size_t> borrow;
  std::uint64_t owner;
};

inline constexpr const char* kTypeName = "builtins.Quillo";

}  // namespace quillo::py
