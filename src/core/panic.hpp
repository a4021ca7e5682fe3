#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace quillo {

// The one exception type for a broken invariant (a poisoned lock met by an
// unconditional check, a thread that cannot be started, a call from a thread
// that does not own the object). Every Python entry point catches it and
// raises PanicException.
class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Writes a diagnostic naming the thread and the source location to standard
// error, then throws InternalFailure.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Writes the diagnostic without throwing (for failures that cannot unwind).
void report_failure(const std::string& message, std::source_location where) noexcept;

}  // namespace quillo
