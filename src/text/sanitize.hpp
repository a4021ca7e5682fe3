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

// Which code cleans: kBest runs the AVX-512 code where the processor has it
// (see wide_cleaning) and the byte-wise state machine elsewhere; kBytewise
// runs the byte-wise code everywhere. Both give identical results; only the
// tests and the benchmarks ask for kBytewise.
enum class SanitizePath { kBest, kBytewise };

// The same over bytes held in two pieces (a ring buffer), as if concatenated.
std::string sanitize_for_agent(std::span<const std::uint8_t> first,
                               std::span<const std::uint8_t> second,
                               SanitizePath path = SanitizePath::kBest);

// Whether `bytes` are well-formed UTF-8, checked on `path` (the check the
// cleaning's decoding step starts with).
bool utf8_valid(std::span<const std::uint8_t> bytes, SanitizePath path);

// The wide steps this thread's cleaning ran since the last call of this
// function, which clears them: kWideFilter, kWideCheck. For the tests, which
// must fail where the processor could run the wide code and it did not.
inline constexpr unsigned kWideFilter = 1, kWideCheck = 2;
unsigned take_wide_steps();

// Whether kBest runs the AVX-512 code here: an x86-64 processor with AVX-512
// F, BW, VL, VBMI and VBMI2 (and BMI1, BMI2, POPCNT). Checked once.
bool wide_cleaning();

}  // namespace quillo
