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
  // vector, eight by two). Narrow rows: four vectors. Rows transposed in
  // registers up to fifteen centroids, one accumulator each beside the eight
  // columns: at sixteen the centroids fill a vector and their lanes are as
  // fast.
  static constexpr TileShape kTiles{4, 5, 16, 8, 4, 15};
  static F set1(float x) { return _mm512_set1_ps(x); }
  static F fma(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }
  static Mask less(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
  static F select(Mask m, F a, F b) { return _mm512_mask_blend_ps(m, b, a); }
  static I select(Mask m, I a, I b) { return _mm512_mask_blend_epi32(m, b, a); }
  static I set1_label(Label j) { return _mm512_set1_epi32(j); }
  static I add_labels(I a, I b) { return _mm512_add_epi32(a, b); }
  static void columns8(const float* rows, std::size_t stride, F column[8]) {
    lanes::columns16x8(rows, stride, column);
  }
  static F least_everywhere(F v) { return lanes::least_of16_everywhere(v); }
  static void transpose(F (&v)[kWidth]) { lanes::transpose16(v); }
  static unsigned equal_bits(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_EQ_OQ); }
  // Columns of sixteen rows of D floats: loads and two-register permutes.
  template <std::size_t D>
    requires(D == 1 || D == 2 || D == 4)
  static void columns(const float* rows, F (&column)[D]) {
    // Lane r of index(start, step) is start + r·step, wrapping at 32: a
    // two-register permute's source of lane r.
    const auto index = [](int start, int step) {
      const __m512i r = _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
      return _mm512_and_si512(_mm512_add_epi32(_mm512_set1_epi32(start), _mm512_mullo_epi32(r, _mm512_set1_epi32(step))),
                              _mm512_set1_epi32(31));
    };
    if constexpr (D == 1) {
      column[0] = _mm512_loadu_ps(rows);
    } else if constexpr (D == 2) {
      const F a = _mm512_loadu_ps(rows), b = _mm512_loadu_ps(rows + 16);
      column[0] = _mm512_permutex2var_ps(a, index(0, 2), b);
      column[1] = _mm512_permutex2var_ps(a, index(1, 2), b);
    } else {
      // Rows 0-7 of column c in the low half from the first two registers,
      // rows 8-15 from the last two, then the halves joined.
      const F t0 = _mm512_loadu_ps(rows), t1 = _mm512_loadu_ps(rows + 16);
      const F t2 = _mm512_loadu_ps(rows + 32), t3 = _mm512_loadu_ps(rows + 48);
#pragma GCC unroll 4
      for (int c = 0; c < 4; ++c) {
        const __m512i at = index(c, 4);
        column[c] = lanes::low_halves(_mm512_permutex2var_ps(t0, at, t1),
                                      _mm512_permutex2var_ps(t2, at, t3));
      }
    }
  }
};

}  // namespace
}  // namespace tarnwick::assign_detail
#endif
