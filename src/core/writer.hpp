#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>

#include "pty/owned_fd.hpp"
#include "src/core/io_error.hpp"

namespace quillo {

// A write buffer of 8,192 bytes in front of a terminal descriptor. Short
// inputs are gathered in the buffer, inputs of a full buffer or more go
// straight to the descriptor. Interrupted writes are retried.
//
// Every write waits for room in the terminal's input queue for at most
// `stall` since the terminal last accepted a byte; then it fails with
// ETIMEDOUT. A child that keeps reading, however slowly, never hits that.
class BufferedWriter {
 public:
  static constexpr std::size_t kCapacity = 8192;

  explicit BufferedWriter(pty::OwnedFd fd)
      : fd_(std::move(fd)), buffer_(std::make_unique<std::uint8_t[]>(kCapacity)) {}

  // Errors here are the "write failed" kind. Of a direct write that fails,
  // the bytes the terminal accepted are gone to the child, the rest are not
  // kept.
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes,
                                         std::chrono::nanoseconds stall);
  // Errors here are the "flush failed" kind. Bytes not accepted stay buffered
  // and go out ahead of the next input.
  std::expected<void, IoError> flush(std::chrono::nanoseconds stall);

  // Teardown: writes what is buffered as far as the terminal takes it without
  // blocking (the child may be gone or not reading), then closes.
  void close() noexcept;

  int fd() const noexcept { return fd_.get(); }

 private:
  pty::OwnedFd fd_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t len_ = 0;
};

}  // namespace quillo
