#include "src/core/channel.hpp"

#include <algorithm>

namespace quillo {

Channel make_channel(std::size_t bound) {
  auto state = std::make_shared<detail::ChannelState>(bound);
  return Channel{ChunkSender(state), ChunkReceiver(state), SendStopper(state)};
}

bool ChunkSender::send(Chunk chunk) {
  if (!state_) return false;
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->receiver_alive) return false;
    state_->queued += chunk.size();
    state_->queue.push_back(std::move(chunk));
  }
  state_->arrived.notify_one();
  return true;
}

bool ChunkSender::wait_for_room() {
  if (!state_) return false;
  std::unique_lock lock(state_->mutex);
  auto& s = *state_;
  if (s.queued >= s.bound && !s.stop_requested && s.receiver_alive) {
    s.sender_waiting = true;
    s.room.wait(lock, [&s] { return s.queued < s.bound || s.stop_requested || !s.receiver_alive; });
    s.sender_waiting = false;
  }
  return !s.stop_requested && s.receiver_alive;
}

void ChunkSender::close() noexcept {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->sender_alive = false;
  }
  state_->arrived.notify_all();
  state_.reset();
}

void SendStopper::stop() noexcept {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->stop_requested = true;
  }
  state_->room.notify_all();
}

bool SendStopper::sender_waiting() const noexcept {
  if (!state_) return false;
  std::lock_guard lock(state_->mutex);
  return state_->sender_waiting;
}

void ChunkReceiver::take_front(std::vector<std::uint8_t>& out, std::size_t limit) {
  Chunk& front = state_->queue.front();
  std::size_t available = front.size() - state_->front_taken;
  std::size_t n = std::min(available, limit);
  auto begin = front.begin() + static_cast<std::ptrdiff_t>(state_->front_taken);
  out.insert(out.end(), begin, begin + static_cast<std::ptrdiff_t>(n));
  if (n == available) {
    state_->queue.pop_front();
    state_->front_taken = 0;
  } else {
    state_->front_taken += n;
  }
  bool was_full = state_->queued >= state_->bound;
  state_->queued -= n;
  // Woken under the lock: the waiter re-checks the count when it gets it.
  if (was_full && state_->queued < state_->bound && state_->sender_waiting) {
    state_->room.notify_one();
  }
}

RecvStatus ChunkReceiver::try_recv_into(std::vector<std::uint8_t>& out, std::size_t limit) {
  if (!state_) return RecvStatus::kDisconnected;
  std::lock_guard lock(state_->mutex);
  if (state_->queue.empty()) {
    return state_->sender_alive ? RecvStatus::kEmpty : RecvStatus::kDisconnected;
  }
  take_front(out, limit);
  return RecvStatus::kReceived;
}

RecvStatus ChunkReceiver::recv_timeout_into(std::vector<std::uint8_t>& out, std::size_t limit,
                                            std::chrono::nanoseconds timeout) {
  if (!state_) return RecvStatus::kDisconnected;
  std::unique_lock lock(state_->mutex);
  auto ready = [this] { return !state_->queue.empty() || !state_->sender_alive; };
  if (!ready() && !state_->arrived.wait_for(lock, timeout, ready)) return RecvStatus::kTimedOut;
  if (state_->queue.empty()) return RecvStatus::kDisconnected;
  take_front(out, limit);
  return RecvStatus::kReceived;
}

void ChunkReceiver::close() noexcept {
  if (!state_) return;
  std::deque<Chunk> dropped;
  {
    std::lock_guard lock(state_->mutex);
    state_->receiver_alive = false;
    dropped.swap(state_->queue);
    state_->front_taken = 0;
    state_->queued = 0;
  }
  state_->room.notify_all();
  state_.reset();
}

}  // namespace quillo
