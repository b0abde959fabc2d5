// The argmin of the assignment: for each row of a block of products g, the
// cluster j with the smallest score norms[j] - (g[j] + g[j]), found as by a
// strict-< scan from j = 0 with best = +inf. So the first index of the
// smallest score wins, NaN never wins and a row whose scores are all NaN or
// +inf keeps 0. Every variant below computes each score with the same two
// roundings and returns what that scan returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "support/cpu_features.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tarnwick {

// Labels while iterating, half the memory traffic of the int64 result. Every
// label fits: with d >= 1, k <= INT_MAX is checked before any assignment
// (check_gemm_dims), and with d == 0 every score is 0 and every label 0.
using Label = std::int32_t;

namespace nearest_detail {

constexpr float kInf = std::numeric_limits<float>::infinity();

inline float score(const float* g, const float* norms, std::size_t j) {
  return norms[j] - (g[j] + g[j]);
}

// The scan itself.
inline Label scan(const float* g, const float* norms, std::size_t k) {
  float best = kInf;
  Label label = 0;
  for (std::size_t j = 0; j < k; ++j) {
    float s = score(g, norms, j);
    if (s < best) {
      best = s;
      label = static_cast<Label>(j);
    }
  }
  return label;
}

#if defined(__SSE2__)
inline __m128 scores4(const float* g, const float* norms, std::size_t j) {
  __m128 gv = _mm_loadu_ps(g + j);
  return _mm_sub_ps(_mm_loadu_ps(norms + j), _mm_add_ps(gv, gv));
}

// The scan for 4·G rows at once, one row per lane, in G independent groups
// of four: branch-free (the scalar scan mostly waits on mispredicted
// branches), and with G chains of comparisons in flight instead of one.
template <std::size_t G>
inline void scan_lanes(const float* g, std::size_t k, const float* norms, Label* out) {
  __m128 best[G];
  __m128i label[G];
  for (std::size_t q = 0; q < G; ++q) {
    best[q] = _mm_set1_ps(kInf);
    label[q] = _mm_setzero_si128();
  }
  __m128i index = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi32(1);
  auto step = [&](std::size_t q, __m128 gv, __m128 norm) {
    __m128 s = _mm_sub_ps(norm, _mm_add_ps(gv, gv));
    __m128i lt = _mm_castps_si128(_mm_cmplt_ps(s, best[q]));
    best[q] = _mm_min_ps(s, best[q]);  // s < best ? s : best
    label[q] = _mm_or_si128(_mm_and_si128(lt, index), _mm_andnot_si128(lt, label[q]));
  };
  std::size_t j = 0;
  for (; j + 4 <= k; j += 4) {
    __m128 r[G][4];
    for (std::size_t q = 0; q < G; ++q) {
      const float* rows = g + 4 * q * k + j;
      r[q][0] = _mm_loadu_ps(rows);
      r[q][1] = _mm_loadu_ps(rows + k);
      r[q][2] = _mm_loadu_ps(rows + 2 * k);
      r[q][3] = _mm_loadu_ps(rows + 3 * k);
      _MM_TRANSPOSE4_PS(r[q][0], r[q][1], r[q][2], r[q][3]);
    }
    for (std::size_t c = 0; c < 4; ++c) {
      const __m128 norm = _mm_set1_ps(norms[j + c]);
      for (std::size_t q = 0; q < G; ++q) step(q, r[q][c], norm);
      index = _mm_add_epi32(index, one);
    }
  }
  for (; j < k; ++j) {
    const __m128 norm = _mm_set1_ps(norms[j]);
    for (std::size_t q = 0; q < G; ++q) {
      const float* rows = g + 4 * q * k + j;
      step(q, _mm_set_ps(rows[3 * k], rows[2 * k], rows[k], rows[0]), norm);
    }
    index = _mm_add_epi32(index, one);
  }
  for (std::size_t q = 0; q < G; ++q)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * q), label[q]);
}

#endif

#if defined(__x86_64__)
// The scan for eight rows at once with AVX2, for k >= 8: one row per lane,
// columns brought into lanes by 8×8 transposes. The same operations per
// lane as scan_lanes (an ordered less-than, min, select), so the same
// labels. Only called where the processor has AVX2 (see nearest_rows).
__attribute__((target("avx2"))) inline void scan8_avx2(const float* g, std::size_t k,
                                                       const float* norms, Label* out) {
  __m256 best = _mm256_set1_ps(kInf);
  __m256i label = _mm256_setzero_si256();
  __m256i index = _mm256_setzero_si256();
  const __m256i one = _mm256_set1_epi32(1);
  std::size_t j = 0;
  for (; j + 8 <= k; j += 8) {
    const float* rows = g + j;
    __m256 t0 = _mm256_loadu_ps(rows), t1 = _mm256_loadu_ps(rows + k);
    __m256 t2 = _mm256_loadu_ps(rows + 2 * k), t3 = _mm256_loadu_ps(rows + 3 * k);
    __m256 t4 = _mm256_loadu_ps(rows + 4 * k), t5 = _mm256_loadu_ps(rows + 5 * k);
    __m256 t6 = _mm256_loadu_ps(rows + 6 * k), t7 = _mm256_loadu_ps(rows + 7 * k);
    __m256 u0 = _mm256_unpacklo_ps(t0, t1), u1 = _mm256_unpackhi_ps(t0, t1);
    __m256 u2 = _mm256_unpacklo_ps(t2, t3), u3 = _mm256_unpackhi_ps(t2, t3);
    __m256 u4 = _mm256_unpacklo_ps(t4, t5), u5 = _mm256_unpackhi_ps(t4, t5);
    __m256 u6 = _mm256_unpacklo_ps(t6, t7), u7 = _mm256_unpackhi_ps(t6, t7);
    __m256 v0 = _mm256_shuffle_ps(u0, u2, _MM_SHUFFLE(1, 0, 1, 0));
    __m256 v1 = _mm256_shuffle_ps(u0, u2, _MM_SHUFFLE(3, 2, 3, 2));
    __m256 v2 = _mm256_shuffle_ps(u1, u3, _MM_SHUFFLE(1, 0, 1, 0));
    __m256 v3 = _mm256_shuffle_ps(u1, u3, _MM_SHUFFLE(3, 2, 3, 2));
    __m256 v4 = _mm256_shuffle_ps(u4, u6, _MM_SHUFFLE(1, 0, 1, 0));
    __m256 v5 = _mm256_shuffle_ps(u4, u6, _MM_SHUFFLE(3, 2, 3, 2));
    __m256 v6 = _mm256_shuffle_ps(u5, u7, _MM_SHUFFLE(1, 0, 1, 0));
    __m256 v7 = _mm256_shuffle_ps(u5, u7, _MM_SHUFFLE(3, 2, 3, 2));
    __m256 column[8] = {
        _mm256_permute2f128_ps(v0, v4, 0x20), _mm256_permute2f128_ps(v1, v5, 0x20),
        _mm256_permute2f128_ps(v2, v6, 0x20), _mm256_permute2f128_ps(v3, v7, 0x20),
        _mm256_permute2f128_ps(v0, v4, 0x31), _mm256_permute2f128_ps(v1, v5, 0x31),
        _mm256_permute2f128_ps(v2, v6, 0x31), _mm256_permute2f128_ps(v3, v7, 0x31),
    };
    for (std::size_t c = 0; c < 8; ++c) {
      __m256 s = _mm256_sub_ps(_mm256_set1_ps(norms[j + c]), _mm256_add_ps(column[c], column[c]));
      __m256 lt = _mm256_cmp_ps(s, best, _CMP_LT_OQ);
      best = _mm256_min_ps(s, best);  // s < best ? s : best
      label = _mm256_blendv_epi8(label, index, _mm256_castps_si256(lt));
      index = _mm256_add_epi32(index, one);
    }
  }
  for (; j < k; ++j) {
    const float* col = g + j;
    __m256 gv = _mm256_set_ps(col[7 * k], col[6 * k], col[5 * k], col[4 * k], col[3 * k],
                              col[2 * k], col[k], col[0]);
    __m256 s = _mm256_sub_ps(_mm256_set1_ps(norms[j]), _mm256_add_ps(gv, gv));
    __m256 lt = _mm256_cmp_ps(s, best, _CMP_LT_OQ);
    best = _mm256_min_ps(s, best);
    label = _mm256_blendv_epi8(label, index, _mm256_castps_si256(lt));
    index = _mm256_add_epi32(index, one);
  }
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), label);
}

// GCC 12's AVX-512 intrinsics pass a deliberately undefined operand, which
// its own uninitialised-use analysis then reports once they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// Eight floats of row r and the same eight of row r + 4, in one register.
__attribute__((target("avx512f"))) inline __m512 row_pair(const float* g, std::size_t k,
                                                          std::size_t r) {
  __m512 lo = _mm512_zextps256_ps512(_mm256_loadu_ps(g + r * k));
  __m512 hi = _mm512_zextps256_ps512(_mm256_loadu_ps(g + (r + 4) * k));
  return _mm512_shuffle_f32x4(lo, hi, _MM_SHUFFLE(1, 0, 1, 0));
}

// The same for sixteen rows with AVX-512: each 512-bit load holds two rows
// (i and i + 4 of a group of eight), so the in-lane transposes of
// scan8_avx2 followed by one cross-lane shuffle leave column j of all
// sixteen rows, in row order, in one register.
__attribute__((target("avx512f"))) inline void scan16_avx512(const float* g, std::size_t k,
                                                             const float* norms, Label* out) {
  __m512 best = _mm512_set1_ps(kInf);
  __m512i label = _mm512_setzero_si512();
  __m512i index = _mm512_setzero_si512();
  const __m512i one = _mm512_set1_epi32(1);
  std::size_t j = 0;
  for (; j + 8 <= k; j += 8) {
    const float* rows = g + j;
    __m512 t0 = row_pair(rows, k, 0), t1 = row_pair(rows, k, 1);
    __m512 t2 = row_pair(rows, k, 2), t3 = row_pair(rows, k, 3);
    __m512 t4 = row_pair(rows, k, 8), t5 = row_pair(rows, k, 9);
    __m512 t6 = row_pair(rows, k, 10), t7 = row_pair(rows, k, 11);
    __m512 u0 = _mm512_unpacklo_ps(t0, t1), u1 = _mm512_unpackhi_ps(t0, t1);
    __m512 u2 = _mm512_unpacklo_ps(t2, t3), u3 = _mm512_unpackhi_ps(t2, t3);
    __m512 u4 = _mm512_unpacklo_ps(t4, t5), u5 = _mm512_unpackhi_ps(t4, t5);
    __m512 u6 = _mm512_unpacklo_ps(t6, t7), u7 = _mm512_unpackhi_ps(t6, t7);
    // 128-bit lane L of v0..v3: column c (L even) or c + 4 (L odd) of rows
    // 0-3 (L < 2) or 4-7 (L >= 2); v4..v7 the same for rows 8-15.
    __m512 v0 = _mm512_shuffle_ps(u0, u2, _MM_SHUFFLE(1, 0, 1, 0));
    __m512 v1 = _mm512_shuffle_ps(u0, u2, _MM_SHUFFLE(3, 2, 3, 2));
    __m512 v2 = _mm512_shuffle_ps(u1, u3, _MM_SHUFFLE(1, 0, 1, 0));
    __m512 v3 = _mm512_shuffle_ps(u1, u3, _MM_SHUFFLE(3, 2, 3, 2));
    __m512 v4 = _mm512_shuffle_ps(u4, u6, _MM_SHUFFLE(1, 0, 1, 0));
    __m512 v5 = _mm512_shuffle_ps(u4, u6, _MM_SHUFFLE(3, 2, 3, 2));
    __m512 v6 = _mm512_shuffle_ps(u5, u7, _MM_SHUFFLE(1, 0, 1, 0));
    __m512 v7 = _mm512_shuffle_ps(u5, u7, _MM_SHUFFLE(3, 2, 3, 2));
    constexpr int kLow = _MM_SHUFFLE(2, 0, 2, 0), kHigh = _MM_SHUFFLE(3, 1, 3, 1);
    __m512 column[8] = {
        _mm512_shuffle_f32x4(v0, v4, kLow),  _mm512_shuffle_f32x4(v1, v5, kLow),
        _mm512_shuffle_f32x4(v2, v6, kLow),  _mm512_shuffle_f32x4(v3, v7, kLow),
        _mm512_shuffle_f32x4(v0, v4, kHigh), _mm512_shuffle_f32x4(v1, v5, kHigh),
        _mm512_shuffle_f32x4(v2, v6, kHigh), _mm512_shuffle_f32x4(v3, v7, kHigh),
    };
    for (std::size_t c = 0; c < 8; ++c) {
      __m512 s = _mm512_sub_ps(_mm512_set1_ps(norms[j + c]), _mm512_add_ps(column[c], column[c]));
      __mmask16 lt = _mm512_cmp_ps_mask(s, best, _CMP_LT_OQ);
      best = _mm512_min_ps(s, best);  // s < best ? s : best
      label = _mm512_mask_mov_epi32(label, lt, index);
      index = _mm512_add_epi32(index, one);
    }
  }
  for (; j < k; ++j) {
    alignas(64) float col[16];
    for (std::size_t r = 0; r < 16; ++r) col[r] = g[r * k + j];
    __m512 gv = _mm512_load_ps(col);
    __m512 s = _mm512_sub_ps(_mm512_set1_ps(norms[j]), _mm512_add_ps(gv, gv));
    __mmask16 lt = _mm512_cmp_ps_mask(s, best, _CMP_LT_OQ);
    best = _mm512_min_ps(s, best);
    label = _mm512_mask_mov_epi32(label, lt, index);
    index = _mm512_add_epi32(index, one);
  }
  _mm512_storeu_si512(out, label);
}
#pragma GCC diagnostic pop
#endif

}  // namespace nearest_detail

// Labels of `rows` rows of products g (row stride k) into out.
inline void nearest_rows(const float* g, std::size_t rows, std::size_t k, const float* norms,
                         Label* out) {
  using namespace nearest_detail;
  std::size_t i = 0;
#if defined(__x86_64__)
  // Faster than the SSE2 scan where there are whole columns of eight.
  if (k >= 8 && has_avx512())
    for (; i + 16 <= rows; i += 16) scan16_avx512(g + i * k, k, norms, out + i);
  if (k >= 8 && has_avx2())
    for (; i + 8 <= rows; i += 8) scan8_avx2(g + i * k, k, norms, out + i);
#endif
#if defined(__SSE2__)
  for (; i + 8 <= rows; i += 8) scan_lanes<2>(g + i * k, k, norms, out + i);
  for (; i + 4 <= rows; i += 4) scan_lanes<1>(g + i * k, k, norms, out + i);
#endif
  for (; i < rows; ++i) out[i] = scan(g + i * k, norms, k);
}

}  // namespace tarnwick
