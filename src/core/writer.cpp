#include "src/core/writer.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "src/core/durations.hpp"

namespace quillo {

namespace {

// Waits until the terminal's input queue has room, for at most `stall`.
// The descriptor is non-blocking so that the wait can notice the other side
// going away (a blocking write into a full queue would sleep on forever once
// the last holder of the child side is gone) and can give up.
std::expected<void, IoError> wait_for_room(int fd, Clock::time_point give_up) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(give_up - Clock::now()).count();
    if (left <= 0) return std::unexpected(IoError::os(ETIMEDOUT));
    pollfd pfd{fd, POLLOUT, 0};
    int ready = ::poll(&pfd, 1, left > 60'000 ? 60'000 : static_cast<int>(left));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::os(errno));
    }
    if (ready == 0) continue;
    if (pfd.revents & POLLOUT) return {};
    if (pfd.revents & POLLNVAL) return std::unexpected(IoError::os(EBADF));
    return std::unexpected(IoError::os(EIO));  // POLLHUP or POLLERR: no child side any more
  }
}

// Writes all of `bytes`; `written` counts what the terminal accepted, also
// when an error ends the loop. `zero_write` is the text for a write that
// accepts nothing.
std::expected<void, IoError> write_fully(int fd, std::span<const std::uint8_t> bytes,
                                         std::size_t& written, std::chrono::nanoseconds stall,
                                         const char* zero_write) {
  written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return std::unexpected(IoError::custom(zero_write));
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return std::unexpected(IoError::os(errno));
    // The stall clock restarts with every accepted byte: it bounds a child
    // that has stopped reading, not a long input.
    if (auto room = wait_for_room(fd, after(Clock::now(), stall)); !room) return room;
  }
  return {};
}

}  // namespace

std::expected<void, IoError> BufferedWriter::flush(std::chrono::nanoseconds stall) {
  std::size_t written = 0;
  auto result = write_fully(fd_.get(), std::span(buffer_.get(), len_), written, stall,
                            "failed to write the buffered data");
  // What the terminal accepted leaves the buffer; the rest goes out first next time.
  if (written > 0) {
    std::memmove(buffer_.get(), buffer_.get() + written, len_ - written);
    len_ -= written;
  }
  return result;
}

std::expected<void, IoError> BufferedWriter::write_all(std::span<const std::uint8_t> bytes,
                                                       std::chrono::nanoseconds stall) {
  if (bytes.empty()) return {};
  std::size_t spare = kCapacity - len_;
  if (bytes.size() > spare) {
    if (auto flushed = flush(stall); !flushed) return flushed;
  }
  if (bytes.size() >= kCapacity) {
    std::size_t written = 0;
    return write_fully(fd_.get(), bytes, written, stall, "failed to write whole buffer");
  }
  std::memcpy(buffer_.get() + len_, bytes.data(), bytes.size());
  len_ += bytes.size();
  return {};
}

void BufferedWriter::close() noexcept {
  std::size_t written = 0;
  while (written < len_ && fd_.valid()) {
    pollfd pfd{fd_.get(), POLLOUT, 0};
    if (::poll(&pfd, 1, 0) != 1 || (pfd.revents & POLLOUT) == 0) break;
    ssize_t n = ::write(fd_.get(), buffer_.get() + written, len_ - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  len_ = 0;
  fd_.reset();
}

}  // namespace quillo
