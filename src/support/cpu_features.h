// Which vector instruction sets the processor and the operating system
// support, decided once per process. The wider paths that use them compute
// exactly what the baseline ones do; they are only faster.
#pragma once

namespace tarnwick {

#if defined(__x86_64__)
// The tests include the operating system's support for the wider registers.
inline bool has_avx2() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return yes;
}

// AVX2 together with FMA (the C library picks its fused builds on this pair).
inline bool has_avx2_fma() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0;
  }();
  return yes;
}

inline bool has_avx512() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0;
  }();
  return yes;
}
#else
inline bool has_avx2() { return false; }
inline bool has_avx2_fma() { return false; }
inline bool has_avx512() { return false; }
#endif

}  // namespace tarnwick
