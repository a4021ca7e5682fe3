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

// Most bytes a session keeps queued for its consumers. At the bound the reader
// stops reading the terminal until a consumer has taken chunks below it, so a
// child whose output nobody reads blocks on its own writes, as it would on a
// terminal whose reader paused. Nothing is dropped to keep the bound.
inline constexpr std::size_t kQueueBound = 64 * 1024 * 1024;

enum class RecvStatus {
  kReceived,      // bytes were appended
  kEmpty,         // nothing queued, sender still there (try_recv)
  kTimedOut,      // nothing arrived in time (recv_timeout)
  kDisconnected,  // nothing queued and the sender is gone
};

namespace detail {
struct ChannelState {
  explicit ChannelState(std::size_t bound) : bound(bound) {}
  std::mutex mutex;
  std::condition_variable arrived;
  std::condition_variable room;
  std::deque<Chunk> queue;
  // Bytes of queue.front() already handed out by a receive that hit its cap.
  std::size_t front_taken = 0;
  // Bytes queued and not yet handed out.
  std::size_t queued = 0;
  const std::size_t bound;
  bool sender_alive = true;
  bool receiver_alive = true;
  bool sender_waiting = false;
  bool stop_requested = false;
};
}  // namespace detail

// The reader thread's end.
class ChunkSender {
 public:
  explicit ChunkSender(std::shared_ptr<detail::ChannelState> state) : state_(std::move(state)) {}
  ChunkSender(ChunkSender&&) noexcept = default;
  ChunkSender& operator=(ChunkSender&&) noexcept = default;
  ~ChunkSender() { close(); }

  // Queues the chunk without waiting, whatever is queued already (the caller
  // waits for room first, see wait_for_room). False once the receiving end is
  // gone; the chunk is dropped then.
  bool send(Chunk chunk);
  // Waits, without a timeout, until fewer than the bound's bytes are queued.
  // False instead when a stop was requested or the receiving end is gone.
  bool wait_for_room();
  // Wakes receivers; queued chunks stay receivable.
  void close() noexcept;

 private:
  std::shared_ptr<detail::ChannelState> state_;
};

// What stops the sender: ends a wait for room at once, and makes every later
// one return false.
class SendStopper {
 public:
  explicit SendStopper(std::shared_ptr<detail::ChannelState> state) : state_(std::move(state)) {}
  void stop() noexcept;
  // Whether the sender is waiting for room right now.
  bool sender_waiting() const noexcept;

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
  SendStopper stopper;
};

Channel make_channel(std::size_t bound = kQueueBound);

}  // namespace quillo
