#include "src/text/sanitize.hpp"

#include <cstring>
#include <utility>

#if defined(__x86_64__)
#define QUILLO_HAVE_AVX512_PATH 1
#include <array>

#include <immintrin.h>
#else
#define QUILLO_HAVE_AVX512_PATH 0
#endif

// What a function needs to use the AVX-512 byte instructions (compares to
// masks, compress, byte permutes); `wide_cleaning` checks the same list.
#define QUILLO_TARGET_AVX512 \
  __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt")))

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
// runs ahead of the input: a full word (on the wide path, a full block) may be
// stored at `out` whenever that many bytes remain in the input.
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

thread_local unsigned wide_steps = 0;  // see take_wide_steps

#if QUILLO_HAVE_AVX512_PATH

// The text state 64 bytes at a time, with AVX-512. A block that starts in the
// text state is classified at once: controls, ESCs, "[" and final bytes each
// become a bit mask (bit i for byte i), `plan_block` works out from them which
// bytes stay, and the kept bytes leave in one compress-store. Anything else
// (another escape, a control sequence that runs past the block, a state other
// than text at a block's start) goes through `filter` for one block, so both
// paths follow the same state table.
struct BlockMasks {
  std::uint64_t control;  // bytes below 0x20
  std::uint64_t kept;     // tab and line feed
  std::uint64_t esc;
  std::uint64_t bracket;  // "["
  std::uint64_t finals;   // 0x40-0x7E
};

struct BlockPlan {
  std::uint64_t keep;   // the bytes to emit
  std::uint64_t limit;  // the bytes settled here: all, or those before an ESC left to `filter`
};

// Always inlined: a call out of `text_blocks` would run with the vector
// registers' upper halves dirty.
[[gnu::always_inline]] inline BlockPlan plan_block(const BlockMasks& m) {
  std::uint64_t drop = m.control & ~m.kept;
  std::uint64_t escs = m.esc;
  std::uint64_t limit = ~0ULL;
  if (escs != 0) {
    // The usual block: every ESC starts a control sequence that ends in the
    // block before the next ESC. Then all of them are settled at once: adding
    // each sequence's first possible final position to the mask of non-final
    // bytes carries through the sequence's parameters and stops at its final
    // byte, so the bits the addition changes are the sequences' bodies.
    const std::uint64_t starts = escs & (m.bracket >> 1);
    const std::uint64_t not_final = ~m.finals;
    std::uint64_t sum;
    const bool past_block = __builtin_add_overflow(not_final, starts << 2, &sum);
    const std::uint64_t bodies = not_final ^ sum;
    if (!past_block && (starts >> 62) == 0 && (escs & ~starts) == 0 && (escs & bodies) == 0) {
      drop |= starts | (starts << 1) | bodies;
    } else {
      // One ESC at a time, in order, up to the first that is not a complete
      // control sequence inside the block.
      while (escs != 0) {
        const unsigned i = static_cast<unsigned>(__builtin_ctzll(escs));
        // A control sequence needs its "[" at i + 1 and a final byte from i + 2 on.
        const std::uint64_t after =
            i <= 61 && ((m.bracket >> (i + 1)) & 1) != 0 ? m.finals & (~0ULL << (i + 2)) : 0;
        if (after == 0) {
          limit = (1ULL << i) - 1;
          break;
        }
        const unsigned j = static_cast<unsigned>(__builtin_ctzll(after));
        const std::uint64_t through_j = j == 63 ? ~0ULL : (1ULL << (j + 1)) - 1;
        const std::uint64_t sequence = through_j & ~((1ULL << i) - 1);
        drop |= sequence;
        escs &= ~sequence;  // an ESC inside a control sequence is one of its bytes
      }
    }
  }
  return {~drop & limit, limit};
}

QUILLO_TARGET_AVX512 [[gnu::always_inline]] inline std::uint64_t bytes_equal(__m512i v, char c) {
  return _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(c));
}

// Settles blocks from `p` on, each starting in the text state, while 64 bytes
// remain; returns where it stopped: fewer than 64 bytes left, or an ESC at a
// block's start that is not a whole control sequence within the block (the
// caller's `filter` takes that block). It calls nothing, so the compiler's
// own vzeroupper on return cleans up after it.
QUILLO_TARGET_AVX512
const std::uint8_t* text_blocks(const std::uint8_t* p, const std::uint8_t* end, Sink& sink) {
  std::uint8_t* o = sink.out;
  std::uint64_t high = 0;  // kept bytes >= 0x80, as a mask
  while (end - p >= 64) {
    const __m512i v = _mm512_loadu_si512(p);
    BlockMasks m{};
    m.control = _mm512_cmplt_epu8_mask(v, _mm512_set1_epi8(0x20));
    m.kept = bytes_equal(v, '\t') | bytes_equal(v, '\n');
    m.esc = bytes_equal(v, kEsc);
    if (m.esc != 0) {
      m.bracket = bytes_equal(v, '[');
      m.finals = _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, _mm512_set1_epi8(0x40)),
                                        _mm512_set1_epi8(0x3E));
    }
    const BlockPlan plan = plan_block(m);
    if (plan.limit == 0) break;
    _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(plan.keep, v));
    o += __builtin_popcountll(plan.keep);
    high |= _mm512_movepi8_mask(v) & plan.keep;
    // All settled, or up to an ESC where the next block starts.
    p += plan.limit == ~0ULL ? 64 : __builtin_ctzll(~plan.limit);
  }
  sink.out = o;
  if (high != 0) sink.high |= kHighs;
  return p;
}

// The filter with the text state's blocks on the wide path.
State filter_wide(std::span<const std::uint8_t> in, State state, Sink& sink) {
  wide_steps |= kWideFilter;
  const std::uint8_t* p = in.data();
  const std::uint8_t* const end = p + in.size();
  while (end - p >= 64) {
    if (state == State::kText) {
      const std::uint8_t* const stop = text_blocks(p, end, sink);
      if (stop != p) {
        p = stop;
        continue;
      }
    }
    state = filter(std::span(p, 64), state, sink);
    p += 64;
  }
  return filter(std::span(p, end), state, sink);
}

// Whether p[0..n) is well-formed UTF-8, 64 bytes a step. Each byte is checked
// against the one to three bytes before it with three 16-entry tables indexed
// by nibbles, whose entries are bit sets of the errors that pair can show
// (after the method of Keiser and Lemire, "Validating UTF-8 in less than one
// instruction per byte"); the bits that survive the AND of the three lookups,
// corrected for the bytes that must be second or third continuations, are
// errors.
namespace utf8_check {

constexpr std::uint8_t kTooShort = 1 << 0;  // a lead or ASCII where a continuation must be
constexpr std::uint8_t kTooLong = 1 << 1;   // a continuation after ASCII
constexpr std::uint8_t kOverlong3 = 1 << 2;
constexpr std::uint8_t kTooLarge = 1 << 3;
constexpr std::uint8_t kSurrogate = 1 << 4;
constexpr std::uint8_t kOverlong2 = 1 << 5;
constexpr std::uint8_t kTooLarge1000 = 1 << 6;
constexpr std::uint8_t kOverlong4 = 1 << 6;
constexpr std::uint8_t kTwoConts = 1 << 7;  // a continuation after a continuation
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

// clang-format off
// Indexed by the high nibble of the previous byte.
constexpr std::uint8_t kByte1High[16] = {
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
    kTwoConts, kTwoConts, kTwoConts, kTwoConts,
    kTooShort | kOverlong2,
    kTooShort,
    kTooShort | kOverlong3 | kSurrogate,
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4,
};
// Indexed by the low nibble of the previous byte.
constexpr std::uint8_t kByte1Low[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4,
    kCarry | kOverlong2,
    kCarry,
    kCarry,
    kCarry | kTooLarge,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
};
// Indexed by the high nibble of the byte itself.
constexpr std::uint8_t kByte2High[16] = {
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooShort, kTooShort, kTooShort, kTooShort,
};
// clang-format on

QUILLO_TARGET_AVX512
inline __m512i table(const std::uint8_t (&t)[16]) {
  // Zero-masked so that nothing is left undefined (gcc 12 warns otherwise).
  return _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

// Byte k of the result is byte k - n of the stream: `prev`'s tail, then `cur`.
QUILLO_TARGET_AVX512
inline __m512i shifted(__m512i prev, __m512i cur, const __m512i& index) {
  return _mm512_permutex2var_epi8(prev, index, cur);
}

// The error bits of block `cur`, given the block before it.
QUILLO_TARGET_AVX512
inline __m512i block_errors(__m512i prev, __m512i cur) {
  alignas(64) static constexpr auto kIndex = [] {
    std::array<std::array<std::uint8_t, 64>, 3> index{};
    for (int k = 0; k < 3; ++k) {
      for (int j = 0; j < 64; ++j) index[k][j] = static_cast<std::uint8_t>(64 + j - (k + 1));
    }
    return index;
  }();
  const __m512i low_nibble = _mm512_set1_epi8(0x0F);
  const __m512i prev1 = shifted(prev, cur, _mm512_load_si512(kIndex[0].data()));
  const __m512i hi1 = _mm512_and_si512(_mm512_srli_epi16(prev1, 4), low_nibble);
  const __m512i lo1 = _mm512_and_si512(prev1, low_nibble);
  const __m512i hi2 = _mm512_and_si512(_mm512_srli_epi16(cur, 4), low_nibble);
  const __m512i special =
      _mm512_and_si512(_mm512_and_si512(_mm512_shuffle_epi8(table(kByte1High), hi1),
                                        _mm512_shuffle_epi8(table(kByte1Low), lo1)),
                       _mm512_shuffle_epi8(table(kByte2High), hi2));
  // Bytes two after a three- or four-byte lead, or three after a four-byte
  // lead, must be continuations: bit 7 of `special` must say so exactly there.
  const __m512i third = _mm512_subs_epu8(shifted(prev, cur, _mm512_load_si512(kIndex[1].data())),
                                         _mm512_set1_epi8(static_cast<char>(0xE0 - 0x80)));
  const __m512i fourth = _mm512_subs_epu8(shifted(prev, cur, _mm512_load_si512(kIndex[2].data())),
                                          _mm512_set1_epi8(static_cast<char>(0xF0 - 0x80)));
  const __m512i must80 =
      _mm512_and_si512(_mm512_or_si512(third, fourth), _mm512_set1_epi8(static_cast<char>(0x80)));
  return _mm512_xor_si512(must80, special);
}

QUILLO_TARGET_AVX512
bool valid_wide(const std::uint8_t* p, std::size_t n) {
  wide_steps |= kWideCheck;
  __m512i prev = _mm512_setzero_si512();
  __m512i error = _mm512_setzero_si512();
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m512i cur = _mm512_loadu_si512(p + i);
    // ASCII after ASCII cannot be wrong: skip the tables.
    if ((_mm512_movepi8_mask(cur) | _mm512_movepi8_mask(prev)) != 0) {
      error = _mm512_or_si512(error, block_errors(prev, cur));
    }
    prev = cur;
  }
  // The tail, padded with zeros (ASCII): a sequence cut off at the end is too
  // short.
  const __m512i tail = _mm512_maskz_loadu_epi8(_bzhi_u64(~0ULL, n - i), p + i);
  error = _mm512_or_si512(error, block_errors(prev, tail));
  return _mm512_test_epi8_mask(error, error) == 0;
}

}  // namespace utf8_check

#else

// No wide code here: every path runs the byte-wise code.
State filter_wide(std::span<const std::uint8_t> in, State state, Sink& sink) {
  return filter(in, state, sink);
}

namespace utf8_check {
bool valid_wide(const std::uint8_t* p, std::size_t n) {
  return valid_prefix(p, n) == n;
}
}  // namespace utf8_check

#endif  // QUILLO_HAVE_AVX512_PATH

bool runs_wide(SanitizePath path) {
  return path == SanitizePath::kBest && wide_cleaning();
}

}  // namespace

bool wide_cleaning() {
#if QUILLO_HAVE_AVX512_PATH
  static const bool has = [] {
    __builtin_cpu_init();
    // Everything QUILLO_TARGET_AVX512 lets the compiler use.
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
  }();
  return has;
#else
  return false;
#endif
}

std::string sanitize_for_agent(std::span<const std::uint8_t> first,
                               std::span<const std::uint8_t> second, SanitizePath path) {
  std::string text;
  std::size_t total = first.size() + second.size();
  if (total == 0) return text;
  auto* const pass = runs_wide(path) ? filter_wide : filter;
  // The filter only drops bytes, so the input length bounds the output; the
  // buffer is not zero-filled first.
  std::uint64_t high = 0;
  text.resize_and_overwrite(total, [&](char* buffer, std::size_t) {
    Sink sink{reinterpret_cast<std::uint8_t*>(buffer)};
    pass(second, pass(first, State::kText, sink), sink);
    high = sink.high;
    return static_cast<std::size_t>(sink.out - reinterpret_cast<std::uint8_t*>(buffer));
  });
  if ((high & kHighs) == 0) return text;  // plain ASCII: nothing to validate

  const auto* out = reinterpret_cast<const std::uint8_t*>(text.data());
  std::size_t len = text.size();
  if (utf8_valid(std::span(out, len), path)) return text;  // the usual case: nothing to replace
  std::size_t bad = valid_prefix(out, len);

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

unsigned take_wide_steps() {
  return std::exchange(wide_steps, 0);
}

bool utf8_valid(std::span<const std::uint8_t> bytes, SanitizePath path) {
  return runs_wide(path) ? utf8_check::valid_wide(bytes.data(), bytes.size())
                         : valid_prefix(bytes.data(), bytes.size()) == bytes.size();
}

}  // namespace quillo
