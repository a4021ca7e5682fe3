#pragma once

// Which vector instructions the running processor offers, for the few hot
// loops that have a wide path beside their portable one. The answer is fixed
// for the life of the process; both paths give identical results.

namespace quillo {

// The attribute a function needs to use the AVX-512 byte and word
// instructions (compares to masks, compress, byte permutes).
#define QUILLO_TARGET_AVX512 \
  __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt")))

#if defined(__x86_64__)
#define QUILLO_HAVE_AVX512_PATH 1
#else
#define QUILLO_HAVE_AVX512_PATH 0
#endif

// True when the AVX-512 paths may run here (AVX-512 BW, VBMI and VBMI2).
inline bool cpu_has_avx512_bytes() {
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

}  // namespace quillo
