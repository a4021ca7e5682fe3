#pragma once

#include <string>
#include <vector>

namespace quillo::pty {

// What to execute in the child. `args[0]` is the program name as the child
// sees it. The child inherits the host's environment unchanged.
struct Command {
  std::string program;
  std::vector<std::string> args;

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
