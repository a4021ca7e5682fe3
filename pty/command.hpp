#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillo::pty {

// What to execute in the child. `args[0]` is the program name as the child
// sees it. An environment change with no value removes the variable.
struct Command {
  std::string program;
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::optional<std::string>>> env_changes;

  // The whole text is the program name and the only argument: never split,
  // never given to a shell.
  static Command single(std::string program) {
    Command command;
    command.args.push_back(program);
    command.program = std::move(program);
    return command;
  }
};

}  // namespace quillo::pty
