#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <expected>
#include <utility>

#include "pty/errno.hpp"

namespace quillo::pty {

// Sole owner of one open descriptor. Closing errors are ignored: by the time a
// descriptor is dropped nobody is left to act on them.
class OwnedFd {
 public:
  OwnedFd() noexcept = default;
  explicit OwnedFd(int fd) noexcept : fd_(fd) {}
  OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  ~OwnedFd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }

  // Gives the descriptor up without closing it.
  int release() noexcept { return std::exchange(fd_, -1); }

  void reset() noexcept {
    if (fd_ >= 0) {
      (void)::close(fd_);
      fd_ = -1;
    }
  }

  // Closes and reports the result; the descriptor is gone either way.
  std::expected<void, Errno> close() noexcept {
    if (fd_ < 0) return {};
    int rc = ::close(std::exchange(fd_, -1));
    if (rc != 0 && errno != EINTR) return std::unexpected(Errno::last());
    return {};
  }

  // A close-on-exec duplicate at the lowest free number not below `lowest`.
  static std::expected<OwnedFd, int> duplicate(int fd, int lowest = 3) noexcept {
    int dup = ::fcntl(fd, F_DUPFD_CLOEXEC, lowest);
    if (dup < 0) return std::unexpected(errno);
    return OwnedFd(dup);
  }

  // `fd` itself when it is numbered 3 or above, else a close-on-exec duplicate
  // that is (the original is closed). A host that had closed 0, 1 or 2 may
  // restore them with dup2 at any time, which would silently replace ours.
  static std::expected<OwnedFd, int> lift_above_stdio(OwnedFd fd) noexcept {
    if (fd.get() >= 3) return fd;
    return duplicate(fd.get(), 3);
  }

 private:
  int fd_ = -1;
};

}  // namespace quillo::pty
