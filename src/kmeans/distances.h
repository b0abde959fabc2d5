// Squared distances from sample rows to one centre, for the k-means++
// seeding. The order of operations is part of the result: each row's sum
// runs over l in ascending order with one rounding per operation. The vector
// variants run several rows side by side, one per lane, each lane doing
// exactly that, so every variant gives the same bits; the lanes only hide
// the latency of the one-row chain of additions.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kmeans/kmeans_path.h"
#include "kmeans/sample_blocks.h"

namespace tarnwick {

inline float squared_distance(const float* a, const float* b, std::size_t d) {
  float acc = 0.0f;
  for (std::size_t l = 0; l < d; ++l) {
    float diff = a[l] - b[l];
    acc = acc + diff * diff;
  }
  return acc;
}

// The seeding's update of each row's least squared distance by a new
// centre: the distance itself for the first centre, else the lesser of the
// two, where a strict < keeps the old one on ties and NaN never replaces.
inline void keep_least(float& least, float d2, bool first) {
  if (first || d2 < least) least = d2;
}

namespace distances_detail {

#if defined(__SSE2__)
// Eight consecutive rows (row stride d), two groups of four lanes.
inline void distances8_sse2(const float* rows, std::size_t d, const float* centre, float* out) {
  __m128 lo = _mm_setzero_ps(), hi = _mm_setzero_ps();
  auto add = [](__m128& acc, __m128 x, float c) {
    __m128 diff = _mm_sub_ps(x, _mm_set1_ps(c));
    acc = _mm_add_ps(acc, _mm_mul_ps(diff, diff));
  };
  std::size_t l = 0;
  for (; l + 4 <= d; l += 4) {
    const float* a = rows + l;
    __m128 r0 = _mm_loadu_ps(a), r1 = _mm_loadu_ps(a + d);
    __m128 r2 = _mm_loadu_ps(a + 2 * d), r3 = _mm_loadu_ps(a + 3 * d);
    __m128 r4 = _mm_loadu_ps(a + 4 * d), r5 = _mm_loadu_ps(a + 5 * d);
    __m128 r6 = _mm_loadu_ps(a + 6 * d), r7 = _mm_loadu_ps(a + 7 * d);
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
    _MM_TRANSPOSE4_PS(r4, r5, r6, r7);
    add(lo, r0, centre[l]);
    add(hi, r4, centre[l]);
    add(lo, r1, centre[l + 1]);
    add(hi, r5, centre[l + 1]);
    add(lo, r2, centre[l + 2]);
    add(hi, r6, centre[l + 2]);
    add(lo, r3, centre[l + 3]);
    add(hi, r7, centre[l + 3]);
  }
  for (; l < d; ++l) {
    const float* c = rows + l;
    add(lo, _mm_set_ps(c[3 * d], c[2 * d], c[d], c[0]), centre[l]);
    add(hi, _mm_set_ps(c[7 * d], c[6 * d], c[5 * d], c[4 * d]), centre[l]);
  }
  _mm_storeu_ps(out, lo);
  _mm_storeu_ps(out + 4, hi);
}
#endif

#if defined(__x86_64__)
// 16·G consecutive rows with AVX-512 (G = 1 or 2), in distances_avx512.cpp:
// compiled for AVX-512, called only where the CPU has it.
template <std::size_t G>
void distances_avx512(const float* rows, std::size_t d, const float* centre, float* out);
#endif

// keep_least for the rows of G consecutive full blocks (sample_blocks.h),
// one row per lane, a block's column in vectors of kBytes; `least` holds
// the blocks' 16·G rows in order. Internal to each file that includes it,
// which compiles it for its own instruction set with that set's vector width
// (wider vectors than the set has would be split through memory).
namespace {
template <std::size_t G, std::size_t kBytes>
[[gnu::always_inline]] inline void keep_least_of_blocks(const float* blocks, std::size_t d,
                                                        const float* centre, float* least, bool first) {
  typedef float V __attribute__((vector_size(kBytes), aligned(alignof(float)), may_alias));
  constexpr std::size_t kWidth = kBytes / sizeof(float);
  constexpr std::size_t kPerColumn = kSampleBlockRows / kWidth;
  static_assert(kPerColumn * kWidth == kSampleBlockRows);
  V acc[G][kPerColumn] = {};
  for (std::size_t l = 0; l < d; ++l) {
    const float c = centre[l];
    for (std::size_t g = 0; g < G; ++g) {
      for (std::size_t p = 0; p < kPerColumn; ++p) {
        const V diff = *reinterpret_cast<const V*>(blocks + (g * d + l) * kSampleBlockRows + p * kWidth) - c;
        acc[g][p] = acc[g][p] + diff * diff;
      }
    }
  }
  for (std::size_t g = 0; g < G; ++g) {
    for (std::size_t p = 0; p < kPerColumn; ++p) {
      V* const out = reinterpret_cast<V*>(least + g * kSampleBlockRows + p * kWidth);
      if (first) {
        *out = acc[g][p];
      } else {
        *out = acc[g][p] < *out ? acc[g][p] : *out;
      }
    }
  }
}
}  // namespace

// Four blocks at a time keep four chains of additions in flight.
inline constexpr std::size_t kBlocksAtOnce = 4;
using KeepLeastOfBlocksFn = void (*)(const float* blocks, std::size_t d, const float* centre, float* least,
                                     bool first);

#if defined(__x86_64__)
// keep_least_of_blocks for kBlocksAtOnce blocks and for one, in files
// compiled for AVX-512 and AVX2, called only where the CPU has them.
template <std::size_t G>
void keep_least_of_blocks_avx512(const float* blocks, std::size_t d, const float* centre, float* least,
                                 bool first);
template <std::size_t G>
void keep_least_of_blocks_avx2(const float* blocks, std::size_t d, const float* centre, float* least,
                               bool first);
#endif

}  // namespace distances_detail

// keep_least(least[i], squared distance of row i to `centre`, first) for
// each row of the blocks [begin, end) of the blocked m×d sample
// (sample_blocks.h; block m/16, if any, is the rows past the last full
// block).
inline void keep_least_of_blocks(const float* sample, std::size_t m, std::size_t d, const float* centre,
                                 std::size_t begin, std::size_t end, float* least, bool first) {
  using namespace distances_detail;
  constexpr std::size_t R = kSampleBlockRows;
  // SSE2 or NEON: 16-byte vectors.
  KeepLeastOfBlocksFn many = keep_least_of_blocks<kBlocksAtOnce, 16>, one = keep_least_of_blocks<1, 16>;
#if defined(__x86_64__)
  if (kmeans_avx512()) {
    many = keep_least_of_blocks_avx512<kBlocksAtOnce>;
    one = keep_least_of_blocks_avx512<1>;
  } else if (kmeans_avx2_fma()) {
    many = keep_least_of_blocks_avx2<kBlocksAtOnce>;
    one = keep_least_of_blocks_avx2<1>;
  }
#endif
  const std::size_t full = m / R;
  const std::size_t full_end = std::min(end, full);
  std::size_t b = begin;
  for (; b + kBlocksAtOnce <= full_end; b += kBlocksAtOnce) {
    many(sample + b * R * d, d, centre, least + b * R, first);
  }
  for (; b < full_end; ++b) one(sample + b * R * d, d, centre, least + b * R, first);
  if (begin <= full && full < end) {
    for (std::size_t i = full * R; i < m; ++i) {
      keep_least(least[i], squared_distance(sample + i * d, centre, d), first);
    }
  }
}

// squared_distance from each row of [begin, end) of the row-major sample
// (row length d) to `centre`; keep(i, d2) receives each.
template <class Keep>
void distances_to(const float* sample, std::size_t d, const float* centre, std::size_t begin,
                  std::size_t end, Keep&& keep) {
  using namespace distances_detail;
  std::size_t i = begin;
#if defined(__x86_64__)
  // Rows of eight floats or more fill AVX-512 columns by whole transposes.
  if (d >= 8 && kmeans_avx512()) {
    alignas(64) float out[32];
    for (; i + 32 <= end; i += 32) {
      distances_avx512<2>(sample + i * d, d, centre, out);
      for (std::size_t q = 0; q < 32; ++q) keep(i + q, out[q]);
    }
    for (; i + 16 <= end; i += 16) {
      distances_avx512<1>(sample + i * d, d, centre, out);
      for (std::size_t q = 0; q < 16; ++q) keep(i + q, out[q]);
    }
  }
#endif
#if defined(__SSE2__)
  alignas(16) float out8[8];
  for (; i + 8 <= end; i += 8) {
    distances8_sse2(sample + i * d, d, centre, out8);
    for (std::size_t q = 0; q < 8; ++q) keep(i + q, out8[q]);
  }
#endif
  for (; i < end; ++i) keep(i, squared_distance(sample + i * d, centre, d));
}

}  // namespace tarnwick
