// Valid UTF-8 to str without PyUnicode_DecodeUTF8's validation and its
// one-kind-at-a-time widening. A census pass counts the characters (the bytes
// that are not continuation bytes 10xxxxxx) and finds the largest byte, which
// fixes the narrowest kind the str may have; valid UTF-8 makes that exact:
//
//   largest byte   leads present         characters        kind
//   < 0x80         none                  ASCII             PyUnicode_1BYTE_KIND, ASCII
//   0xC2..0xC3     C2, C3                some in 80..FF    PyUnicode_1BYTE_KIND
//   0xC4..0xEF     some in C4..EF        some >= U+0100    PyUnicode_2BYTE_KIND
//   >= 0xF0        F0..F4                some >= U+10000   left to CPython (rare)
//
// A continuation byte is at most 0xBF, so a largest byte of 0xC4 or more is a
// lead; such a lead starts a character of U+0100 or more (E0 needs A0 or more
// after it), which CPython requires of a two-byte-kind str, just as it
// requires a character of U+0080 or more in a non-ASCII one-byte str.
//
// The decoders write one unit per character start and never read past the
// input, so even input that breaks the precondition cannot make them touch
// memory outside the two buffers.
#include "src/py_text.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "src/cpu_features.hpp"

#if QUILLO_HAVE_AVX512_PATH
#include <immintrin.h>
#endif

namespace quillo::py {
namespace {

struct Census {
  std::size_t chars = 0;
  unsigned char top = 0;  // the largest byte
};

constexpr bool is_continuation(unsigned char b) {
  return (b & 0xC0) == 0x80;
}

Census census_portable(const unsigned char* p, std::size_t n) {
  Census census;
  std::size_t continuations = 0;
  // A byte-wide tally cannot overflow within a block of at most 255 bytes, and
  // it lets the compiler keep its vector lanes byte-wide.
  constexpr std::size_t kBlock = 192;
  for (std::size_t i = 0; i < n;) {
    const std::size_t block = std::min(n - i, kBlock);
    unsigned char tally = 0;
    unsigned char top = census.top;
    for (std::size_t k = 0; k < block; ++k) {
      const unsigned char b = p[i + k];
      top = std::max(top, b);
      tally += is_continuation(b) ? 1 : 0;
    }
    census.top = top;
    continuations += tally;
    i += block;
  }
  census.chars = n - continuations;
  return census;
}

constexpr std::uint64_t kHighBits = 0x8080808080808080;

// The number of leading bytes (in memory order) of an 8-byte word read from
// memory, given its bits `high` = word & kHighBits, that are below 0x80.
inline unsigned ascii_prefix(std::uint64_t high) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<unsigned>(std::countr_zero(high)) / 8;
  } else {
    return static_cast<unsigned>(std::countl_zero(high)) / 8;
  }
}

// The character whose lead byte b (0xC0 or more) is followed by c1 and c2 (c2
// is not read for a two-byte lead). The kind's caller guarantees no lead of a
// four-byte sequence; a one-byte unit keeps the low eight bits, exact for the
// leads C2 and C3 that are the only ones a one-byte-kind text holds.
template <class Unit>
inline Unit multibyte(unsigned char b, unsigned char c1, unsigned char c2) {
  const unsigned two = (static_cast<unsigned>(b & 0x1F) << 6) | (c1 & 0x3Fu);
  if (b < 0xE0) return static_cast<Unit>(two);
  return static_cast<Unit>((two << 6) | (c2 & 0x3Fu));
}

// Stores the eight bytes of `word` (as read from memory) as eight units.
inline void widen(std::uint64_t word, Py_UCS1* out) {
  std::memcpy(out, &word, sizeof word);
}

inline void widen(std::uint64_t word, Py_UCS2* out) {
  if constexpr (std::endian::native == std::endian::little) {
    // Spreads four bytes to the low bytes of four 16-bit lanes.
    const auto spread = [](std::uint64_t x) {
      x = (x | (x << 16)) & 0x0000FFFF0000FFFF;
      return (x | (x << 8)) & 0x00FF00FF00FF00FF;
    };
    const std::uint64_t units[2] = {spread(word & 0xFFFFFFFF), spread(word >> 32)};
    std::memcpy(out, units, sizeof units);
  } else {
    unsigned char bytes[8];
    std::memcpy(bytes, &word, sizeof word);
    for (std::size_t k = 0; k < 8; ++k) out[k] = bytes[k];
  }
}

// Writes the characters that start in p[0, n) to out. Continuation bytes
// before the first start finish a character already written (the wide
// decoders stop at any byte); like any byte that is not a start, they are
// passed over. Unit is Py_UCS1 or Py_UCS2; out_end is the end of the string's
// buffer.
template <class Unit>
void decode_portable(const unsigned char* p, std::size_t n, Unit* out, Unit* out_end) {
  std::size_t i = 0;
  // Eight ASCII bytes at a time; otherwise the ASCII bytes before the first
  // other one, then the character there. The copy loop's trip count is left
  // to branch prediction rather than made a data dependence of the next
  // round's position, which measures faster. Every read of a round lies below
  // i + 7 + 3, within the 16 bytes left.
  while (n - i >= 16 && out_end - out >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, sizeof word);
    const std::uint64_t high = word & kHighBits;
    if (high == 0) {
      widen(word, out);
      out += 8;
      i += 8;
      continue;
    }
    const unsigned ascii = ascii_prefix(high);
    for (unsigned k = 0; k < ascii; ++k) out[k] = p[i + k];
    out += ascii;
    i += ascii;
    const unsigned char b = p[i];
    if (b < 0xC0) {  // the tail of the wide decoder's last character, or a stray byte
      ++i;
      continue;
    }
    *out++ = multibyte<Unit>(b, p[i + 1], p[i + 2]);
    i += b < 0xE0 ? 2 : 3;
  }
  while (i < n) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      *out++ = b;
      ++i;
    } else if (b < 0xC0) {
      ++i;
    } else {
      const std::size_t length = b < 0xE0 ? 2 : 3;
      const unsigned char c1 = i + 1 < n ? p[i + 1] : 0x80;
      const unsigned char c2 = i + 2 < n ? p[i + 2] : 0x80;
      *out++ = multibyte<Unit>(b, c1, c2);
      i += length;
    }
  }
}

#if QUILLO_HAVE_AVX512_PATH

QUILLO_TARGET_AVX512 Census census_avx512(const unsigned char* p, std::size_t n) {
  if (n < 64) return census_portable(p, n);
  // Compared as signed bytes, continuation bytes 0x80..0xBF are -128..-65.
  const __m512i first_non_continuation = _mm512_set1_epi8(-0x40);
  __m512i top = _mm512_setzero_si512();
  std::uint64_t continuations = 0;
  std::size_t i = 0;
  for (; n - i >= 64; i += 64) {
    const __m512i v = _mm512_loadu_si512(p + i);
    top = _mm512_max_epu8(top, v);
    continuations += _mm_popcnt_u64(_mm512_cmplt_epi8_mask(v, first_non_continuation));
  }
  alignas(64) unsigned char lanes[64];
  _mm512_store_si512(lanes, top);
  Census tail = census_portable(p + i, n - i);
  for (unsigned char lane : lanes) tail.top = std::max(tail.top, lane);
  tail.chars += i - continuations;
  return tail;
}

// 32 input positions per round. Every lane computes the character that would
// start at its byte, from that byte and the two after it; the compress keeps
// the lanes where a character does start. Rounds run while 34 bytes remain
// (the last lane reads two bytes past the round) and while 32 units of room
// remain for the full-register store.
QUILLO_TARGET_AVX512 void decode_ucs2_avx512(const unsigned char* p, std::size_t n, Py_UCS2* out,
                                             Py_UCS2* out_end) {
  const __m256i first_non_continuation = _mm256_set1_epi8(-0x40);
  const __m512i low5 = _mm512_set1_epi16(0x1F);
  const __m512i low6 = _mm512_set1_epi16(0x3F);
  const __m512i lead2 = _mm512_set1_epi16(0xC0);
  const __m512i lead3 = _mm512_set1_epi16(0xE0);
  std::size_t i = 0;
  while (n - i >= 34 && out_end - out >= 32) {
    const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    const __m512i b0 = _mm512_cvtepu8_epi16(raw);
    if (_mm256_movemask_epi8(raw) == 0) {  // all ASCII
      _mm512_storeu_si512(out, b0);
      out += 32;
      i += 32;
      continue;
    }
    const __mmask32 starts = _mm256_cmpge_epi8_mask(raw, first_non_continuation);
    const __m512i b1 =
        _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1)));
    const __m512i b2 =
        _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 2)));
    // (b0 & 0x1F) << 6 | (b1 & 0x3F): a three-byte lead has bit 4 clear, so
    // shifting this by 6 more leaves (b0 & 0x0F) << 12 in the 16-bit lane.
    const __m512i two = _mm512_or_si512(_mm512_slli_epi16(_mm512_and_si512(b0, low5), 6),
                                        _mm512_and_si512(b1, low6));
    const __m512i three = _mm512_or_si512(_mm512_slli_epi16(two, 6), _mm512_and_si512(b2, low6));
    __m512i chars = _mm512_mask_mov_epi16(b0, _mm512_cmpge_epu16_mask(b0, lead2), two);
    chars = _mm512_mask_mov_epi16(chars, _mm512_cmpge_epu16_mask(b0, lead3), three);
    _mm512_storeu_si512(out, _mm512_maskz_compress_epi16(starts, chars));
    out += _mm_popcnt_u32(starts);
    i += 32;
  }
  // gcc leaves the upper halves of the vector registers dirty before the tail
  // call, and SSE code (the portable decoder, then the caller's) pays for that
  // on every instruction.
  _mm256_zeroupper();
  decode_portable(p + i, n - i, out, out_end);
}

// 64 input positions per round; only the leads C2 and C3 occur, each with one
// continuation byte after it. Rounds run while 65 bytes and 64 units of room
// remain.
QUILLO_TARGET_AVX512 void decode_latin1_avx512(const unsigned char* p, std::size_t n, Py_UCS1* out,
                                               Py_UCS1* out_end) {
  const __m512i first_non_continuation = _mm512_set1_epi8(-0x40);
  const __m512i lead = _mm512_set1_epi8(static_cast<char>(0xC0));
  const __m512i low6 = _mm512_set1_epi8(0x3F);
  std::size_t i = 0;
  while (n - i >= 65 && out_end - out >= 64) {
    const __m512i b0 = _mm512_loadu_si512(p + i);
    const __mmask64 high = _mm512_movepi8_mask(b0);
    if (high == 0) {  // all ASCII
      _mm512_storeu_si512(out, b0);
      out += 64;
      i += 64;
      continue;
    }
    const __mmask64 starts = _mm512_cmpge_epi8_mask(b0, first_non_continuation);
    const __m512i b1 = _mm512_loadu_si512(p + i + 1);
    // (b0 & 3) << 6 | (b1 & 0x3F): the 16-bit shift moves bits across bytes,
    // the mask keeps each byte's own two.
    const __m512i two = _mm512_ternarylogic_epi32(_mm512_slli_epi16(b0, 6), b1, low6, 0xD8);
    const __m512i chars = _mm512_mask_mov_epi8(b0, _mm512_cmpge_epu8_mask(b0, lead), two);
    _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(starts, chars));
    out += _mm_popcnt_u64(starts);
    i += 64;
  }
  _mm256_zeroupper();  // as above
  decode_portable(p + i, n - i, out, out_end);
}

#endif

// A new str of `chars` units of type Unit (maxchar 0xFF or 0xFFFF) decoded
// from p[0, n): by `wide` where given, else by the portable decoder.
template <class Unit>
PyObject* decoded(const unsigned char* p, std::size_t n, Py_ssize_t chars, Py_UCS4 maxchar,
                  void (*wide)(const unsigned char*, std::size_t, Unit*, Unit*)) {
  PyObject* str = PyUnicode_New(chars, maxchar);
  if (str == nullptr) return nullptr;
  Unit* out = static_cast<Unit*>(PyUnicode_DATA(str));
  (wide != nullptr ? wide : decode_portable<Unit>)(p, n, out, out + chars);
  return str;
}

}  // namespace

PyObject* str_from_valid_utf8(const char* data, std::size_t size, Utf8Decoder decoder) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  [[maybe_unused]] const bool wide = decoder == Utf8Decoder::kBest && cpu_has_avx512_bytes();
  Census census;
#if QUILLO_HAVE_AVX512_PATH
  census = wide ? census_avx512(p, size) : census_portable(p, size);
#else
  census = census_portable(p, size);
#endif
  // Four-byte sequences are rare in terminal output. A text of one character
  // is left to CPython too, which hands out its cached str for the Latin-1
  // ones, as it does for the empty text.
  if (census.top >= 0xF0 || census.chars <= 1) {
    return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "strict");
  }
  const auto chars = static_cast<Py_ssize_t>(census.chars);
  if (census.top < 0x80) {
    PyObject* str = PyUnicode_New(chars, 0x7F);
    if (str != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(str), data, size);
    return str;
  }
#if QUILLO_HAVE_AVX512_PATH
  auto* const latin1 = wide ? decode_latin1_avx512 : nullptr;
  auto* const ucs2 = wide ? decode_ucs2_avx512 : nullptr;
#else
  decltype(&decode_portable<Py_UCS1>) const latin1 = nullptr;
  decltype(&decode_portable<Py_UCS2>) const ucs2 = nullptr;
#endif
  if (census.top < 0xC4) return decoded<Py_UCS1>(p, size, chars, 0xFF, latin1);
  return decoded<Py_UCS2>(p, size, chars, 0xFFFF, ucs2);
}

PyObject* str_from_valid_utf8(const char* data, std::size_t size) {
  return str_from_valid_utf8(data, size, Utf8Decoder::kBest);
}

}  // namespace quillo::py
