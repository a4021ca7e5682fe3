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

// The same over bytes held in two pieces (a ring buffer), as if concatenated.
std::string sanitize_for_agent(std::span<const std::uint8_t> first,
                               std::span<const std::uint8_t> second);

}  // namespace quillo
