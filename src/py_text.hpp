#pragma once

// Building Python str objects from the UTF-8 text the session hands out. The
// sanitizer's output is valid UTF-8 by construction, so the decoder here skips
// validation: one pass counts the characters and finds the narrowest kind, a
// second writes them straight into the new str.

#include <Python.h>

#include <cstddef>

namespace quillo::py {

// The str holding the `size` bytes of UTF-8 at `data`: a new reference, or
// nullptr with MemoryError set. Equal to PyUnicode_DecodeUTF8(data, size,
// "strict"), kind included.
//
// Precondition: the bytes are valid UTF-8 (no stray continuation bytes, no
// truncated, overlong or surrogate sequences, nothing above U+10FFFF); it is
// not checked. Bytes that break it give a wrong str, possibly of a kind wider
// than its characters need (which CPython does not allow), but nothing is read
// or written outside the input and the new str.
PyObject* str_from_valid_utf8(const char* data, std::size_t size);

// Which decoder writes the characters; the results are identical.
enum class Utf8Decoder {
  kBest,      // the AVX-512 path where the processor has it, else the portable one
  kPortable,  // the portable path everywhere
};

PyObject* str_from_valid_utf8(const char* data, std::size_t size, Utf8Decoder decoder);

}  // namespace quillo::py
