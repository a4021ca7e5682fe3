#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace quillo {

// The bytes of one read of the terminal: 1 to 8,192 bytes, never merged.
using Chunk = std::vector<std::uint8_t>;

enum class RecvStatus {
  kReceived,      // bytes were appended
  kEmpty,         // nothing queued, sender still there (try_recv)
  kTimedOut,      // nothing arrived in time (recv_timeout)
  kDisconnected,  // nothing queued and the sender is gone
};

namespace detail {
struct ChannelState {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<Chunk> queue;
  // Bytes of queue.front() already handed out by a receive that hit its cap.
  std::size_t front_taken = 0;
  bool sender_alive = true;
  bool receiver_alive = true;
};
}  // namespace detail

// The reader thread's end. Sending never waits.
class ChunkSender {
 public:
  explicit ChunkSender(std::shared_ptr<detail::ChannelState> state) : state_(std::move(state)) {}
  ChunkSender(ChunkSender&&) noexcept = default;
  ChunkSender& operator=(ChunkSender&&) noexcept = default;
  ~ChunkSender() { close(); }

  // False (and the chunk is dropped) once the receiving end is gone.
  bool send(Chunk chunk);
  // Wakes receivers; queued chunks stay receivable.
  void close() noexcept;

 private:
  std::shared_ptr<detail::ChannelState> state_;
};

// The session's end. A receive takes at most `limit` bytes from the oldest
// chunk; whatever a limit leaves of a chunk stays at the front of the queue
// for the next receive, so a cap never loses output.
class ChunkReceiver {
 public:
  explicit ChunkReceiver(std::shared_ptr<detail::ChannelState> state) : state_(std::move(state)) {}
  ChunkReceiver(ChunkReceiver&&) noexcept = default;
  ChunkReceiver& operator=(ChunkReceiver&&) noexcept = default;
  ~ChunkReceiver() { close(); }

  RecvStatus try_recv_into(std::vector<std::uint8_t>& out, std::size_t limit);
  RecvStatus recv_timeout_into(std::vector<std::uint8_t>& out, std::size_t limit,
                               std::chrono::nanoseconds timeout);
  // Frees every queued chunk; later sends fail.
  void close() noexcept;

 private:
  // With the state's mutex held and the queue non-empty.
  void take_front(std::vector<std::uint8_t>& out, std::size_t limit);
  std::shared_ptr<detail::ChannelState> state_;
};

struct Channel {
  ChunkSender sender;
  ChunkReceiver receiver;
};

Channel make_channel();

}  // namespace quillo
