#include "src/core/history.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace quillo {

ByteRing::ByteRing(std::size_t initial_room, std::size_t limit) : limit_(limit) {
  buf_.resize(std::min(initial_room, std::max<std::size_t>(limit, 1)));
}

void ByteRing::drop_front(std::size_t n) noexcept {
  n = std::min(n, len_);
  if (n == len_) {
    head_ = 0;
    len_ = 0;
    return;
  }
  head_ = (head_ + n) % buf_.size();
  len_ -= n;
}

void ByteRing::grow_to_hold(std::size_t needed) {
  if (needed <= buf_.size()) return;
  std::size_t cap = std::max<std::size_t>(buf_.size(), 1);
  while (cap < needed) cap *= 2;
  std::vector<std::uint8_t> next(cap);
  auto [first, second] = segments();
  if (!first.empty()) std::memcpy(next.data(), first.data(), first.size());
  if (!second.empty()) std::memcpy(next.data() + first.size(), second.data(), second.size());
  buf_.swap(next);
  head_ = 0;
}

void ByteRing::append(std::span<const std::uint8_t> bytes) {
  if (limit_ == 0 || bytes.empty()) return;
  // Only the newest `limit_` bytes of old + new survive: trim first, so the
  // ring never has to hold more than the limit.
  if (bytes.size() >= limit_) {
    bytes = bytes.last(limit_);
    head_ = 0;
    len_ = 0;
  } else if (len_ + bytes.size() > limit_) {
    drop_front(len_ + bytes.size() - limit_);
  }
  grow_to_hold(len_ + bytes.size());
  std::size_t cap = buf_.size();
  std::size_t tail = (head_ + len_) % cap;
  std::size_t first = std::min(bytes.size(), cap - tail);
  std::memcpy(buf_.data() + tail, bytes.data(), first);
  std::memcpy(buf_.data(), bytes.data() + first, bytes.size() - first);
  len_ += bytes.size();
}

std::pair<std::span<const std::uint8_t>, std::span<const std::uint8_t>> ByteRing::segments()
    const noexcept {
  if (len_ == 0) return {};
  std::size_t cap = buf_.size();
  std::size_t first = std::min(len_, cap - head_);
  return {std::span<const std::uint8_t>(buf_.data() + head_, first),
          std::span<const std::uint8_t>(buf_.data(), len_ - first)};
}

}  // namespace quillo
