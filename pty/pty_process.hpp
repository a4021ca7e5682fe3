#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <expected>

#include "pty/command.hpp"
#include "pty/errno.hpp"
#include "pty/owned_fd.hpp"

namespace quillo::pty {

// The master side of a pseudo-terminal pair. Closing a descriptor that is no
// longer open (EBADF) means somebody closed ours behind our back; that is
// reported to the owner, every other close failure is ignored.
class PtyMaster {
 public:
  PtyMaster() noexcept = default;
  explicit PtyMaster(OwnedFd fd) noexcept : fd_(std::move(fd)) {}
  int get() const noexcept { return fd_.get(); }
  bool valid() const noexcept { return fd_.valid(); }
  std::expected<void, Errno> close() noexcept {
    auto closed = fd_.close();
    if (!closed && closed.error() == EBADF) return closed;
    return {};
  }

 private:
  OwnedFd fd_;
};

// One child process whose controlling terminal is a new pseudo-terminal.
class PtyProcess {
 public:
  static constexpr std::chrono::milliseconds kTerminateDelay{100};
  // After SIGKILL, the longest wait for the child to die and be reaped. It
  // ends as soon as the child is gone (normally at once); only a child stuck
  // in an uninterruptible kernel wait can use it up, and is then left unreaped.
  static constexpr std::chrono::milliseconds kKilledExitBound{5000};
  static constexpr std::chrono::milliseconds kKilledPollStep{10};

  // Blocks until the child has exec'd or reported why it could not.
  static std::expected<PtyProcess, Errno> spawn(Command command);

  PtyProcess(PtyProcess&& other) noexcept;
  PtyProcess& operator=(PtyProcess&&) = delete;
  PtyProcess(const PtyProcess&) = delete;
  PtyProcess& operator=(const PtyProcess&) = delete;
  ~PtyProcess();

  // A fresh close-on-exec duplicate of the master, owned by the caller.
  std::expected<OwnedFd, Errno> get_raw_handle() const noexcept;

  // One non-blocking poll; reaps the child when it has ended.
  std::expected<bool, Errno> is_alive() noexcept;

  // SIGHUP, SIGCONT, SIGINT, SIGTERM, each followed by a pause of up to
  // kTerminateDelay that ends early once the child is gone; when forced, then
  // SIGKILL and a wait of up to kKilledExitBound for the child to be reaped.
  // True once the child has ended.
  std::expected<bool, Errno> exit(bool force) noexcept;

  // Ends a still running child with force, then closes the master. Idempotent.
  // The only error reported is EBADF from closing the master.
  std::expected<void, Errno> release() noexcept;

  pid_t child_pid() const noexcept { return child_pid_; }
  int master_fd() const noexcept { return master_.get(); }
  std::uint8_t eof_char() const noexcept { return eof_char_; }
  std::uint8_t intr_char() const noexcept { return intr_char_; }

 private:
  enum class PollOutcome { kRunning, kGone };

  PtyProcess(PtyMaster master, pid_t pid, std::uint8_t eof, std::uint8_t intr) noexcept
      : master_(std::move(master)), child_pid_(pid), eof_char_(eof), intr_char_(intr) {}

  std::expected<PollOutcome, Errno> poll() noexcept;
  // Sleeps up to `delay`, returning early once the child has ended.
  void pause_for_exit(int pidfd, std::chrono::nanoseconds delay) noexcept;
  // After SIGKILL: polls until the child is reaped, for at most kKilledExitBound.
  std::expected<bool, Errno> wait_killed(int pidfd) noexcept;

  PtyMaster master_;
  pid_t child_pid_ = -1;
  // Set once a wait has collected the child. Its pid may belong to another
  // process from then on, so it is never waited for or signalled again.
  bool reaped_ = false;
  bool released_ = false;
  std::uint8_t eof_char_ = 4;
  std::uint8_t intr_char_ = 3;
};

}  // namespace quillo::pty
