#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quillo {

// Turns raw terminal output into plain text for an agent: drops carriage
// returns, escape sequences (CSI, OSC, DCS/PM/APC strings, two-byte escapes)
// and C0 controls other than tab and line feed, then decodes UTF-8, putting
// U+FFFD for each maximal ill-formed subpart. Pure; each call stands alone.
std::string sanitize_for_agent(std::span<const std::uint8_t> bytes);

// Which code cleans: the widest the processor allows (AVX-512 blocks where
// it has them), the portable code (SSE2 blocks on x86-64, byte-wise
// elsewhere), or the byte-wise state machine alone. All give identical
// results; a path the processor lacks falls back to the next one. Only the
// tests and the benchmarks ask for anything but kBest.
enum class SanitizePath { kBest, kPortable, kBytewise };

// The same over bytes held in two pieces (a ring buffer), as if concatenated.
std::string sanitize_for_agent(std::span<const std::uint8_t> first,
                               std::span<const std::uint8_t> second,
                               SanitizePath path = SanitizePath::kBest);

// Whether `bytes` are well-formed UTF-8, checked on `path` (the check the
// cleaning's decoding step starts with).
bool utf8_valid(std::span<const std::uint8_t> bytes, SanitizePath path);

}  // namespace quillo
