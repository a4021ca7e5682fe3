#pragma once

#include <string>
#include <string_view>

namespace quillo::pty {

// A Linux error number as an error value. Numbers without a name in the
// kernel's generic table collapse to UnknownErrno (value 0).
class Errno {
 public:
  static Errno from_raw(int value) noexcept;
  // The calling thread's current errno.
  static Errno last() noexcept;

  int value() const noexcept { return value_; }
  std::string_view name() const noexcept;
  std::string_view description() const noexcept;
  // "ENOENT: No such file or directory"
  std::string to_string() const;

  friend bool operator==(Errno, Errno) = default;
  friend bool operator==(Errno e, int raw) { return e.value_ == raw; }

 private:
  explicit Errno(int value) noexcept : value_(value) {}
  int value_;
};

}  // namespace quillo::pty
