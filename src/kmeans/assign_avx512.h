// The AVX-512F vector type of the assignment kernel: sixteen rows (or
// centroids) to a register. For files compiled with -mavx512f -mfma only
// (assign_avx512.cpp and its test-only twin).
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>

#include "kmeans/assign.h"
#include "kmeans/lanes.h"

namespace tarnwick::assign_detail {
// Internal to each file that includes it, as the kernel templates are.
namespace {

struct Avx512 : lanes::LaneOps<lanes::Zmm> {
  // Four row vectors by five centroids: twenty accumulators of the
  // thirty-two registers. Centroids in lanes: sixteen (sixteen rows by one
  // vector, eight by two).
  static constexpr TileShape kTiles{4, 5, 16, 8};
  static F set1(float x) { return _mm512_set1_ps(x); }
  static F fma(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }
  static Mask less(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
  static F select(Mask m, F a, F b) { return _mm512_mask_blend_ps(m, b, a); }
  static I select(Mask m, I a, I b) { return _mm512_mask_blend_epi32(m, b, a); }
  static I set1_label(Label j) { return _mm512_set1_epi32(j); }
  static void columns8(const float* rows, std::size_t stride, F column[8]) {
    lanes::columns16x8(rows, stride, column);
  }
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
}  // namespace tarnwick::assign_detail
#endif
