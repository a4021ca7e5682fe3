#pragma once

#include <expected>
#include <string>
#include <vector>

#include "pty/command.hpp"
#include "pty/errno.hpp"

namespace quillo::pty {

// Everything the child needs to exec, built in the parent before fork so that
// the child allocates nothing: candidate paths in PATH order, the argument
// vector, and the /bin/sh vector for scripts without a "#!" line (execvp's
// fallback). The child runs with the host's environment.
class ExecPlan {
 public:
  static std::expected<ExecPlan, Errno> build(const Command& command);

  ExecPlan(ExecPlan&&) = default;
  ExecPlan& operator=(ExecPlan&&) = default;

  // Child side: tries every candidate the way execvp does and returns the
  // errno to report. Async-signal-safe; writes only into storage it owns.
  int exec() noexcept;

 private:
  ExecPlan() = default;

  std::vector<std::string> candidates_;
  std::vector<std::string> arg_storage_;
  std::vector<char*> argv_;
  std::vector<char*> script_argv_;
  // execvp reports ENOENT for an empty name without trying anything.
  bool empty_name_ = false;
};

}  // namespace quillo::pty
