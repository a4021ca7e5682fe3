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

inline void store64(std::uint8_t* p, std::uint64_t word) {
  std::memcpy(p, &word, sizeof word);
}

// A control sequence's final byte: 0x40-0x7E (one unsigned compare).
inline bool is_final(std::uint8_t b) {
  return static_cast<std::uint8_t>(b - 0x40) <= 0x3E;
}

// Where the kept bytes go. Filtering only drops bytes, so the output never
// runs ahead of the input: a full word may be stored at `out` whenever a full
// word remains in the input.
struct Sink {
  std::uint8_t* out;
  std::uint64_t high = 0;  // OR of (at least) every kept byte: any >= 0x80?
};

// Filters one piece, continuing from `state`; returns the state at its end.
State filter(std::span<const std::uint8_t> in, State state, Sink& sink) {
  const std::uint8_t* p = in.data();
  const std::uint8_t* const end = p + in.size();
  std::uint8_t* o = sink.out;
  std::uint64_t high = sink.high;
  while (p < end) {
    switch (state) {
      case State::kText: {
        // Copy a word at a time and advance past its printable prefix.
        bool control = false;
        while (end - p >= 8) {
          std::uint64_t w = load64(p);
          std::uint64_t below = (w - kOnes * 0x20) & ~w & kHighs;
          store64(o, w);
          high |= w;
          if (below == 0) {
            o += 8;
            p += 8;
            continue;
          }
          std::size_t k = static_cast<std::size_t>(__builtin_ctzll(below)) / 8;
          o += k;
          p += k;
          control = true;
          break;
        }
        if (!control) {
          while (p < end && *p >= 0x20) {
            high |= *p;
            *o++ = *p++;
          }
          if (p == end) break;
        }
        std::uint8_t c = *p++;
        if (c == '\t' || c == '\n') {
          *o++ = c;
        } else if (c == kEsc) {
          // Control sequences (colours, modes) are the common escape: skip a
          // complete one right here instead of going round the state switch.
          if (end - p >= 2 && *p == '[') {
            const std::uint8_t* q = p + 1;
            while (q < end && !is_final(*q)) ++q;
            if (q < end) {
              p = q + 1;
              break;
            }
          }
          state = State::kEscape;
        }
        // every other C0 control, carriage return included, is dropped
        break;
      }
      case State::kEscape: {
        std::uint8_t c = *p++;
        state = c == '['                             ? State::kCsi
                : c == ']'                           ? State::kOsc
                : (c == 'P' || c == '^' || c == '_') ? State::kString
                                                     : State::kText;
        break;
      }
      case State::kCsi:
        // Parameters, intermediates and anything else up to the final byte.
        while (p < end && !is_final(*p)) ++p;
        if (p < end) {
          ++p;
          state = State::kText;
        }
        break;
      case State::kOsc:
        while (p < end && *p != kBel && *p != kEsc) ++p;
        if (p < end) state = *p++ == kBel ? State::kText : State::kOscEscape;
        break;
      case State::kOscEscape: {
        std::uint8_t c = *p++;
        if (c == '\\' || c == kBel) {
          state = State::kText;
        } else if (c != kEsc) {
          state = State::kOsc;
        }
        break;
      }
      case State::kString:
        while (p < end && *p != kEsc) ++p;
        if (p < end) {
          ++p;
          state = State::kStringEscape;
        }
        break;
      case State::kStringEscape: {
        std::uint8_t c = *p++;
        if (c == '\\') {
          state = State::kText;
        } else if (c != kEsc) {
          state = State::kString;
        }
        break;
      }
    }
  }
  sink.out = o;
  sink.high = high;
  return state;
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

inline bool continuation(std::uint8_t b) {
  return (b & 0xC0) == 0x80;
}

// Index of the first byte that starts an ill-formed sequence, or n.
std::size_t valid_prefix(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    if (i + 16 <= n && ((load64(p + i) | load64(p + i + 8)) & kHighs) == 0) {
      i += 16;
      continue;
    }
    std::uint8_t b0 = p[i];
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    // The common well-formed shapes, without the general subpart bookkeeping.
    if (b0 >= 0xC2 && b0 <= 0xDF && i + 1 < n && continuation(p[i + 1])) {
      i += 2;
      continue;
    }
    if (((b0 >= 0xE1 && b0 <= 0xEC) || b0 == 0xEE || b0 == 0xEF) && i + 2 < n &&
        continuation(p[i + 1]) && continuation(p[i + 2])) {
      i += 3;
      continue;
    }
    std::size_t subpart = 0;
    std::size_t len = utf8_sequence(p + i, n - i, subpart);
    if (len == 0) return i;
    i += len;
  }
  return n;
}

}  // namespace

std::string sanitize_for_agent(std::span<const std::uint8_t> first,
                               std::span<const std::uint8_t> second) {
  std::string text;
  std::size_t total = first.size() + second.size();
  if (total == 0) return text;
  // The filter only drops bytes, so the input length bounds the output; the
  // buffer is not zero-filled first.
  std::uint64_t high = 0;
  text.resize_and_overwrite(total, [&](char* buffer, std::size_t) {
    Sink sink{reinterpret_cast<std::uint8_t*>(buffer)};
    filter(second, filter(first, State::kText, sink), sink);
    high = sink.high;
    return static_cast<std::size_t>(sink.out - reinterpret_cast<std::uint8_t*>(buffer));
  });
  if ((high & kHighs) == 0) return text;  // plain ASCII: nothing to validate

  const auto* out = reinterpret_cast<const std::uint8_t*>(text.data());
  std::size_t len = text.size();
  std::size_t bad = valid_prefix(out, len);
  if (bad == len) return text;  // the usual case: nothing to replace

  // One U+FFFD per maximal ill-formed subpart, each well-formed run between
  // them copied whole.
  std::string decoded;
  decoded.reserve(len + len / 2);
  decoded.append(text, 0, bad);
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  for (std::size_t i = bad; i < len;) {
    std::size_t subpart = 0;
    utf8_sequence(out + i, len - i, subpart);
    decoded.append(kReplacement, 3);
    i += subpart;
    std::size_t good = valid_prefix(out + i, len - i);
    decoded.append(reinterpret_cast<const char*>(out + i), good);
    i += good;
  }
  return decoded;
}

std::string sanitize_for_agent(std::span<const std::uint8_t> bytes) {
  return sanitize_for_agent(bytes, {});
}

}  // namespace quillo
