#include "src/writer.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillo {

namespace {

// One write that waits (poll) while the terminal's input queue is full. The
// descriptor is non-blocking so that a wait can notice the other side going
// away: a blocking write into a full queue would sleep on forever once the
// last holder of the child side is gone, since nothing ever drains the queue.
ssize_t write_waiting(int fd, const std::uint8_t* data, std::size_t len) {
  for (;;) {
    ssize_t n = ::write(fd, data, len);
    if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return n;
    pollfd pfd{fd, POLLOUT, 0};
    int ready = ::poll(&pfd, 1, -1);
    if (ready < 0 && errno != EINTR) return -1;
    if (ready > 0 && (pfd.revents & POLLOUT) == 0 &&
        (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      errno = (pfd.revents & POLLNVAL) ? EBADF : EIO;
      return -1;
    }
  }
}

}  // namespace

std::expected<void, IoError> BufferedWriter::flush_buffer() {
  std::size_t written = 0;
  std::expected<void, IoError> result;
  while (written < len_) {
    ssize_t n = write_waiting(fd_.get(), buffer_.get() + written, len_ - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      result = std::unexpected(IoError::os(errno));
      break;
    }
    if (n == 0) {
      result = std::unexpected(IoError::custom("failed to write the buffered data"));
      break;
    }
    written += static_cast<std::size_t>(n);
  }
  // What the terminal accepted leaves the buffer; the rest goes out first next time.
  if (written > 0) {
    std::memmove(buffer_.get(), buffer_.get() + written, len_ - written);
    len_ -= written;
  }
  return result;
}

std::expected<void, IoError> BufferedWriter::write_direct(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t n = write_waiting(fd_.get(), bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::os(errno));
    }
    if (n == 0) return std::unexpected(IoError::custom("failed to write whole buffer"));
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

std::expected<void, IoError> BufferedWriter::write_all(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return {};
  std::size_t spare = kCapacity - len_;
  if (bytes.size() < spare) {
    std::memcpy(buffer_.get() + len_, bytes.data(), bytes.size());
    len_ += bytes.size();
    return {};
  }
  if (bytes.size() > spare) {
    if (auto flushed = flush_buffer(); !flushed) return flushed;
  }
  if (bytes.size() >= kCapacity) return write_direct(bytes);
  std::memcpy(buffer_.get() + len_, bytes.data(), bytes.size());
  len_ += bytes.size();
  return {};
}

std::expected<void, IoError> BufferedWriter::flush() {
  return flush_buffer();
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
