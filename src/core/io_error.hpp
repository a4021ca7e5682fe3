#pragma once

#include <string>

namespace quillo {

// An I/O failure as the session reports it: either an OS error number,
// rendered "Input/output error (os error 5)", or a fixed text of its own.
struct IoError {
  int code = 0;
  const char* text = nullptr;  // used when code is 0

  static IoError os(int code) { return IoError{code, nullptr}; }
  static IoError custom(const char* text) { return IoError{0, text}; }
  std::string to_string() const;
};

}  // namespace quillo
