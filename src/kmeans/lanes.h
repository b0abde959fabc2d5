// Loads for lane-per-row kernels: a block of consecutive rows (row stride
// `stride`) brought into registers column by column, so that lane r of a
// column register holds that column's element of row r. Kernels that run
// one row per lane keep each row's own order of operations, so they compute
// exactly what a loop over the rows one at a time computes.
#pragma once

#include <cstddef>

#if defined(__x86_64__)
#include <immintrin.h>

namespace tarnwick::lanes {
// Internal to each file that includes it: a file compiled for a wider
// instruction set (assign_avx512.cpp) compiles these with its own flags, and
// the linker must not hand that copy to code that runs on any CPU.
namespace {

// Columns 0-7 of eight rows, by an 8×8 transpose.
__attribute__((target("avx2"))) inline void columns8x8(const float* rows, std::size_t stride,
                                                       __m256 column[8]) {
  __m256 t0 = _mm256_loadu_ps(rows), t1 = _mm256_loadu_ps(rows + stride);
  __m256 t2 = _mm256_loadu_ps(rows + 2 * stride), t3 = _mm256_loadu_ps(rows + 3 * stride);
  __m256 t4 = _mm256_loadu_ps(rows + 4 * stride), t5 = _mm256_loadu_ps(rows + 5 * stride);
  __m256 t6 = _mm256_loadu_ps(rows + 6 * stride), t7 = _mm256_loadu_ps(rows + 7 * stride);
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
  column[0] = _mm256_permute2f128_ps(v0, v4, 0x20);
  column[1] = _mm256_permute2f128_ps(v1, v5, 0x20);
  column[2] = _mm256_permute2f128_ps(v2, v6, 0x20);
  column[3] = _mm256_permute2f128_ps(v3, v7, 0x20);
  column[4] = _mm256_permute2f128_ps(v0, v4, 0x31);
  column[5] = _mm256_permute2f128_ps(v1, v5, 0x31);
  column[6] = _mm256_permute2f128_ps(v2, v6, 0x31);
  column[7] = _mm256_permute2f128_ps(v3, v7, 0x31);
}

// Column 0 of eight rows, one element at a time (for leftover columns).
__attribute__((target("avx2"))) inline __m256 column8(const float* rows, std::size_t stride) {
  return _mm256_set_ps(rows[7 * stride], rows[6 * stride], rows[5 * stride], rows[4 * stride],
                       rows[3 * stride], rows[2 * stride], rows[stride], rows[0]);
}

// The least of eight floats (none NaN).
__attribute__((target("avx2"))) inline float least_of8(__m256 v) {
  __m128 m = _mm_min_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  m = _mm_min_ps(m, _mm_movehl_ps(m, m));
  return _mm_cvtss_f32(_mm_min_ss(m, _mm_shuffle_ps(m, m, 1)));
}

// GCC 12's AVX-512 intrinsics pass a deliberately undefined operand, which
// its own uninitialised-use analysis then reports once they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// Columns 0-7 of row r in the low half, of row r + 4 in the high half.
__attribute__((target("avx512f"))) inline __m512 row_pair(const float* rows, std::size_t stride,
                                                          std::size_t r) {
  __m512 lo = _mm512_zextps256_ps512(_mm256_loadu_ps(rows + r * stride));
  __m512 hi = _mm512_zextps256_ps512(_mm256_loadu_ps(rows + (r + 4) * stride));
  return _mm512_shuffle_f32x4(lo, hi, _MM_SHUFFLE(1, 0, 1, 0));
}

// Columns 0-7 of sixteen rows: the 8×8 transpose of columns8x8 on row
// pairs (within 128-bit lanes), then one cross-lane shuffle per column that
// puts the sixteen rows in order.
__attribute__((target("avx512f"))) inline void columns16x8(const float* rows, std::size_t stride,
                                                           __m512 column[8]) {
  __m512 t0 = row_pair(rows, stride, 0), t1 = row_pair(rows, stride, 1);
  __m512 t2 = row_pair(rows, stride, 2), t3 = row_pair(rows, stride, 3);
  __m512 t4 = row_pair(rows, stride, 8), t5 = row_pair(rows, stride, 9);
  __m512 t6 = row_pair(rows, stride, 10), t7 = row_pair(rows, stride, 11);
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
  column[0] = _mm512_shuffle_f32x4(v0, v4, kLow);
  column[1] = _mm512_shuffle_f32x4(v1, v5, kLow);
  column[2] = _mm512_shuffle_f32x4(v2, v6, kLow);
  column[3] = _mm512_shuffle_f32x4(v3, v7, kLow);
  column[4] = _mm512_shuffle_f32x4(v0, v4, kHigh);
  column[5] = _mm512_shuffle_f32x4(v1, v5, kHigh);
  column[6] = _mm512_shuffle_f32x4(v2, v6, kHigh);
  column[7] = _mm512_shuffle_f32x4(v3, v7, kHigh);
}

// Column 0 of sixteen rows, one element at a time (for leftover columns).
__attribute__((target("avx512f"))) inline __m512 column16(const float* rows, std::size_t stride) {
  alignas(64) float column[16];
  for (std::size_t r = 0; r < 16; ++r) column[r] = rows[r * stride];
  return _mm512_load_ps(column);
}

#pragma GCC diagnostic pop

}  // namespace
}  // namespace tarnwick::lanes
#endif
