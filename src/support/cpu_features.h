// Which vector instruction sets the processor and the operating system
// support, decided once per process. The wider paths that use them compute
// exactly what the baseline ones do; they are only faster.
//
// Read with cpuid and xgetbv rather than the compiler's cpu builtins: under
// clang those reference a runtime-library symbol that cannot be bound from a
// shared object built for an old C library.
#pragma once

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace tarnwick {

#if defined(__x86_64__)
namespace cpu_detail {

struct Features {
  bool avx2 = false;
  bool avx2_fma = false;
  bool avx512 = false;
  bool avx512_dq_vl = false;
};

// XCR0: the register state the operating system saves on a context switch.
inline unsigned long long xcr0() {
  unsigned lo = 0, hi = 0;
  // Inline asm: the _xgetbv intrinsic would need -mxsave wherever this is included.
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (static_cast<unsigned long long>(hi) << 32) | lo;
}

inline Features detect() {
  Features f;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid_max(0, nullptr) < 7 || !__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return f;
  const bool osxsave = (ecx & bit_OSXSAVE) != 0;
  const bool avx = (ecx & bit_AVX) != 0;
  const bool fma = (ecx & bit_FMA) != 0;
  // Without OSXSAVE, xgetbv itself faults; the wide registers are then unusable anyway.
  if (!osxsave || !avx) return f;
  const unsigned long long xcr = xcr0();
  constexpr unsigned long long kYmm = 0x6;   // SSE and AVX state
  constexpr unsigned long long kZmm = 0xE6;  // those plus opmask and both ZMM halves
  if ((xcr & kYmm) != kYmm) return f;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  f.avx2 = (ebx & bit_AVX2) != 0;
  f.avx2_fma = f.avx2 && fma;
  f.avx512 = (ebx & bit_AVX512F) != 0 && (xcr & kZmm) == kZmm;
  f.avx512_dq_vl = f.avx512 && f.avx2_fma && (ebx & bit_AVX512DQ) != 0 && (ebx & bit_AVX512VL) != 0;
  return f;
}

inline const Features& features() {
  static const Features f = detect();
  return f;
}

}  // namespace cpu_detail

inline bool has_avx2() { return cpu_detail::features().avx2; }

// AVX2 together with FMA (the C library picks its fused builds on this pair).
inline bool has_avx2_fma() { return cpu_detail::features().avx2_fma; }

// AVX-512F with the operating system saving the ZMM and opmask registers.
inline bool has_avx512() { return cpu_detail::features().avx512; }

// AVX-512F, DQ and VL (with the registers saved), and AVX2 with FMA.
inline bool has_avx512_dq_vl() { return cpu_detail::features().avx512_dq_vl; }
#else
inline bool has_avx2() { return false; }
inline bool has_avx2_fma() { return false; }
inline bool has_avx512() { return false; }
inline bool has_avx512_dq_vl() { return false; }
#endif

}  // namespace tarnwick
