#pragma once

#include <chrono>
#include <cstdint>

namespace quillo {

using Clock = std::chrono::steady_clock;

// Milliseconds as a duration, saturating instead of overflowing: 2^64-1 ms is
// just a point far in the future.
inline std::chrono::nanoseconds from_ms(std::uint64_t ms) {
  using std::chrono::nanoseconds;
  constexpr std::uint64_t kMaxMs = static_cast<std::uint64_t>(nanoseconds::max().count()) / 1000000;
  return ms >= kMaxMs ? nanoseconds::max() : nanoseconds(static_cast<std::int64_t>(ms) * 1000000);
}

// `start` plus `span`, saturating at the clock's far end.
inline Clock::time_point after(Clock::time_point start, std::chrono::nanoseconds span) {
  if (span >= Clock::time_point::max() - start) return Clock::time_point::max();
  return start + span;
}

}  // namespace quillo
