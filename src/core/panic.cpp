#include "src/core/panic.hpp"

#include <pthread.h>
#include <unistd.h>

#include <array>
#include <cstring>

namespace quillo {

void report_failure(const std::string& message, std::source_location where) noexcept {
  try {
    std::array<char, 32> name{};
    if (pthread_getname_np(pthread_self(), name.data(), name.size()) != 0 || name[0] == '\0') {
      std::strcpy(name.data(), "<unnamed>");
    }
    std::string text = "thread '";
    text += name.data();
    text += "' panicked at ";
    text += where.file_name();
    text += ':';
    text += std::to_string(where.line());
    text += ':';
    text += std::to_string(where.column());
    text += ":\n";
    text += message;
    text += '\n';
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
      ssize_t n = ::write(STDERR_FILENO, p, left);
      if (n <= 0) break;
      p += n;
      left -= static_cast<std::size_t>(n);
    }
  } catch (...) {
    // Out of memory while reporting: the exception that follows still carries the text.
  }
}

void panic(std::string message, std::source_location where) {
  report_failure(message, where);
  throw InternalFailure(std::move(message));
}

}  // namespace quillo
