#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pty/pty_process.hpp"
#include "src/core/channel.hpp"
#include "src/core/guarded.hpp"
#include "src/core/history.hpp"
#include "src/core/reader.hpp"
#include "src/core/writer.hpp"

namespace quillo {

// Construction failed; raised to Python as Exception.
struct SpawnError {
  std::string message;
};

// A session operation failed; raised to Python as RuntimeError.
struct SessionError {
  std::string message;
};

using Markers = std::vector<std::string>;

inline constexpr std::size_t kDefaultHistoryLimit = 4 * 1024 * 1024;
inline constexpr std::size_t kHistoryInitialRoom = 64 * 1024;
// How long close waits for the reader to reach the end of the terminal by
// itself once the child is gone, before stopping it (a grandchild may keep the
// terminal open forever). A stopped reader still takes what the terminal
// holds: the grace bounds only the wait for more output.
inline constexpr std::chrono::milliseconds kReaderGrace{200};
// The least time a write waits for the terminal to accept a byte before it
// gives up with ETIMEDOUT; a wait's own deadline extends it.
inline constexpr std::uint64_t kWriteStallFloorMs = 20000;

// The state behind one Quillo object. Fields are declared in teardown order.
struct Session {
  pty::PtyProcess process;
  Guarded<BufferedWriter> writer;
  Guarded<ChunkReceiver> rx;
  Guarded<std::optional<ReaderHandle>> reader_handle;
  const std::string initial_command;
  Guarded<Markers> ready_markers;
  Guarded<ByteRing> history;
  const std::size_t history_limit;
  const bool interactive;

  Session(pty::PtyProcess process, BufferedWriter writer, ChunkReceiver rx, ReaderHandle reader,
          std::string command, std::size_t history_limit, bool interactive);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();

  static std::expected<std::unique_ptr<Session>, SpawnError> spawn(std::string command,
                                                                   bool interactive,
                                                                   std::size_t history_limit);

  // Ends the child (forced), then stops and joins the reader. Never fails;
  // a second call finds nothing to do.
  void close_inner() noexcept;

  // Releases everything in order: child, master, writer (flushing what it can
  // without blocking), channel. Throws InternalFailure if our master had been
  // closed behind our back.
  void teardown();

  // Replaces the stored markers (each kept as its UTF-8 bytes).
  std::expected<void, SessionError> set_ready_markers(Markers markers);

  // Writes and flushes. Gives up when the terminal has accepted no byte for
  // `stall_ms` (see BufferedWriter).
  std::expected<void, SessionError> write_bytes(std::span<const std::uint8_t> bytes,
                                                std::uint64_t stall_ms = kWriteStallFloorMs);
  // Records raw output; a poisoned history lock is an internal failure.
  void append_history(std::span<const std::uint8_t> bytes);
  std::expected<std::string, SessionError> get_history();

  std::expected<std::string, SessionError> read_available(std::size_t max_bytes);
  std::expected<bool, SessionError> is_alive();

 private:
  bool torn_down_ = false;
};

// Closes `session`, builds a fresh record with the same command, mode, limit
// and markers, drains its first output into its history, and puts it in
// place. On a failed spawn the closed record stays.
std::expected<void, SpawnError> reset(std::unique_ptr<Session>& session);

}  // namespace quillo
