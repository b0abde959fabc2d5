// Which vector instruction sets the kmeans kernels use: the widest this CPU
// has. A benchmark build configured with TARNWICK_KMEANS_PATH (avx2 or
// portable) uses none wider than that one, so that one machine can time each
// path; the released module is built without it and always takes the widest.
#pragma once

#include "support/cpu_features.h"

namespace tarnwick {

// TARNWICK_KMEANS_WIDEST: 0 portable only, 1 up to AVX2 (NEON on Arm), unset
// the widest the CPU has.
inline bool kmeans_avx512() {
#if defined(TARNWICK_KMEANS_WIDEST)
  return false;
#else
  return has_avx512();
#endif
}

inline bool kmeans_avx2_fma() {
#if defined(TARNWICK_KMEANS_WIDEST) && TARNWICK_KMEANS_WIDEST < 1
  return false;
#else
  return has_avx2_fma();
#endif
}

inline constexpr bool kKmeansNeon =
#if defined(__aarch64__) && !(defined(TARNWICK_KMEANS_WIDEST) && TARNWICK_KMEANS_WIDEST < 1)
    true;
#else
    false;
#endif

}  // namespace tarnwick
