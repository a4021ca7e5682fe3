// Fuzz target for sanitize_for_agent. Checks on every input:
//   - the result is valid UTF-8;
//   - it holds no ESC, no CR and no C0 control other than tab and line feed;
//   - it is no longer than the input plus two bytes per U+FFFD (each
//     replacement stands for at least one input byte and takes three);
//   - it equals a reference model written independently below (the filter's
//     state table as a plain table walk, then a byte-by-byte decoder that puts
//     one U+FFFD per maximal ill-formed subpart);
//   - the two-piece form (the history ring's) gives the same for any split;
//   - the byte-wise path gives the same as the default (AVX-512 blocks where
//     the processor has them).
// Built for libFuzzer (clang -fsanitize=fuzzer) or, with standalone_main.cpp,
// for any compiler.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "src/text/sanitize.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::uint8_t* data, std::size_t size) {
  std::fprintf(stderr, "sanitize invariant broken: %s (input of %zu bytes:", what, size);
  for (std::size_t i = 0; i < size && i < 64; ++i) std::fprintf(stderr, " %02x", data[i]);
  std::fprintf(stderr, "%s)\n", size > 64 ? " ..." : "");
  std::abort();
}

enum State { kText, kEscape, kCsi, kOsc, kOscEsc, kString, kStringEsc };

State next_state(State s, std::uint8_t b) {
  switch (s) {
    case kText:
      return b == 0x1B ? kEscape : kText;
    case kEscape:
      if (b == '[') return kCsi;
      if (b == ']') return kOsc;
      if (b == 'P' || b == '^' || b == '_') return kString;
      return kText;
    case kCsi:
      return (b >= 0x40 && b <= 0x7E) ? kText : kCsi;
    case kOsc:
      return b == 0x07 ? kText : (b == 0x1B ? kOscEsc : kOsc);
    case kOscEsc:
      return (b == '\\' || b == 0x07) ? kText : (b == 0x1B ? kOscEsc : kOsc);
    case kString:
      return b == 0x1B ? kStringEsc : kString;
    case kStringEsc:
      return b == '\\' ? kText : (b == 0x1B ? kStringEsc : kString);
  }
  return kText;
}

std::string reference_filter(const std::uint8_t* data, std::size_t size) {
  std::string kept;
  State s = kText;
  for (std::size_t i = 0; i < size; ++i) {
    std::uint8_t b = data[i];
    if (s == kText && (b >= 0x20 || b == '\t' || b == '\n')) kept.push_back(static_cast<char>(b));
    s = next_state(s, b);
  }
  return kept;
}

// Table 3-7 of the Unicode Standard: the allowed range of each byte of a
// well-formed sequence, given its lead byte.
bool second_byte_ok(std::uint8_t lead, std::uint8_t b) {
  if (lead == 0xE0) return b >= 0xA0 && b <= 0xBF;
  if (lead == 0xED) return b >= 0x80 && b <= 0x9F;
  if (lead == 0xF0) return b >= 0x90 && b <= 0xBF;
  if (lead == 0xF4) return b >= 0x80 && b <= 0x8F;
  return b >= 0x80 && b <= 0xBF;
}

int sequence_length(std::uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;  // never a lead byte
}

std::string reference_decode(const std::string& in) {
  std::string out;
  std::size_t i = 0;
  const auto* p = reinterpret_cast<const std::uint8_t*>(in.data());
  while (i < in.size()) {
    int need = sequence_length(p[i]);
    if (need == 1) {
      out.push_back(in[i++]);
      continue;
    }
    if (need == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    // Take bytes while they may continue this sequence; a maximal subpart
    // that falls short becomes one U+FFFD.
    std::size_t k = 1;
    while (static_cast<int>(k) < need && i + k < in.size() &&
           (k == 1 ? second_byte_ok(p[i], p[i + 1]) : (p[i + k] >= 0x80 && p[i + k] <= 0xBF))) {
      ++k;
    }
    if (static_cast<int>(k) == need) {
      out.append(in, i, k);
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += k;
  }
  return out;
}

bool valid_utf8(const std::string& s, std::size_t& replacements) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  std::size_t i = 0;
  replacements = 0;
  while (i < s.size()) {
    int need = sequence_length(p[i]);
    if (need == 0 || i + need > s.size()) return false;
    for (int k = 1; k < need; ++k) {
      if (k == 1 ? !second_byte_ok(p[i], p[i + 1]) : (p[i + k] < 0x80 || p[i + k] > 0xBF)) {
        return false;
      }
    }
    if (need == 3 && p[i] == 0xEF && p[i + 1] == 0xBF && p[i + 2] == 0xBD) ++replacements;
    i += need;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string out = quillo::sanitize_for_agent(std::span(data, size));

  std::size_t replacements = 0;
  if (!valid_utf8(out, replacements)) fail("output is not valid UTF-8", data, size);
  for (unsigned char c : out) {
    if (c == 0x1B || c == '\r' || (c < 0x20 && c != '\t' && c != '\n')) {
      fail("escape, carriage return or control character in the output", data, size);
    }
  }
  if (out.size() > size + 2 * replacements)
    fail("output longer than input plus replacements", data, size);
  if (out != reference_decode(reference_filter(data, size)))
    fail("differs from the reference", data, size);

  std::size_t split = size == 0 ? 0 : (data[0] * 131u + size) % (size + 1);
  std::string pieces =
      quillo::sanitize_for_agent(std::span(data, split), std::span(data + split, size - split));
  if (pieces != out) fail("two-piece form differs", data, size);
  if (quillo::sanitize_for_agent(std::span(data, size), {}, quillo::SanitizePath::kBytewise) != out)
    fail("the byte-wise path differs from the default one", data, size);
  return 0;
}
