// The assignment kernel with AVX-512F: sixteen rows to a register, tiles of
// four row vectors by five centroids (twenty accumulators of thirty-two
// registers). Compiled with -mavx512f; called only where the CPU and the
// operating system have it.
#include "kmeans/assign.h"

#if defined(__x86_64__)
#include <immintrin.h>

#include "kmeans/assign_kernel.h"
#include "kmeans/lanes.h"

namespace tarnwick::assign_detail {
namespace {

struct Avx512 {
  static constexpr std::size_t kWidth = 16;
  using F = __m512;
  using I = __m512i;
  using Mask = __mmask16;
  static F zero() { return _mm512_setzero_ps(); }
  static F load(const float* p) { return _mm512_loadu_ps(p); }
  static F set1(float x) { return _mm512_set1_ps(x); }
  static F fma(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }
  static F add(F a, F b) { return _mm512_add_ps(a, b); }
  static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
  static Mask less(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
  static F select(Mask m, F a, F b) { return _mm512_mask_blend_ps(m, b, a); }
  static I select(Mask m, I a, I b) { return _mm512_mask_blend_epi32(m, b, a); }
  static I set1_label(Label j) { return _mm512_set1_epi32(j); }
  static void store(float* p, F v) { _mm512_storeu_ps(p, v); }
  static void columns8(const float* rows, std::size_t stride, F column[8]) {
    lanes::columns16x8(rows, stride, column);
  }
  static void store_labels(Label* p, I v) { _mm512_storeu_si512(p, v); }
  static float least_lane(F v) {
    // Halves through memory: GCC 12's casts and extracts of a 512-bit
    // register warn of an undefined operand of their own.
    alignas(64) float lane[16];
    _mm512_store_ps(lane, v);
    return lanes::least_of8(_mm256_min_ps(_mm256_load_ps(lane), _mm256_load_ps(lane + 8)));
  }
  static unsigned equal_bits(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_EQ_OQ); }
};

}  // namespace

Kernel avx512_kernel() { return make_kernel<Avx512, 4, 5, 16, 8>(); }

}  // namespace tarnwick::assign_detail
#endif
