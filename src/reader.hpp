#pragma once

#include <pthread.h>

#include <chrono>
#include <expected>
#include <memory>

#include "pty/owned_fd.hpp"
#include "src/channel.hpp"

namespace quillo {

// Wakes a reader thread that must stop although its terminal is still open
// (a grandchild holds the child side). Shared by the thread and its handle.
class StopSignal {
 public:
  // The errno when no eventfd can be had (e.g. the descriptor table is full).
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
  ReaderHandle(pthread_t thread, std::shared_ptr<StopSignal> stop)
      : thread_(thread), stop_(std::move(stop)), joinable_(true) {}
  ReaderHandle(ReaderHandle&& other) noexcept;
  ReaderHandle& operator=(ReaderHandle&&) = delete;
  ReaderHandle(const ReaderHandle&) = delete;
  ~ReaderHandle();

  // Lets the thread drain what is already in the terminal for at most `grace`,
  // then stops it and joins. Never blocks longer than the grace plus the time
  // the thread needs to notice the stop.
  void stop_and_join(std::chrono::milliseconds grace) noexcept;

 private:
  pthread_t thread_{};
  std::shared_ptr<StopSignal> stop_;
  bool joinable_ = false;
};

// Starts the thread "quillo_reader": one read of at most 8,192 bytes per
// chunk, each chunk sent as it was read, until end of file, a read error, a
// failed send or a raised `stop`. Failing to start it is an internal failure.
ReaderHandle spawn_reader_thread(pty::OwnedFd fd, ChunkSender sender,
                                 std::shared_ptr<StopSignal> stop);

}  // namespace quillo
