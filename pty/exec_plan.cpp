#include "pty/exec_plan.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

extern char** environ;

namespace quillo::pty {
namespace {

bool has_nul(std::string_view text) {
  return text.find('\0') != std::string_view::npos;
}

// The same default search path glibc's execvp uses when PATH is unset.
constexpr std::string_view kDefaultPath = "/bin:/usr/bin";

}  // namespace

std::expected<ExecPlan, Errno> ExecPlan::build(const Command& command) {
  // A NUL cannot cross exec: refuse before anything is forked.
  if (has_nul(command.program)) return std::unexpected(Errno::from_raw(EINVAL));
  for (const auto& arg : command.args) {
    if (has_nul(arg)) return std::unexpected(Errno::from_raw(EINVAL));
  }

  ExecPlan plan;
  const std::string& program = command.program;
  if (program.empty()) {
    plan.empty_name_ = true;
  } else if (program.find('/') != std::string::npos) {
    plan.candidates_.push_back(program);
  } else {
    const char* env_path = std::getenv("PATH");
    std::string_view path = env_path != nullptr ? std::string_view(env_path) : kDefaultPath;
    for (;;) {
      auto colon = path.find(':');
      std::string_view dir = path.substr(0, colon);
      // An empty element stands for the current directory.
      std::string candidate(dir);
      if (!candidate.empty()) candidate += '/';
      candidate += program;
      plan.candidates_.push_back(std::move(candidate));
      if (colon == std::string_view::npos) break;
      path.remove_prefix(colon + 1);
    }
  }

  plan.arg_storage_ = command.args;
  if (plan.arg_storage_.empty()) plan.arg_storage_.push_back(program);
  for (auto& arg : plan.arg_storage_) plan.argv_.push_back(arg.data());
  plan.argv_.push_back(nullptr);

  // {"/bin/sh", <candidate>, args[1..], nullptr}; slot 1 is filled in the child.
  static char shell[] = "/bin/sh";
  plan.script_argv_.push_back(shell);
  plan.script_argv_.push_back(nullptr);
  for (std::size_t i = 1; i + 1 < plan.argv_.size(); ++i)
    plan.script_argv_.push_back(plan.argv_[i]);
  plan.script_argv_.push_back(nullptr);
  return plan;
}

int ExecPlan::exec() noexcept {
  if (empty_name_) return ENOENT;
  char** envp = environ;
  bool got_eacces = false;
  int last_error = ENOENT;
  for (auto& candidate : candidates_) {
    ::execve(candidate.c_str(), argv_.data(), envp);
    if (errno == ENOEXEC) {
      script_argv_[1] = candidate.data();
      ::execve(script_argv_[0], script_argv_.data(), envp);
    }
    last_error = errno;
    switch (last_error) {
      case EACCES:
        got_eacces = true;
        [[fallthrough]];
      case ENOENT:
      case ESTALE:
      case ENOTDIR:
      case ENODEV:
      case ETIMEDOUT:
        continue;
      default:
        return last_error;
    }
  }
  return got_eacces ? EACCES : last_error;
}

}  // namespace quillo::pty
