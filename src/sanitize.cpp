#include "src/sanitize.hpp"

#include <cstring>

namespace quillo {
namespace {

enum class State : std::uint8_t {
  kText,
  kEscape,
  kCsi,
  kOsc,
  kOscEscape,
  kString,  // DCS, PM, APC: end only at ST
  kStringEscape,
};

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kBel = 0x07;

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

inline std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// Length of the leading run of bytes >= 0x20 (all of which text keeps).
inline std::size_t printable_run(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w = load64(p + i);
    std::uint64_t below = (w - kOnes * 0x20) & ~w & kHighs;
    if (below != 0) return i + static_cast<std::size_t>(__builtin_ctzll(below)) / 8;
  }
  while (i < n && p[i] >= 0x20) ++i;
  return i;
}

// Filters one piece, continuing from `state`; appends kept bytes to `out`.
void filter(std::span<const std::uint8_t> in, State& state, std::uint8_t* out, std::size_t& len) {
  const std::uint8_t* p = in.data();
  std::size_t n = in.size();
  std::size_t i = 0;
  while (i < n) {
    if (state == State::kText) {
      std::size_t run = printable_run(p + i, n - i);
      std::memcpy(out + len, p + i, run);
      len += run;
      i += run;
      if (i == n) break;
      std::uint8_t c = p[i++];
      if (c == '\t' || c == '\n') {
        out[len++] = c;
      } else if (c == kEsc) {
        state = State::kEscape;
      }
      // every other C0 control, carriage return included, is dropped
      continue;
    }
    std::uint8_t c = p[i++];
    switch (state) {
      case State::kEscape:
        state = c == '['                             ? State::kCsi
                : c == ']'                           ? State::kOsc
                : (c == 'P' || c == '^' || c == '_') ? State::kString
                                                     : State::kText;
        break;
      case State::kCsi:
        if (c >= 0x40 && c <= 0x7E) state = State::kText;
        break;
      case State::kOsc:
        if (c == kBel) {
          state = State::kText;
        } else if (c == kEsc) {
          state = State::kOscEscape;
        }
        break;
      case State::kOscEscape:
        if (c == '\\' || c == kBel) {
          state = State::kText;
        } else if (c != kEsc) {
          state = State::kOsc;
        }
        break;
      case State::kString:
        if (c == kEsc) state = State::kStringEscape;
        break;
      case State::kStringEscape:
        if (c == '\\') {
          state = State::kText;
        } else if (c != kEsc) {
          state = State::kString;
        }
        break;
      case State::kText:
        break;
    }
  }
}

// Length of the well-formed UTF-8 sequence at p[0..n), or 0 when ill-formed;
// `subpart` receives the length of the maximal ill-formed subpart then (>= 1).
inline std::size_t utf8_sequence(const std::uint8_t* p, std::size_t n, std::size_t& subpart) {
  std::uint8_t b0 = p[0];
  std::size_t need;
  std::uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    subpart = 1;
    return 0;
  }
  std::size_t k = 1;
  if (k < n && p[k] >= lo && p[k] <= hi) {
    ++k;
    while (k < need && k < n && p[k] >= 0x80 && p[k] <= 0xBF) ++k;
  }
  if (k == need) return need;
  subpart = k;
  return 0;
}

// Index of the first byte that starts an ill-formed sequence, or n.
std::size_t valid_prefix(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    if (i + 8 <= n && (load64(p + i) & kHighs) == 0) {
      i += 8;
      continue;
    }
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    std::size_t subpart = 0;
    std::size_t len = utf8_sequence(p + i, n - i, subpart);
    if (len == 0) return i;
    i += len;
  }
  return n;
}

std::string sanitize_pieces(std::span<const std::uint8_t> first,
                            std::span<const std::uint8_t> second) {
  std::string text;
  std::size_t total = first.size() + second.size();
  if (total == 0) return text;
  // The filter only drops bytes, so the input length bounds the output.
  text.resize(total);
  auto* out = reinterpret_cast<std::uint8_t*>(text.data());
  std::size_t len = 0;
  State state = State::kText;
  filter(first, state, out, len);
  filter(second, state, out, len);
  text.resize(len);

  std::size_t bad = valid_prefix(out, len);
  if (bad == len) return text;  // the usual case: nothing to replace

  std::string decoded;
  decoded.reserve(len + len / 2);
  decoded.append(text, 0, bad);
  std::size_t i = bad;
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  while (i < len) {
    std::size_t good = valid_prefix(out + i, len - i);
    decoded.append(reinterpret_cast<const char*>(out + i), good);
    i += good;
    if (i == len) break;
    std::size_t subpart = 0;
    utf8_sequence(out + i, len - i, subpart);
    decoded.append(kReplacement, 3);
    i += subpart;
  }
  return decoded;
}

}  // namespace

std::string sanitize_for_agent(std::span<const std::uint8_t> bytes) {
  return sanitize_pieces(bytes, {});
}

std::string sanitize_for_agent(std::span<const std::uint8_t> first,
                               std::span<const std::uint8_t> second) {
  return sanitize_pieces(first, second);
}

}  // namespace quillo
