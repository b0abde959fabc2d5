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

#include "kmeans/lanes.h"
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
    __m256 column[8];
    lanes::columns8x8(g + j, k, column);
    for (std::size_t c = 0; c < 8; ++c) {
      __m256 s = _mm256_sub_ps(_mm256_set1_ps(norms[j + c]), _mm256_add_ps(column[c], column[c]));
      __m256 lt = _mm256_cmp_ps(s, best, _CMP_LT_OQ);
      best = _mm256_min_ps(s, best);  // s < best ? s : best
      label = _mm256_blendv_epi8(label, index, _mm256_castps_si256(lt));
      index = _mm256_add_epi32(index, one);
    }
  }
  for (; j < k; ++j) {
    __m256 gv = lanes::column8(g + j, k);
    __m256 s = _mm256_sub_ps(_mm256_set1_ps(norms[j]), _mm256_add_ps(gv, gv));
    __m256 lt = _mm256_cmp_ps(s, best, _CMP_LT_OQ);
    best = _mm256_min_ps(s, best);
    label = _mm256_blendv_epi8(label, index, _mm256_castps_si256(lt));
    index = _mm256_add_epi32(index, one);
  }
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), label);
}

// The same for sixteen rows with AVX-512.
__attribute__((target("avx512f"))) inline void scan16_avx512(const float* g, std::size_t k,
                                                             const float* norms, Label* out) {
  __m512 best = _mm512_set1_ps(kInf);
  __m512i label = _mm512_setzero_si512();
  __m512i index = _mm512_setzero_si512();
  const __m512i one = _mm512_set1_epi32(1);
  std::size_t j = 0;
  for (; j + 8 <= k; j += 8) {
    __m512 column[8];
    lanes::columns16x8(g + j, k, column);
    for (std::size_t c = 0; c < 8; ++c) {
      __m512 s = _mm512_sub_ps(_mm512_set1_ps(norms[j + c]), _mm512_add_ps(column[c], column[c]));
      __mmask16 lt = _mm512_cmp_ps_mask(s, best, _CMP_LT_OQ);
      best = _mm512_mask_mov_ps(best, lt, s);  // s < best ? s : best
      label = _mm512_mask_mov_epi32(label, lt, index);
      index = _mm512_add_epi32(index, one);
    }
  }
  for (; j < k; ++j) {
    __m512 gv = lanes::column16(g + j, k);
    __m512 s = _mm512_sub_ps(_mm512_set1_ps(norms[j]), _mm512_add_ps(gv, gv));
    __mmask16 lt = _mm512_cmp_ps_mask(s, best, _CMP_LT_OQ);
    best = _mm512_mask_mov_ps(best, lt, s);
    label = _mm512_mask_mov_epi32(label, lt, index);
    index = _mm512_add_epi32(index, one);
  }
  _mm512_storeu_si512(out, label);
}

// GCC 12's AVX-512 intrinsics pass a deliberately undefined operand, which
// its own uninitialised-use analysis then reports once they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// One step of scan_row_avx512: the valid lanes of s against one chain.
__attribute__((target("avx512f"))) inline void fold16(__m512& best, __m512i& label, __m512i index,
                                                      __m512 s, __mmask16 valid) {
  __mmask16 lt = _mm512_mask_cmp_ps_mask(valid, s, best, _CMP_LT_OQ);
  best = _mm512_mask_mov_ps(best, lt, s);  // s < best ? s : best
  label = _mm512_mask_mov_epi32(label, lt, index);
}

// The scan for one row with AVX-512, for many centroids: the row's scores
// sixteen columns at a time, in two chains of comparisons (columns 32c + l
// and 32c + 16 + l in lane l). Each lane keeps the first smallest score of
// its columns, as the scan does for all of them; the smallest of the lanes'
// scores, and among lanes holding it the smallest column, is the scan's
// answer. Lanes that never saw a score below +inf hold label 0, and so does
// the answer when no lane did.
__attribute__((target("avx512f"))) inline Label scan_row_avx512(const float* g, std::size_t k,
                                                                const float* norms) {
  __m512 best0 = _mm512_set1_ps(kInf), best1 = best0;
  __m512i label0 = _mm512_setzero_si512(), label1 = label0;
  __m512i index = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m512i step = _mm512_set1_epi32(16);
  std::size_t j = 0;
  for (; j + 32 <= k; j += 32) {
    __m512 g0 = _mm512_loadu_ps(g + j), g1 = _mm512_loadu_ps(g + j + 16);
    __m512 s0 = _mm512_sub_ps(_mm512_loadu_ps(norms + j), _mm512_add_ps(g0, g0));
    __m512 s1 = _mm512_sub_ps(_mm512_loadu_ps(norms + j + 16), _mm512_add_ps(g1, g1));
    fold16(best0, label0, index, s0, 0xFFFF);
    index = _mm512_add_epi32(index, step);
    fold16(best1, label1, index, s1, 0xFFFF);
    index = _mm512_add_epi32(index, step);
  }
  for (bool first_chain = true; j < k; j += 16, first_chain = false) {
    const std::size_t left = k - j;
    const __mmask16 valid = left >= 16 ? 0xFFFF : static_cast<__mmask16>((1u << left) - 1);
    __m512 gv = _mm512_maskz_loadu_ps(valid, g + j);
    __m512 s = _mm512_sub_ps(_mm512_maskz_loadu_ps(valid, norms + j), _mm512_add_ps(gv, gv));
    if (first_chain) fold16(best0, label0, index, s, valid);
    else fold16(best1, label1, index, s, valid);
    index = _mm512_add_epi32(index, step);
  }
  const __m512 smallest = _mm512_set1_ps(_mm512_reduce_min_ps(_mm512_min_ps(best0, best1)));
  const __m512i none = _mm512_set1_epi32(std::numeric_limits<Label>::max());
  __m512i l0 = _mm512_mask_mov_epi32(none, _mm512_cmp_ps_mask(best0, smallest, _CMP_EQ_OQ), label0);
  __m512i l1 = _mm512_mask_mov_epi32(none, _mm512_cmp_ps_mask(best1, smallest, _CMP_EQ_OQ), label1);
  return _mm512_reduce_min_epi32(_mm512_min_epi32(l0, l1));
}

#pragma GCC diagnostic pop
#endif

// From this many centroids on, scan_row_avx512 beats bringing columns of
// sixteen rows into lanes: 1.1x at 64, 2.3x at 1000.
inline constexpr std::size_t kRowScanMinClusters = 64;

}  // namespace nearest_detail

// Labels of `rows` rows of products g (row stride k) into out.
inline void nearest_rows(const float* g, std::size_t rows, std::size_t k, const float* norms,
                         Label* out) {
  using namespace nearest_detail;
  std::size_t i = 0;
#if defined(__x86_64__)
  if (k >= kRowScanMinClusters && has_avx512()) {
    for (; i < rows; ++i) out[i] = scan_row_avx512(g + i * k, k, norms);
    return;
  }
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
