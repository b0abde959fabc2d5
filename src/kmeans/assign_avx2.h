// The AVX2+FMA vector type of the assignment kernel: eight rows (or
// centroids) to a register. For files compiled with -mavx2 -mfma only
// (assign_avx2.cpp and its test-only twin).
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>

#include "kmeans/assign.h"
#include "kmeans/lanes.h"

namespace tarnwick::assign_detail {
// Internal to each file that includes it, as the kernel templates are.
namespace {

struct Avx2 : lanes::LaneOps<lanes::Ymm> {
  // Two row vectors by five centroids: ten accumulators of the sixteen
  // registers, the rest holding the rows and a broadcast. Centroids in lanes:
  // ten accumulators again (ten rows by one vector, five by two). Narrow
  // rows: three vectors, whose columns, bests and labels take most of the
  // registers, the rest holding one centroid's broadcasts and chains.
  static constexpr TileShape kTiles{2, 5, 10, 5, 3, 0};
  static F set1(float x) { return _mm256_set1_ps(x); }
  static F fma(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
  // The compilers' own vector comparison (ordered, as _CMP_LT_OQ), whose
  // all-ones lanes the blends below take as they are; through the intrinsic
  // GCC tests every mask's sign bit again before each pair of blends.
  static Mask less(F a, F b) { return reinterpret_cast<Mask>(a < b); }
  static F select(Mask m, F a, F b) { return _mm256_blendv_ps(b, a, m); }
  static I select(Mask m, I a, I b) {
    return _mm256_castps_si256(
        _mm256_blendv_ps(_mm256_castsi256_ps(b), _mm256_castsi256_ps(a), m));
  }
  static I set1_label(Label j) { return _mm256_set1_epi32(j); }
  static I add_labels(I a, I b) { return _mm256_add_epi32(a, b); }
  static void columns8(const float* rows, std::size_t stride, F column[8]) {
    lanes::columns8x8(rows, stride, column);
  }
  static F least_everywhere(F v) { return lanes::least_of8_everywhere(v); }
  static unsigned equal_bits(F a, F b) {
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_EQ_OQ)));
  }
  // Columns of eight rows of D floats: loads and in-register shuffles.
  template <std::size_t D>
    requires(D == 1 || D == 2 || D == 4)
  static void columns(const float* rows, F (&column)[D]) {
    if constexpr (D == 1) {
      column[0] = _mm256_loadu_ps(rows);
    } else if constexpr (D == 2) {
      // Within 128-bit halves, then the 64-bit pairs back in row order.
      const F a = _mm256_loadu_ps(rows), b = _mm256_loadu_ps(rows + 8);
      const auto in_order = [](F v) {
        return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(v), _MM_SHUFFLE(3, 1, 2, 0)));
      };
      column[0] = in_order(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
      column[1] = in_order(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
    } else {
      // Rows r and r + 4 side by side, then a 4×4 transpose in each half.
      const auto pair = [&](std::size_t r) {
        return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(rows + 4 * r)),
                                    _mm_loadu_ps(rows + 4 * (r + 4)), 1);
      };
      const F t0 = pair(0), t1 = pair(1), t2 = pair(2), t3 = pair(3);
      const F u0 = _mm256_unpacklo_ps(t0, t1), u1 = _mm256_unpackhi_ps(t0, t1);
      const F u2 = _mm256_unpacklo_ps(t2, t3), u3 = _mm256_unpackhi_ps(t2, t3);
      column[0] = _mm256_shuffle_ps(u0, u2, _MM_SHUFFLE(1, 0, 1, 0));
      column[1] = _mm256_shuffle_ps(u0, u2, _MM_SHUFFLE(3, 2, 3, 2));
      column[2] = _mm256_shuffle_ps(u1, u3, _MM_SHUFFLE(1, 0, 1, 0));
      column[3] = _mm256_shuffle_ps(u1, u3, _MM_SHUFFLE(3, 2, 3, 2));
    }
  }
};

}  // namespace
}  // namespace tarnwick::assign_detail
#endif
