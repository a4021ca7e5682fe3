#include "src/core/session.hpp"

#include <fcntl.h>

#include "src/core/durations.hpp"
#include "src/text/sanitize.hpp"

namespace quillo {

namespace {
constexpr std::size_t kResetDrainLimit = 262144;
}

Session::Session(pty::PtyProcess process_, BufferedWriter writer_, ChunkReceiver rx_,
                 ReaderHandle reader, std::string command, std::size_t limit, bool interactive_)
    : process(std::move(process_)),
      writer(std::move(writer_)),
      rx(std::move(rx_)),
      reader_handle(std::move(reader)),
      initial_command(std::move(command)),
      ready_markers(),
      history(kHistoryInitialRoom, limit),
      history_limit(limit),
      interactive(interactive_) {}

Session::~Session() {
  try {
    teardown();
  } catch (...) {
    // Already reported; members still release themselves below.
  }
}

std::expected<std::unique_ptr<Session>, SpawnError> Session::spawn(std::string command,
                                                                   bool interactive,
                                                                   std::size_t history_limit) {
  auto process = pty::PtyProcess::spawn(pty::Command::single(command));
  if (!process) {
    return std::unexpected(SpawnError{"Failed to spawn process with command '" + command +
                                      "': " + process.error().to_string()});
  }
  // From here a failure drops `process`, which ends the child and closes the master.
  auto handle = process->get_raw_handle();
  if (!handle) {
    return std::unexpected(SpawnError{"Failed to get pty handle: " + handle.error().to_string()});
  }
  // Shared by every duplicate: the reader waits with poll anyway, and the
  // writer's waits must be able to see the child side go away.
  if (int flags = ::fcntl(handle->get(), F_GETFL); flags >= 0) {
    (void)::fcntl(handle->get(), F_SETFL, flags | O_NONBLOCK);
  }
  auto clone_failed = [](const char* which, int err) {
    return std::unexpected(SpawnError{std::string("Failed to clone pty handle (") + which +
                                      "): " + IoError::os(err).to_string()});
  };
  auto reader_fd = pty::OwnedFd::duplicate(handle->get(), 3);
  if (!reader_fd) return clone_failed("reader", reader_fd.error());
  auto writer_fd = pty::OwnedFd::duplicate(handle->get(), 3);
  if (!writer_fd) return clone_failed("writer", writer_fd.error());
  // The reader's second handle, what close raises to stop it: its failure is
  // reported as the reader's.
  auto stop = StopSignal::create();
  if (!stop) return clone_failed("reader", stop.error());
  BufferedWriter writer(std::move(*writer_fd));
  auto channel = make_channel();
  ReaderHandle reader = spawn_reader_thread(std::move(*reader_fd), std::move(channel.sender),
                                            std::move(channel.stopper), std::move(*stop));
  auto session =
      std::make_unique<Session>(std::move(*process), std::move(writer), std::move(channel.receiver),
                                std::move(reader), std::move(command), history_limit, interactive);
  handle->reset();
  return session;
}

void Session::close_inner() noexcept {
  (void)process.exit(true);
  std::optional<ReaderHandle> handle;
  {
    auto guard = reader_handle.lock();
    if (!guard) return;
    if (auto& held = **guard) {
      handle.emplace(std::move(*held));
      held.reset();
    }
  }
  if (handle) handle->stop_and_join(kReaderGrace);
}

void Session::teardown() {
  if (torn_down_) return;
  torn_down_ = true;
  close_inner();
  auto released = process.release();
  writer.unguarded().close();
  rx.unguarded().close();
  reader_handle.unguarded().reset();  // empty after close_inner unless its lock was poisoned
  if (!released) panic("Closing an invalid file descriptor!");
}

std::expected<void, SessionError> Session::set_ready_markers(Markers markers) {
  auto guard = ready_markers.lock();
  if (!guard) return std::unexpected(SessionError{"ready_markers lock poisoned"});
  **guard = std::move(markers);
  return {};
}

std::expected<void, SessionError> Session::write_bytes(std::span<const std::uint8_t> bytes,
                                                       std::uint64_t stall_ms) {
  auto stall = from_ms(stall_ms);
  auto guard = writer.lock();
  if (!guard) return std::unexpected(SessionError{"writer lock poisoned"});
  if (auto written = (*guard)->write_all(bytes, stall); !written) {
    return std::unexpected(SessionError{"write failed: " + written.error().to_string()});
  }
  if (auto flushed = (*guard)->flush(stall); !flushed) {
    return std::unexpected(SessionError{"flush failed: " + flushed.error().to_string()});
  }
  return {};
}

void Session::append_history(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  auto guard = history.lock_or_panic("history lock poisoned");
  guard->append(bytes);
}

std::expected<std::string, SessionError> Session::get_history() {
  auto guard = history.lock();
  if (!guard) return std::unexpected(SessionError{"history lock poisoned"});
  auto [first, second] = (*guard)->segments();
  return sanitize_for_agent(first, second);
}

std::expected<std::string, SessionError> Session::read_available(std::size_t max_bytes) {
  auto guard = rx.lock();
  if (!guard) return std::unexpected(SessionError{"rx lock poisoned"});
  std::vector<std::uint8_t> out;
  while (out.size() < max_bytes) {
    if ((*guard)->try_recv_into(out, max_bytes - out.size()) != RecvStatus::kReceived) break;
  }
  append_history(out);
  return sanitize_for_agent(out);
}

std::expected<bool, SessionError> Session::is_alive() {
  auto alive = process.is_alive();
  if (!alive) return std::unexpected(SessionError{"is_alive failed: " + alive.error().to_string()});
  return *alive;
}

std::expected<void, SpawnError> reset(std::unique_ptr<Session>& session) {
  std::string command = session->initial_command;
  bool interactive = session->interactive;
  std::size_t limit = session->history_limit;
  Markers markers = *session->ready_markers.lock_or_panic("ready_markers lock poisoned");

  session->close_inner();
  auto fresh = Session::spawn(std::move(command), interactive, limit);
  if (!fresh) return std::unexpected(fresh.error());
  *(*fresh)->ready_markers.lock_or_panic("ready_markers lock poisoned") = std::move(markers);
  (void)(*fresh)->read_available(kResetDrainLimit);

  session->teardown();
  session = std::move(*fresh);
  return {};
}

}  // namespace quillo
