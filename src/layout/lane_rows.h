// Rows to lanes and back: four rows of the embedding become vectors of one
// coordinate each (lane q from row q), and the vectors go back to the rows.
// Only the rows' own coordinates are read or written.
#pragma once

#include <cstddef>

#include "layout/lane_target.h"

#if defined(__x86_64__)

namespace tarnwick::layout {
// Internal linkage, as in lane_steps.h.
namespace {

// Four rows of four coordinates become four vectors of one coordinate of
// each row, and back: the transpose is its own inverse.
TARNWICK_LANES_INLINE void transpose4(__m256d& r0, __m256d& r1, __m256d& r2, __m256d& r3) {
  const __m256d t0 = _mm256_unpacklo_pd(r0, r1);
  const __m256d t1 = _mm256_unpackhi_pd(r0, r1);
  const __m256d t2 = _mm256_unpacklo_pd(r2, r3);
  const __m256d t3 = _mm256_unpackhi_pd(r2, r3);
  r0 = _mm256_permute2f128_pd(t0, t2, 0x20);
  r1 = _mm256_permute2f128_pd(t1, t3, 0x20);
  r2 = _mm256_permute2f128_pd(t0, t2, 0x31);
  r3 = _mm256_permute2f128_pd(t1, t3, 0x31);
}

// Rows are taken in chunks: four coordinates while four remain, then two,
// then one.
template <std::size_t kDim, std::size_t kD0>
inline constexpr std::size_t kChunk = kDim - kD0 >= 4 ? 4 : (kDim - kD0 >= 2 ? 2 : 1);

// out[i] holds coordinate kD0 + i of the four rows, lane q from rows[q].
template <std::size_t kD0, std::size_t kWidth>
TARNWICK_LANES_INLINE void gather_chunk(const double* const (&rows)[4], __m256d (&out)[kWidth]) {
  if constexpr (kWidth == 4) {
    out[0] = _mm256_loadu_pd(rows[0] + kD0);
    out[1] = _mm256_loadu_pd(rows[1] + kD0);
    out[2] = _mm256_loadu_pd(rows[2] + kD0);
    out[3] = _mm256_loadu_pd(rows[3] + kD0);
    transpose4(out[0], out[1], out[2], out[3]);
  } else if constexpr (kWidth == 2) {
    const __m256d even = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(rows[0] + kD0)),
                                              _mm_loadu_pd(rows[2] + kD0), 1);
    const __m256d odd = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(rows[1] + kD0)),
                                             _mm_loadu_pd(rows[3] + kD0), 1);
    out[0] = _mm256_unpacklo_pd(even, odd);
    out[1] = _mm256_unpackhi_pd(even, odd);
  } else {
    out[0] = _mm256_set_pd(rows[3][kD0], rows[2][kD0], rows[1][kD0], rows[0][kD0]);
  }
}

template <std::size_t kD0, std::size_t kWidth>
TARNWICK_LANES_INLINE void scatter_chunk(double* const (&rows)[4], const __m256d (&in)[kWidth]) {
  if constexpr (kWidth == 4) {
    __m256d r0 = in[0], r1 = in[1], r2 = in[2], r3 = in[3];
    transpose4(r0, r1, r2, r3);
    _mm256_storeu_pd(rows[0] + kD0, r0);
    _mm256_storeu_pd(rows[1] + kD0, r1);
    _mm256_storeu_pd(rows[2] + kD0, r2);
    _mm256_storeu_pd(rows[3] + kD0, r3);
  } else if constexpr (kWidth == 2) {
    const __m256d even = _mm256_unpacklo_pd(in[0], in[1]);
    const __m256d odd = _mm256_unpackhi_pd(in[0], in[1]);
    _mm_storeu_pd(rows[0] + kD0, _mm256_castpd256_pd128(even));
    _mm_storeu_pd(rows[2] + kD0, _mm256_extractf128_pd(even, 1));
    _mm_storeu_pd(rows[1] + kD0, _mm256_castpd256_pd128(odd));
    _mm_storeu_pd(rows[3] + kD0, _mm256_extractf128_pd(odd, 1));
  } else {
    const __m128d low = _mm256_castpd256_pd128(in[0]);
    const __m128d high = _mm256_extractf128_pd(in[0], 1);
    _mm_store_sd(rows[0] + kD0, low);
    _mm_storeh_pd(rows[1] + kD0, low);
    _mm_store_sd(rows[2] + kD0, high);
    _mm_storeh_pd(rows[3] + kD0, high);
  }
}

// Whole rows of up to four coordinates.
template <std::size_t kDim, std::size_t kD0 = 0>
TARNWICK_LANES_INLINE void gather_rows(const double* const (&rows)[4], __m256d (&out)[kDim]) {
  if constexpr (kD0 < kDim) {
    constexpr std::size_t kWidth = kChunk<kDim, kD0>;
    __m256d part[kWidth];
    gather_chunk<kD0, kWidth>(rows, part);
    for (std::size_t i = 0; i < kWidth; ++i) out[kD0 + i] = part[i];
    gather_rows<kDim, kD0 + kWidth>(rows, out);
  }
}

template <std::size_t kDim, std::size_t kD0 = 0>
TARNWICK_LANES_INLINE void scatter_rows(double* const (&rows)[4], const __m256d (&in)[kDim]) {
  if constexpr (kD0 < kDim) {
    constexpr std::size_t kWidth = kChunk<kDim, kD0>;
    __m256d part[kWidth];
    for (std::size_t i = 0; i < kWidth; ++i) part[i] = in[kD0 + i];
    scatter_chunk<kD0, kWidth>(rows, part);
    scatter_rows<kDim, kD0 + kWidth>(rows, in);
  }
}

// Column l of `columns` (coordinate by coordinate) to `row`, a chunk per
// store as gather_chunk reads it.
template <std::size_t kDim, std::size_t kLanes, std::size_t kD0 = 0>
TARNWICK_LANES_INLINE void store_column(const double (&columns)[kDim][kLanes], std::size_t l, double* row) {
  if constexpr (kD0 < kDim) {
    constexpr std::size_t kWidth = kChunk<kDim, kD0>;
    if constexpr (kWidth == 4) {
      _mm256_storeu_pd(row + kD0, _mm256_set_pd(columns[kD0 + 3][l], columns[kD0 + 2][l], columns[kD0 + 1][l],
                                                columns[kD0][l]));
    } else if constexpr (kWidth == 2) {
      _mm_storeu_pd(row + kD0, _mm_set_pd(columns[kD0 + 1][l], columns[kD0][l]));
    } else {
      row[kD0] = columns[kD0][l];
    }
    store_column<kDim, kLanes, kD0 + kWidth>(columns, l, row);
  }
}

}  // namespace
}  // namespace tarnwick::layout

#endif  // __x86_64__
