// The AVX-512 variant of the seeding's squared distances (distances.h).
// Compiled with -mavx512f; called only where the CPU and the operating
// system have it.
#include "kmeans/distances.h"

#if defined(__x86_64__)
#include <immintrin.h>

#include "kmeans/lanes.h"

namespace tarnwick::distances_detail {
namespace {

// GCC 12's AVX-512 intrinsics pass a deliberately undefined operand, which
// its own uninitialised-use analysis then reports once they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// Column 0 of sixteen rows, one element at a time (for leftover columns).
inline __m512 column16(const float* rows, std::size_t stride) {
  alignas(64) float column[16];
  for (std::size_t r = 0; r < 16; ++r) column[r] = rows[r * stride];
  return _mm512_load_ps(column);
}

#pragma GCC diagnostic pop

}  // namespace

// 16·G consecutive rows with AVX-512; G groups of sixteen lanes keep G
// chains of additions in flight.
template <std::size_t G>
void distances_avx512(const float* rows, std::size_t d, const float* centre, float* out) {
  __m512 acc[G];
  for (std::size_t q = 0; q < G; ++q) acc[q] = _mm512_setzero_ps();
  std::size_t l = 0;
  for (; l + 8 <= d; l += 8) {
    for (std::size_t q = 0; q < G; ++q) {
      __m512 column[8];
      lanes::columns16x8(rows + 16 * q * d + l, d, column);
      for (std::size_t c = 0; c < 8; ++c) {
        __m512 diff = _mm512_sub_ps(column[c], _mm512_set1_ps(centre[l + c]));
        acc[q] = _mm512_add_ps(acc[q], _mm512_mul_ps(diff, diff));
      }
    }
  }
  for (; l < d; ++l) {
    for (std::size_t q = 0; q < G; ++q) {
      __m512 diff =
          _mm512_sub_ps(column16(rows + 16 * q * d + l, d), _mm512_set1_ps(centre[l]));
      acc[q] = _mm512_add_ps(acc[q], _mm512_mul_ps(diff, diff));
    }
  }
  for (std::size_t q = 0; q < G; ++q) _mm512_storeu_ps(out + 16 * q, acc[q]);
}

template void distances_avx512<1>(const float*, std::size_t, const float*, float*);
template void distances_avx512<2>(const float*, std::size_t, const float*, float*);

}  // namespace tarnwick::distances_detail
#endif

#if defined(__x86_64__)
namespace tarnwick::distances_detail {

template <std::size_t G>
void keep_least_of_blocks_avx512(const float* blocks, std::size_t d, const float* centre, float* least,
                                 bool first) {
  keep_least_of_blocks<G, 64>(blocks, d, centre, least, first);
}

template void keep_least_of_blocks_avx512<1>(const float*, std::size_t, const float*, float*, bool);
template void keep_least_of_blocks_avx512<kBlocksAtOnce>(const float*, std::size_t, const float*, float*,
                                                         bool);

}  // namespace tarnwick::distances_detail
#endif
