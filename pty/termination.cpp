// Liveness, termination and release of a PtyProcess.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "pty/pty_process.hpp"

namespace quillo::pty {
namespace {

using Clock = std::chrono::steady_clock;

// A descriptor that becomes readable when the child ends; invalid where the
// kernel has no pidfd_open, in which case pauses simply sleep.
OwnedFd open_pidfd(pid_t pid) noexcept {
#ifdef SYS_pidfd_open
  long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) {
    ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    // Kept clear of 0-2 like every other descriptor we hold; without a number
    // to spare, pauses simply sleep.
    auto lifted = OwnedFd::lift_above_stdio(OwnedFd(static_cast<int>(fd)));
    if (lifted) return std::move(*lifted);
  }
#else
  (void)pid;
#endif
  return OwnedFd();
}

}  // namespace

PtyProcess::PtyProcess(PtyProcess&& other) noexcept
    : master_(std::move(other.master_)),
      child_pid_(other.child_pid_),
      reaped_(other.reaped_),
      released_(std::exchange(other.released_, true)),
      eof_char_(other.eof_char_),
      intr_char_(other.intr_char_) {}

PtyProcess::~PtyProcess() {
  (void)release();
}

std::expected<OwnedFd, Errno> PtyProcess::get_raw_handle() const noexcept {
  auto dup = OwnedFd::duplicate(master_.get(), 0);
  if (!dup) return std::unexpected(Errno::from_raw(dup.error()));
  return std::move(*dup);
}

std::expected<PtyProcess::PollOutcome, Errno> PtyProcess::poll() noexcept {
  if (reaped_) return PollOutcome::kGone;
  int status = 0;
  pid_t r = ::waitpid(child_pid_, &status, WNOHANG);
  if (r == 0) return PollOutcome::kRunning;
  if (r < 0) {
    int err = errno;
    if (err == ECHILD || err == ESRCH) {
      // Somebody else collected it (or SIGCHLD is ignored): either way it is gone.
      reaped_ = true;
      return PollOutcome::kGone;
    }
    return std::unexpected(Errno::from_raw(err));
  }
  reaped_ = true;
  if (WIFEXITED(status)) return PollOutcome::kGone;
  int sig = status & 0x7F;
  if (sig >= 1 && sig <= 31) return PollOutcome::kGone;
  return std::unexpected(Errno::from_raw(EINVAL));
}

std::expected<bool, Errno> PtyProcess::is_alive() noexcept {
  auto outcome = poll();
  if (!outcome) return std::unexpected(outcome.error());
  return *outcome == PollOutcome::kRunning;
}

void PtyProcess::pause_for_exit(int pidfd, std::chrono::nanoseconds delay) noexcept {
  auto deadline = Clock::now() + delay;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
    if (left <= std::chrono::nanoseconds::zero()) return;
    if (pidfd >= 0) {
      struct pollfd pfd{pidfd, POLLIN, 0};
      struct timespec ts{static_cast<time_t>(left.count() / 1'000'000'000),
                         static_cast<long>(left.count() % 1'000'000'000)};
      int r = ::ppoll(&pfd, 1, &ts, nullptr);
      if (r > 0) return;  // the child has ended
      if (r < 0 && errno != EINTR) pidfd = -1;
    } else {
      struct timespec ts{static_cast<time_t>(left.count() / 1'000'000'000),
                         static_cast<long>(left.count() % 1'000'000'000)};
      ::nanosleep(&ts, nullptr);
    }
  }
}

std::expected<bool, Errno> PtyProcess::exit(bool force) noexcept {
  auto outcome = poll();
  if (!outcome) return std::unexpected(outcome.error());
  if (*outcome == PollOutcome::kGone) return true;

  // Safe against pid reuse: the child is not reaped yet, so its pid is still ours.
  OwnedFd pidfd = open_pidfd(child_pid_);
  auto signal_and_wait = [&](int sig) -> std::expected<bool, Errno> {
    if (::kill(child_pid_, sig) != 0) return std::unexpected(Errno::last());
    pause_for_exit(pidfd.get(), kTerminateDelay);
    auto after = poll();
    if (!after) return std::unexpected(after.error());
    return *after == PollOutcome::kGone;
  };

  for (int sig : std::array{SIGHUP, SIGCONT, SIGINT, SIGTERM}) {
    auto gone = signal_and_wait(sig);
    if (!gone || *gone) return gone;
  }
  if (!force) return false;
  if (::kill(child_pid_, SIGKILL) != 0) return std::unexpected(Errno::last());
  return wait_killed(pidfd.get());
}

std::expected<bool, Errno> PtyProcess::wait_killed(int pidfd) noexcept {
  // SIGKILL cannot be caught, but on a loaded machine the child may take
  // longer than one pause to die. Reaping it here matters: nothing waits for
  // it later, so a child missed now would stay a zombie for good.
  auto deadline = Clock::now() + kKilledExitBound;
  for (;;) {
    auto outcome = poll();
    if (!outcome) return std::unexpected(outcome.error());
    if (*outcome == PollOutcome::kGone) return true;
    auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;  // stuck in the kernel
    // Without a pidfd, look again every 10 ms.
    pause_for_exit(pidfd, pidfd >= 0 ? left : std::min<Clock::duration>(left, kKilledPollStep));
  }
}

std::expected<void, Errno> PtyProcess::release() noexcept {
  if (released_) return {};
  released_ = true;
  auto outcome = poll();
  if (outcome && *outcome == PollOutcome::kRunning) (void)exit(true);
  return master_.close();
}

}  // namespace quillo::pty
