#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>

#include "pty/owned_fd.hpp"
#include "src/io_error.hpp"

namespace quillo {

// A write buffer of 8,192 bytes in front of a terminal descriptor. Short
// inputs are gathered in the buffer, inputs of a full buffer or more go
// straight to the descriptor. Interrupted writes are retried.
class BufferedWriter {
 public:
  static constexpr std::size_t kCapacity = 8192;

  explicit BufferedWriter(pty::OwnedFd fd)
      : fd_(std::move(fd)), buffer_(std::make_unique<std::uint8_t[]>(kCapacity)) {}

  // Errors here are the "write failed" kind.
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes);
  // Errors here are the "flush failed" kind. Bytes not accepted stay buffered.
  std::expected<void, IoError> flush();

  // Teardown: writes what is buffered as far as the terminal takes it without
  // blocking (the child may be gone or not reading), then closes.
  void close() noexcept;

  std::size_t buffered() const noexcept { return len_; }
  int fd() const noexcept { return fd_.get(); }

 private:
  std::expected<void, IoError> flush_buffer();
  std::expected<void, IoError> write_direct(std::span<const std::uint8_t> bytes);

  pty::OwnedFd fd_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t len_ = 0;
};

}  // namespace quillo
