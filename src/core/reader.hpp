#pragma once

#include <pthread.h>

#include <chrono>
#include <expected>
#include <memory>

#include "pty/owned_fd.hpp"
#include "src/core/channel.hpp"

namespace quillo {

// Wakes a reader thread that must stop although its terminal is still open
// (a grandchild holds the child side). Shared by the thread and its handle.
class StopSignal {
 public:
  // The errno when no eventfd can be had (e.g. the descriptor table is full).
  // Like every descriptor of a session it is close-on-exec and numbered 3 or
  // above, so a host that restores 0-2 with dup2 cannot clobber it.
  static std::expected<std::shared_ptr<StopSignal>, int> create();
  void raise() noexcept;
  int fd() const noexcept { return fd_.get(); }

 private:
  explicit StopSignal(pty::OwnedFd fd) : fd_(std::move(fd)) {}
  pty::OwnedFd fd_;
};

// Join handle of a reader thread. Dropping an unjoined handle detaches it.
class ReaderHandle {
 public:
  ReaderHandle(pthread_t thread, std::shared_ptr<StopSignal> stop, SendStopper stopper)
      : thread_(thread), stop_(std::move(stop)), stopper_(std::move(stopper)), joinable_(true) {}
  ReaderHandle(ReaderHandle&& other) noexcept;
  ReaderHandle& operator=(ReaderHandle&&) = delete;
  ReaderHandle(const ReaderHandle&) = delete;
  ~ReaderHandle();

  // Gives the thread up to `grace` to reach the end of the terminal by itself
  // (output may still be on its way), then stops it and joins. A stopped
  // thread first takes whatever the terminal already holds (see
  // kStopDrainLimit), so a late reader loses nothing. A thread that waits for
  // room in a full queue cannot end by itself and is stopped at once.
  void stop_and_join(std::chrono::milliseconds grace) noexcept;

 private:
  void stop() noexcept;

  pthread_t thread_{};
  std::shared_ptr<StopSignal> stop_;
  SendStopper stopper_;
  bool joinable_ = false;
};

// Most bytes a stopped reader still takes from the terminal. Far more than a
// terminal holds (its 4 KiB line buffer and at most 64 KiB in flight), so all
// of that is kept; the bound only ends the drain when a grandchild keeps
// writing into the terminal as fast as it is read.
inline constexpr std::size_t kStopDrainLimit = 1024 * 1024;

// Starts the thread "quillo_reader": one read of at most 8,192 bytes per
// chunk, each chunk sent as it was read, until end of file, a read error, a
// failed send or a raised stop. While the queue holds its bound the thread
// does not read. Failing to start it is an internal failure.
ReaderHandle spawn_reader_thread(pty::OwnedFd fd, ChunkSender sender, SendStopper stopper,
                                 std::shared_ptr<StopSignal> stop);

}  // namespace quillo
