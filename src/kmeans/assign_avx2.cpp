// The assignment kernel with AVX2 and FMA: eight rows to a register, tiles
// of two row vectors by five centroids (ten accumulators of sixteen
// registers). Compiled with -mavx2 -mfma; called only where the CPU and the
// operating system have both.
#include "kmeans/assign.h"

#if defined(__x86_64__)
#include <immintrin.h>

#include "kmeans/assign_kernel.h"
#include "kmeans/lanes.h"

namespace tarnwick::assign_detail {
namespace {

struct Avx2 {
  static constexpr std::size_t kWidth = 8;
  using F = __m256;
  using I = __m256i;
  using Mask = __m256;
  static F zero() { return _mm256_setzero_ps(); }
  static F load(const float* p) { return _mm256_loadu_ps(p); }
  static F set1(float x) { return _mm256_set1_ps(x); }
  static F fma(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
  static F add(F a, F b) { return _mm256_add_ps(a, b); }
  static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static Mask less(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
  static F select(Mask m, F a, F b) { return _mm256_blendv_ps(b, a, m); }
  static I select(Mask m, I a, I b) {
    return _mm256_castps_si256(
        _mm256_blendv_ps(_mm256_castsi256_ps(b), _mm256_castsi256_ps(a), m));
  }
  static I set1_label(Label j) { return _mm256_set1_epi32(j); }
  static void store(float* p, F v) { _mm256_storeu_ps(p, v); }
  static void columns8(const float* rows, std::size_t stride, F column[8]) {
    lanes::columns8x8(rows, stride, column);
  }
  static void store_labels(Label* p, I v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
};

}  // namespace

Kernel avx2_kernel() { return FusedAssign<Avx2, 2, 5>::kernel(); }

}  // namespace tarnwick::assign_detail
#endif
