#include "src/core/waits.hpp"

#include <algorithm>
#include <chrono>

#include "src/core/durations.hpp"
#include "src/text/sanitize.hpp"

namespace quillo {
namespace {

using std::chrono::nanoseconds;

constexpr std::size_t kMarkerWindow = 8192;
constexpr nanoseconds kMainSlice = std::chrono::milliseconds(50);
constexpr nanoseconds kSettleSlice = std::chrono::milliseconds(25);
constexpr nanoseconds kQuietSlice = std::chrono::milliseconds(25);

nanoseconds remaining(Clock::time_point deadline) {
  auto left = deadline - Clock::now();
  return left > nanoseconds::zero() ? std::chrono::duration_cast<nanoseconds>(left)
                                    : nanoseconds::zero();
}

// One timed receive with the rx lock held only around it. A poisoned rx lock
// ends the wait as an internal failure.
RecvStatus receive(Session& session, std::vector<std::uint8_t>& out, std::uint64_t cap,
                   nanoseconds slice) {
  auto rx = session.rx.lock_or_panic("rx lock poisoned");
  std::size_t room = static_cast<std::size_t>(cap - out.size());
  return rx->recv_timeout_into(out, room, slice);
}

std::optional<std::string> find_marker(const std::vector<std::uint8_t>& output,
                                       const Markers& markers) {
  std::size_t start = output.size() > kMarkerWindow ? output.size() - kMarkerWindow : 0;
  std::string text = sanitize_for_agent(std::span(output).subspan(start));
  for (const auto& marker : markers) {
    if (marker_matches(text, marker)) return marker;
  }
  return std::nullopt;
}

enum class Step { kGoOn, kStop };

// How one phase of a wait receives: the longest single receive, whether a
// receive is cut short by the phase's deadline, and whether a receive that
// brings nothing ends the phase.
struct Receiving {
  nanoseconds slice;
  bool clip_to_deadline;
  bool end_when_empty;
};

// The one collecting loop of both waits. Each pass tests, in this order: the
// byte cap (which sets `cap_reached`), the deadline, then the phase's own
// `before` rule; receives one chunk; and lets `after` decide on it. It ends
// too when the reader is gone and everything queued has been taken.
template <class Before, class After>
void collect(Session& session, std::vector<std::uint8_t>& out, std::uint64_t cap, bool& cap_reached,
             Clock::time_point deadline, Receiving how, Before before, After after) {
  for (;;) {
    if (out.size() >= cap) {
      cap_reached = true;
      return;
    }
    if (Clock::now() >= deadline) return;
    if (before() == Step::kStop) return;
    auto slice = how.clip_to_deadline ? std::min(remaining(deadline), how.slice) : how.slice;
    RecvStatus status = receive(session, out, cap, slice);
    if (status == RecvStatus::kTimedOut) {
      if (how.end_when_empty) return;
      continue;
    }
    if (status == RecvStatus::kDisconnected) return;
    if (after() == Step::kStop) return;
  }
}

auto no_rule() {
  return [] { return Step::kGoOn; };
}

}  // namespace

bool marker_matches(std::string_view text, std::string_view marker) {
  return text.find(marker) != std::string_view::npos;
}

bool should_wait_for_markers(Session& session) {
  if (!session.interactive) return false;
  return !session.ready_markers.lock_or_panic("ready_markers lock poisoned")->empty();
}

MarkerWaitResult read_until_ready_inner(Session& session, std::uint64_t timeout_ms,
                                        std::uint64_t max_output_bytes, std::uint64_t settle_ms) {
  auto deadline = after(Clock::now(), from_ms(timeout_ms));
  Markers markers = *session.ready_markers.lock_or_panic("ready_markers lock poisoned");

  MarkerWaitResult result;
  auto& out = result.output;
  // A cap of 0 ends the wait before anything is received.
  collect(session, out, max_output_bytes, result.cap_reached, deadline, {kMainSlice, true, false},
          no_rule(), [&] {
            if (out.size() >= max_output_bytes) result.cap_reached = true;
            if (markers.empty()) return Step::kGoOn;
            result.marker = find_marker(out, markers);
            result.matched = result.marker.has_value();
            return result.matched ? Step::kStop : Step::kGoOn;
          });

  // Settling ignores the overall deadline: each receive waits the full 25 ms
  // and the first one that brings nothing ends it.
  if (result.matched && !result.cap_reached) {
    collect(session, out, max_output_bytes, result.cap_reached,
            after(Clock::now(), from_ms(settle_ms)), {kSettleSlice, false, true}, no_rule(),
            no_rule());
  }
  session.append_history(out);
  return result;
}

QuietWaitResult read_until_quiet_inner(Session& session, std::uint64_t timeout_ms,
                                       std::uint64_t quiet_ms, std::uint64_t max_output_bytes) {
  auto deadline = after(Clock::now(), from_ms(timeout_ms));
  auto quiet = from_ms(quiet_ms);
  QuietWaitResult result;
  auto& out = result.output;
  // The quiet time counts only once output has begun.
  std::optional<Clock::time_point> last_chunk;
  collect(
      session, out, max_output_bytes, result.cap_reached, deadline, {kQuietSlice, true, false},
      [&] { return last_chunk && Clock::now() - *last_chunk >= quiet ? Step::kStop : Step::kGoOn; },
      [&] {
        last_chunk = Clock::now();
        return Step::kGoOn;
      });
  session.append_history(out);
  return result;
}

std::string wait_until_ready(Session& session, const WaitParams& params) {
  std::vector<std::uint8_t> output;
  if (should_wait_for_markers(session)) {
    output = read_until_ready_inner(session, params.timeout_ms, params.max_output_bytes,
                                    params.settle_ms)
                 .output;
  } else {
    output =
        read_until_quiet_inner(session, params.timeout_ms, params.quiet_ms, params.max_output_bytes)
            .output;
  }
  return sanitize_for_agent(output);
}

}  // namespace quillo
