// Creating a child on a new pseudo-terminal.
//
// The parent prepares everything (slave name, exec plan, descriptor limit)
// before fork; the child side is straight-line code that only makes system
// calls and reports the first failure's errno through a close-on-exec pipe.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <string>

#include "pty/exec_plan.hpp"
#include "pty/pty_process.hpp"

namespace quillo::pty {
namespace {

constexpr unsigned short kRows = 24;
constexpr unsigned short kCols = 80;

// Only these bits of each mode word are written back when echo is turned off.
constexpr tcflag_t kInputMask = 0x7DFF;
constexpr tcflag_t kOutputMask = 0xFFFF;
constexpr tcflag_t kControlMask = 0xD00F1FFF;
constexpr tcflag_t kLocalMask = 0x1DFF3;

int set_term_size(int fd) noexcept {
  struct winsize size{};
  size.ws_row = kRows;
  size.ws_col = kCols;
  return ::ioctl(fd, TIOCSWINSZ, &size) == 0 ? 0 : errno;
}

std::uint8_t host_control_char(int index, std::uint8_t fallback) noexcept {
  struct termios attrs{};
  if (::tcgetattr(0, &attrs) == 0 || ::tcgetattr(1, &attrs) == 0) return attrs.c_cc[index];
  return fallback;
}

// Moves a descriptor that landed on 0, 1 or 2 (the host had closed them) out of
// the way of the child's standard descriptors. Keeps close-on-exec.
int lift_above_stdio(OwnedFd& fd) noexcept {
  auto lifted = OwnedFd::lift_above_stdio(std::move(fd));
  if (!lifted) return lifted.error();
  fd = std::move(*lifted);
  return 0;
}

// Closes every descriptor from 3 up except those in `keep` (all >= 3).
void close_all_except(std::array<int, 4> keep, long open_max) noexcept {
  // Insertion sort: no library call that might allocate.
  for (std::size_t i = 1; i < keep.size(); ++i) {
    for (std::size_t j = i; j > 0 && keep[j - 1] > keep[j]; --j) std::swap(keep[j - 1], keep[j]);
  }
  unsigned int from = 3;
  bool have_close_range = true;
  for (int kept : keep) {
    if (static_cast<unsigned int>(kept) > from) {
      if (::syscall(SYS_close_range, from, static_cast<unsigned int>(kept) - 1, 0U) != 0) {
        have_close_range = false;
        break;
      }
    }
    from = std::max(from, static_cast<unsigned int>(kept) + 1);
  }
  if (have_close_range && ::syscall(SYS_close_range, from, ~0U, 0U) == 0) return;
  // Kernels without close_range: one close per number below the limit.
  for (long fd = 3; fd < open_max; ++fd) {
    if (std::find(keep.begin(), keep.end(), static_cast<int>(fd)) == keep.end()) {
      (void)::close(static_cast<int>(fd));
    }
  }
}

// ---------------------------------------------------------------- the child
//
// Everything from here to exec runs in the child, which shares the parent's
// memory (clone with CLONE_VM | CLONE_VFORK) or is a fresh fork of a possibly
// threaded parent. The contract for this code:
// - only async-signal-safe system calls (open, close, dup2, fcntl, ioctl,
//   tcgetattr/tcsetattr, setsid, sigaction, sigprocmask, execve, write,
//   _exit, the close_range syscall); no allocation, no locks, no stdio, no
//   errno-setting library call whose state another thread may hold;
// - it reads only what the parent prepared before the clone (the exec plan,
//   the slave's name, descriptor numbers, the limit) and writes only into the
//   exec plan's own storage and its locals;
// - it never returns into the parent's frames: every path ends in execve or
//   _exit;
// - no handler of the host can run (all signals stay blocked until every
//   caught one is reset to its default).
// The extension is linked with immediate binding (-z now), so no call here
// goes through the lazy symbol binder on the borrowed stack.

// The child's steps up to exec. Returns the errno to report.
int child_steps(ExecPlan& plan, const char* slave_name, int master, int pipe_read, int pipe_write,
                long open_max) noexcept {
  // Probe the inherited controlling terminal; having none is fine.
  int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY);
  if (tty >= 0) {
    if (::close(tty) != 0) return errno;
  } else if (errno != ENXIO) {
    return errno;
  }

  if (::setsid() < 0) return errno;

  // After setsid there must be no controlling terminal any more.
  tty = ::open("/dev/tty", O_RDWR | O_NOCTTY);
  if (tty >= 0) {
    if (::close(tty) != 0) return errno;
    return EOPNOTSUPP;
  }
  if (errno != ENXIO) return EOPNOTSUPP;

  // A session leader without a controlling terminal acquires the first
  // terminal it opens without O_NOCTTY.
  int acquire = ::open(slave_name, O_RDWR);
  if (acquire < 0) return errno;
  if (::close(acquire) != 0) return errno;

  tty = ::open("/dev/tty", O_WRONLY);
  if (tty < 0) return errno;
  if (::close(tty) != 0) return errno;

  int slave = ::open(slave_name, O_RDWR | O_NOCTTY);
  if (slave < 0) return errno;
  if (slave < 3) {
    // The host had closed a standard descriptor; keep the slave clear of 0-2.
    int lifted = ::fcntl(slave, F_DUPFD, 3);
    if (lifted < 0) return errno;
    (void)::close(slave);
    slave = lifted;
  }

  // A standard descriptor the host had closed is not an error: dup2 below
  // installs it either way.
  for (int fd = 0; fd < 3; ++fd) {
    if (::close(fd) != 0 && errno != EBADF) return errno;
  }
  for (int fd = 0; fd < 3; ++fd) {
    if (::dup2(slave, fd) < 0) return errno;
  }

  struct termios attrs{};
  if (::tcgetattr(0, &attrs) != 0) return errno;
  attrs.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  attrs.c_iflag &= kInputMask;
  attrs.c_oflag &= kOutputMask;
  attrs.c_cflag &= kControlMask;
  attrs.c_lflag &= kLocalMask;
  if (::tcsetattr(0, TCSANOW, &attrs) != 0) return errno;

  if (int err = set_term_size(0); err != 0) return err;

  close_all_except({master, pipe_read, pipe_write, slave}, open_max);

  if (::close(slave) != 0) return errno;
  if (::close(pipe_read) != 0) return errno;
  (void)::close(master);

  if (::fcntl(pipe_write, F_SETFD, FD_CLOEXEC) != 0) return errno;

  ::signal(SIGPIPE, SIG_DFL);
  return plan.exec();
}

[[noreturn]] void child_main(ExecPlan& plan, const char* slave_name, int master, int pipe_read,
                             int pipe_write, long open_max) noexcept {
  int err = child_steps(plan, slave_name, master, pipe_read, pipe_write, open_max);
  if (err == 0) err = EINVAL;  // exec returned without an errno: still a failure
  auto value = static_cast<std::uint32_t>(err);
  unsigned char record[4] = {
      static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
      static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
  (void)!::write(pipe_write, record, sizeof record);
  (void)::close(pipe_write);
  ::_exit(err & 0xFF);
}

struct ChildArgs {
  ExecPlan* plan;
  const char* slave_name;
  int master;
  int pipe_read;
  int pipe_write;
  long open_max;
  const sigset_t* mask;  // the spawning thread's own mask, restored in the child
};

// Sanitizer runtimes cannot follow a child on a foreign stack: those builds fork.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUILLO_SPAWN_WITH_FORK 1
#endif

#ifndef QUILLO_SPAWN_WITH_FORK
// Entry of a child that shares the parent's memory until it execs. Every
// caught signal goes back to its default action before signals are unblocked,
// so no handler of the host can run on shared memory in the child.
int shared_memory_child(void* arg) {
  auto* a = static_cast<ChildArgs*>(arg);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    struct sigaction current{};
    if (::sigaction(sig, nullptr, &current) != 0) continue;
    if (current.sa_handler != SIG_IGN || sig == SIGPIPE) {
      struct sigaction dfl{};
      dfl.sa_handler = SIG_DFL;
      ::sigaction(sig, &dfl, nullptr);
    }
  }
  ::sigprocmask(SIG_SETMASK, a->mask, nullptr);
  child_main(*a->plan, a->slave_name, a->master, a->pipe_read, a->pipe_write, a->open_max);
}

// The borrowed stack the child runs on until it execs: 64 KiB above one
// inaccessible page, so an overflow faults instead of writing into whatever
// lies below.
class ChildStack {
 public:
  static constexpr std::size_t kSize = 64 * 1024;
  ChildStack() noexcept {
    page_ = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    void* base =
        ::mmap(nullptr, page_ + kSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (base == MAP_FAILED) return;
    base_ = static_cast<std::uint8_t*>(base);
    if (::mprotect(base_ + page_, kSize, PROT_READ | PROT_WRITE) != 0) {
      int err = errno;
      ::munmap(base_, page_ + kSize);
      base_ = nullptr;
      errno = err;
    }
  }
  ~ChildStack() {
    if (base_ != nullptr) ::munmap(base_, page_ + kSize);
  }
  ChildStack(const ChildStack&) = delete;
  ChildStack& operator=(const ChildStack&) = delete;
  bool valid() const noexcept { return base_ != nullptr; }
  void* top() const noexcept { return base_ + page_ + kSize; }

 private:
  std::uint8_t* base_ = nullptr;
  std::size_t page_ = 0;
};

#endif

// Starts the child. Normally it shares our memory and we are suspended until
// it has exec'd or exited (what posix_spawn does): no page tables are copied,
// so the cost does not grow with the host's size.
pid_t start_child(ChildArgs& args) {
#ifdef QUILLO_SPAWN_WITH_FORK
  pid_t pid = ::fork();
  if (pid == 0) {
    child_main(*args.plan, args.slave_name, args.master, args.pipe_read, args.pipe_write,
               args.open_max);
  }
  return pid;
#else
  ChildStack stack;
  if (!stack.valid()) return -1;
  sigset_t all, previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  args.mask = &previous;
  pid_t pid = ::clone(shared_memory_child, stack.top(), CLONE_VM | CLONE_VFORK | SIGCHLD, &args);
  int err = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = err;
  return pid;
#endif
}

// Waits for a child that is exiting or must be made to, so none is left a zombie.
void reap(pid_t pid, bool kill_first) noexcept {
  if (kill_first) (void)::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// Ends and reaps the forked child unless the spawn completes.
class ChildGuard {
 public:
  explicit ChildGuard(pid_t pid) noexcept : pid_(pid) {}
  ChildGuard(const ChildGuard&) = delete;
  ChildGuard& operator=(const ChildGuard&) = delete;
  ~ChildGuard() {
    if (pid_ > 0) reap(pid_, true);
  }
  void disarm() noexcept { pid_ = -1; }
  // The child reported failure and is exiting by itself.
  void reap_exited() noexcept {
    reap(pid_, false);
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

}  // namespace

std::expected<PtyProcess, Errno> PtyProcess::spawn(Command command) {
  auto fail = [](int err) { return std::unexpected(Errno::from_raw(err)); };

  auto plan = ExecPlan::build(command);
  if (!plan) return std::unexpected(plan.error());

  // Close-on-exec from the start: no program the host starts meanwhile may
  // inherit the terminal or the status pipe.
  OwnedFd master(::posix_openpt(O_RDWR | O_CLOEXEC));
  if (!master) return fail(errno);
  if (::grantpt(master.get()) != 0) return fail(errno);
  if (::unlockpt(master.get()) != 0) return fail(errno);
  if (int err = lift_above_stdio(master); err != 0) return fail(err);

  std::array<char, 64> slave_name{};
  if (int err = ::ptsname_r(master.get(), slave_name.data(), slave_name.size()); err != 0) {
    return fail(err);
  }

  errno = 0;
  long open_max = ::sysconf(_SC_OPEN_MAX);
  if (open_max < 0) {
    if (errno != 0) return fail(errno);
    open_max = 65536;  // no determinate limit: bounds the fallback sweep only
  }

  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return fail(errno);
  OwnedFd pipe_read(pipe_fds[0]);
  OwnedFd pipe_write(pipe_fds[1]);
  if (int err = lift_above_stdio(pipe_read); err != 0) return fail(err);
  if (int err = lift_above_stdio(pipe_write); err != 0) return fail(err);

  ChildArgs args{&*plan,           slave_name.data(), master.get(), pipe_read.get(),
                 pipe_write.get(), open_max,          nullptr};
  pid_t pid = start_child(args);
  if (pid < 0) return fail(errno);
  ChildGuard child(pid);

  if (auto closed = pipe_write.close(); !closed) return std::unexpected(closed.error());

  // Until the child execs (the pipe closes) or reports. Signals meant for the
  // host must not cut this short.
  std::array<unsigned char, 4> record{};
  std::size_t got = 0;
  while (got < record.size()) {
    ssize_t n = ::read(pipe_read.get(), record.data() + got, record.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (auto closed = pipe_read.close(); !closed) return std::unexpected(closed.error());

  std::int32_t reported = static_cast<std::int32_t>(
      (std::uint32_t{record[0]} << 24) | (std::uint32_t{record[1]} << 16) |
      (std::uint32_t{record[2]} << 8) | std::uint32_t{record[3]});
  if (reported != 0) {
    child.reap_exited();
    return fail(reported);
  }

  if (int err = set_term_size(master.get()); err != 0) return fail(err);

  std::uint8_t eof = host_control_char(VEOF, 4);
  std::uint8_t intr = host_control_char(VINTR, 3);
  child.disarm();
  return PtyProcess(PtyMaster(std::move(master)), pid, eof, intr);
}

}  // namespace quillo::pty
