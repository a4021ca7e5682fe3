#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "src/core/session.hpp"

namespace quillo {

struct WaitParams {
  std::uint64_t timeout_ms = 20000;
  std::uint64_t max_output_bytes = 2097152;
  std::uint64_t settle_ms = 200;
  std::uint64_t quiet_ms = 80;
};

struct MarkerWaitResult {
  std::vector<std::uint8_t> output;
  bool cap_reached = false;
  bool matched = false;
  std::optional<std::string> marker;
};

struct QuietWaitResult {
  std::vector<std::uint8_t> output;
  bool cap_reached = false;
};

// Interactive with at least one marker: wait for a marker, else for quiet.
bool should_wait_for_markers(Session& session);

// Collects chunks until a marker shows up in the sanitized last 8,192 bytes,
// then settles: keeps collecting while chunks keep coming within 25 ms, up to
// `settle_ms`. Bounded by the deadline and the byte cap throughout.
MarkerWaitResult read_until_ready_inner(Session& session, std::uint64_t timeout_ms,
                                        std::uint64_t max_output_bytes, std::uint64_t settle_ms);

// Collects chunks until, once output has begun, none has come for `quiet_ms`.
QuietWaitResult read_until_quiet_inner(Session& session, std::uint64_t timeout_ms,
                                       std::uint64_t quiet_ms, std::uint64_t max_output_bytes);

// Picks the wait, runs it and returns the sanitized text. Call it without the
// interpreter lock.
std::string wait_until_ready(Session& session, const WaitParams& params);

// Whether `text` (sanitized) holds `marker`: ends with it, or contains it.
bool marker_matches(std::string_view text, std::string_view marker);

}  // namespace quillo
