#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace quillo {

// A byte ring that keeps the newest `limit` bytes. Appends are bulk copies;
// trimming the front only moves an index. Capacity starts at the requested
// room and doubles as needed, never beyond what the limit requires.
class ByteRing {
 public:
  ByteRing(std::size_t initial_room, std::size_t limit);

  void append(std::span<const std::uint8_t> bytes);
  std::size_t size() const noexcept { return len_; }
  std::size_t capacity() const noexcept { return buf_.size(); }
  std::size_t limit() const noexcept { return limit_; }
  // The retained bytes, oldest first, as at most two pieces.
  std::pair<std::span<const std::uint8_t>, std::span<const std::uint8_t>> segments() const noexcept;

 private:
  void grow_to_hold(std::size_t needed);
  void drop_front(std::size_t n) noexcept;

  std::vector<std::uint8_t> buf_;
  std::size_t head_ = 0;
  std::size_t len_ = 0;
  std::size_t limit_;
};

}  // namespace quillo
