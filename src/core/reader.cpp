#include "src/core/reader.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "src/core/panic.hpp"

namespace quillo {
namespace {

constexpr std::size_t kReadSize = 8192;

// The thread holds a heap buffer and a few frames; a small stack keeps
// hundreds of sessions cheap. Sanitizer builds need more room per frame.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kStackSize = 1024 * 1024;
#else
constexpr std::size_t kStackSize = 128 * 1024;
#endif

struct ReaderState {
  pty::OwnedFd fd;
  ChunkSender sender;
  std::shared_ptr<StopSignal> stop;
};

// After a stop: takes what the terminal already holds, without waiting for
// more, up to kStopDrainLimit.
void drain(ReaderState& state, std::uint8_t* buffer) {
  std::size_t taken = 0;
  while (taken < kStopDrainLimit) {
    ssize_t n = ::read(state.fd.get(), buffer, kReadSize);
    if (n < 0 && errno == EINTR) continue;
    // Nothing more held (EAGAIN), end of file or an error: done.
    if (n <= 0) return;
    if (!state.sender.send(Chunk(buffer, buffer + n))) return;
    taken += static_cast<std::size_t>(n);
  }
}

void run_reader(ReaderState& state) {
  auto buffer = std::make_unique<std::uint8_t[]>(kReadSize);  // zero-filled
  std::array<pollfd, 2> fds{pollfd{state.fd.get(), POLLIN, 0}, pollfd{state.stop->fd(), POLLIN, 0}};
  for (;;) {
    // False once close stopped us (or the session is gone, then sends fail).
    if (!state.sender.wait_for_room()) break;
    int ready = ::poll(fds.data(), fds.size(), -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) break;
    if (fds[0].revents == 0) continue;
    ssize_t n = ::read(state.fd.get(), buffer.get(), kReadSize);
    // The terminal is non-blocking (see the writer): nothing to read yet is
    // not an end. End of file or an error (EIO once the child side is gone) is.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return;
    if (!state.sender.send(Chunk(buffer.get(), buffer.get() + n))) return;
  }
  drain(state, buffer.get());
}

extern "C" void* reader_main(void* arg) {
  std::unique_ptr<ReaderState> state(static_cast<ReaderState*>(arg));
  try {
    run_reader(*state);
  } catch (...) {
    // Out of memory for a chunk: end the stream like a read error would.
  }
  // Dropping the state closes the descriptor and disconnects the channel.
  return nullptr;
}

}  // namespace

std::expected<std::shared_ptr<StopSignal>, int> StopSignal::create() {
  pty::OwnedFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!fd) return std::unexpected(errno);
  if (auto lifted = pty::OwnedFd::lift_above_stdio(std::move(fd)); lifted) {
    return std::shared_ptr<StopSignal>(new StopSignal(std::move(*lifted)));
  } else {
    return std::unexpected(lifted.error());
  }
}

void StopSignal::raise() noexcept {
  std::uint64_t one = 1;
  (void)!::write(fd_.get(), &one, sizeof one);
}

ReaderHandle::ReaderHandle(ReaderHandle&& other) noexcept
    : thread_(other.thread_),
      stop_(std::move(other.stop_)),
      stopper_(std::move(other.stopper_)),
      joinable_(std::exchange(other.joinable_, false)) {}

ReaderHandle::~ReaderHandle() {
  if (joinable_) ::pthread_detach(thread_);
}

void ReaderHandle::stop() noexcept {
  stopper_.stop();
  stop_->raise();
}

void ReaderHandle::stop_and_join(std::chrono::milliseconds grace) noexcept {
  if (!joinable_) return;
  joinable_ = false;
  if (stopper_.sender_waiting()) {
    stop();
    ::pthread_join(thread_, nullptr);
    return;
  }
  struct timespec deadline{};
  ::clock_gettime(CLOCK_MONOTONIC, &deadline);
  auto ns = deadline.tv_nsec + std::chrono::nanoseconds(grace).count();
  deadline.tv_sec += static_cast<time_t>(ns / 1'000'000'000);
  deadline.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  int rc;
  do {
    rc = ::pthread_clockjoin_np(thread_, nullptr, CLOCK_MONOTONIC, &deadline);
  } while (rc == EINTR);
  if (rc == 0) return;
  stop();
  ::pthread_join(thread_, nullptr);
}

ReaderHandle spawn_reader_thread(pty::OwnedFd fd, ChunkSender sender, SendStopper stopper,
                                 std::shared_ptr<StopSignal> stop) {
  auto state = std::make_unique<ReaderState>(ReaderState{std::move(fd), std::move(sender), stop});

  pthread_attr_t attr;
  ::pthread_attr_init(&attr);
  ::pthread_attr_setstacksize(&attr, kStackSize);

  // The thread starts with every blockable signal blocked, so no signal meant
  // for the host (SIGINT, SIGALRM, SIGCHLD) is ever delivered to it.
  sigset_t all, previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t thread;
  int rc = ::pthread_create(&thread, &attr, reader_main, state.get());
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ::pthread_attr_destroy(&attr);
  if (rc != 0) {
    panic(std::string("failed to spawn reader thread: ") + std::strerror(rc) + " (os error " +
          std::to_string(rc) + ")");
  }
  state.release();  // now owned by the thread
  ::pthread_setname_np(thread, "quillo_reader");
  return ReaderHandle(thread, std::move(stop), std::move(stopper));
}

}  // namespace quillo
