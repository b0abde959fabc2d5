// The accumulation of the update step: rows added into their clusters' sums.
// Each sum element takes its rows one at a time, in ascending row order, with
// one rounding per addition; the variants below only differ in how many
// elements of a row they add at once, so they give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "kmeans/assign.h"
#include "kmeans/kmeans_path.h"

namespace tarnwick {

namespace cluster_sums_detail {

// Rows [begin, end) of X (row length d), each added into the k×d sums at its
// label's row, and counted. A nonzero D, a multiple of 16, fixes the row
// length when compiled: a row is then its vector adds alone, 16 floats at
// a time as a vector of the compilers' own (elementwise, so the same sums).
template <std::size_t D = 0>
__attribute__((always_inline)) inline void add_rows_here(const float* X, std::size_t d,
                                                         const Label* labels, std::size_t begin,
                                                         std::size_t end, float* __restrict sums,
                                                         std::uint64_t* __restrict counts) {
  static_assert(D % 16 == 0);
  const std::size_t length = D != 0 ? D : d;
  for (std::size_t i = begin; i < end; ++i) {
    std::size_t j = static_cast<std::size_t>(labels[i]);
    counts[j] += 1;
    float* __restrict s = sums + j * length;
    const float* __restrict x = X + i * length;
    if constexpr (D != 0) {
      typedef float Sixteen __attribute__((vector_size(16 * sizeof(float)), aligned(alignof(float)), may_alias));
#pragma GCC unroll 4
      for (std::size_t l = 0; l < D; l += 16)
        *reinterpret_cast<Sixteen*>(s + l) = *reinterpret_cast<Sixteen*>(s + l) + *reinterpret_cast<const Sixteen*>(x + l);
    } else {
      for (std::size_t l = 0; l < length; ++l) s[l] = s[l] + x[l];
    }
  }
}

// A row of D <= 4 floats added into its sum at once: D = 2 and 4 as one
// vector of the compilers' own (elementwise, so the same sums), 3 as a pair
// and a single; the loop unrolled, since a row is only a few instructions.
template <std::size_t D>
[[gnu::always_inline]] inline void add_short_row(float* __restrict s, const float* __restrict x) {
  if constexpr (D == 2 || D == 4) {
    typedef float Row __attribute__((vector_size(D * sizeof(float)), aligned(alignof(float)), may_alias));
    *reinterpret_cast<Row*>(s) = *reinterpret_cast<Row*>(s) + *reinterpret_cast<const Row*>(x);
  } else if constexpr (D == 3) {
    add_short_row<2>(s, x);
    add_short_row<1>(s + 2, x + 2);
  } else {
    s[0] = s[0] + x[0];
  }
}

template <std::size_t D>
[[gnu::always_inline]] inline void add_short_row_of(const float* x, Label label, float* __restrict sums,
                                                    std::uint64_t* __restrict counts) {
  const std::size_t j = static_cast<std::size_t>(label);
  counts[j] += 1;
  add_short_row<D>(sums + j * D, x);
}

#if defined(__x86_64__)
// Two rows of two floats, x[0..3], from one 16-byte read: the first row's
// sum is loaded into the read's low half and the second's into its high
// half, each added and stored back on its own, in row order.
[[gnu::always_inline]] inline void add_pair(const float* x, const Label* labels, float* __restrict sums,
                                            std::uint64_t* __restrict counts) {
  const __m128 rows = _mm_loadu_ps(x);
  const __m128 unused = _mm_setzero_ps();  // the half a sum's load leaves, never stored
  const std::size_t first = static_cast<std::size_t>(labels[0]);
  counts[first] += 1;
  __m64* s = reinterpret_cast<__m64*>(sums + 2 * first);
  _mm_storel_pi(s, _mm_add_ps(_mm_loadl_pi(unused, s), rows));
  const std::size_t second = static_cast<std::size_t>(labels[1]);
  counts[second] += 1;
  s = reinterpret_cast<__m64*>(sums + 2 * second);
  _mm_storeh_pi(s, _mm_add_ps(_mm_loadh_pi(unused, s), rows));
}

// Rows of two floats a pair at a time (add_pair). With X aligned to 8 bytes
// every pair's read is aligned (a row first where the range starts between
// pairs), so that no read crosses a cache line; no read reaches past the
// range.
[[gnu::always_inline]] inline void add_pair_rows(const float* X, const Label* labels, std::size_t begin,
                                                 std::size_t end, float* __restrict sums,
                                                 std::uint64_t* __restrict counts) {
  constexpr std::size_t kStep = 8;
  std::size_t i = begin;
  if (i < end && reinterpret_cast<std::uintptr_t>(X + 2 * i) % 16 != 0) {
    add_short_row_of<2>(X + 2 * i, labels[i], sums, counts);
    ++i;
  }
  for (; i + kStep <= end; i += kStep)
#pragma GCC unroll 4
    for (std::size_t r = 0; r < kStep; r += 2) add_pair(X + 2 * (i + r), labels + i + r, sums, counts);
  for (; i + 2 <= end; i += 2) add_pair(X + 2 * i, labels + i, sums, counts);
  if (i < end) add_short_row_of<2>(X + 2 * i, labels[i], sums, counts);
}
#endif

// Four rows a step at fixed offsets from one index, so that no row pays for
// advancing it: a row is only a few instructions. Rows of two floats go in
// pairs on x86 (add_pair_rows).
template <std::size_t D>
[[gnu::always_inline]] inline void add_short_rows(const float* X, const Label* labels, std::size_t begin,
                                                  std::size_t end, float* __restrict sums,
                                                  std::uint64_t* __restrict counts) {
#if defined(__x86_64__)
  if constexpr (D == 2) return add_pair_rows(X, labels, begin, end, sums, counts);
#endif
  constexpr std::size_t kStep = 4;
  std::size_t i = begin;
  for (; i + kStep <= end; i += kStep) {
#pragma GCC unroll 4
    for (std::size_t r = 0; r < kStep; ++r) add_short_row_of<D>(X + (i + r) * D, labels[i + r], sums, counts);
  }
  for (; i < end; ++i) add_short_row_of<D>(X + i * D, labels[i], sums, counts);
}

// Calls f(std::integral_constant<std::size_t, d>{}) where 1 <= d <= 4 and
// says whether it did: the row lengths add_short_rows takes.
template <class Fn>
inline bool with_short_row(std::size_t d, Fn&& f) {
  switch (d) {
    case 1: f(std::integral_constant<std::size_t, 1>{}); return true;
    case 2: f(std::integral_constant<std::size_t, 2>{}); return true;
    case 3: f(std::integral_constant<std::size_t, 3>{}); return true;
    case 4: f(std::integral_constant<std::size_t, 4>{}); return true;
    default: return false;
  }
}

#if defined(__x86_64__)
// add_short_rows with AVX, for rows of two or four floats (one or three
// gain nothing), tuned for a core that takes a scaled index for free: each
// row's count and sum are then addressed from its label directly, not
// through a shifted copy.
template <std::size_t D>
__attribute__((target("avx2,tune=znver3"))) void add_short_rows_avx2(
    const float* X, const Label* labels, std::size_t begin, std::size_t end,
    float* __restrict sums, std::uint64_t* __restrict counts) {
  add_short_rows<D>(X, labels, begin, end, sums, counts);
}

// Long rows, the common lengths of whole 512-bit vectors fixed when compiled.
[[gnu::always_inline]] inline void add_long_rows(const float* X, std::size_t d, const Label* labels,
                                                 std::size_t begin, std::size_t end, float* sums,
                                                 std::uint64_t* counts) {
  switch (d) {
    case 16: return add_rows_here<16>(X, d, labels, begin, end, sums, counts);
    case 32: return add_rows_here<32>(X, d, labels, begin, end, sums, counts);
    case 64: return add_rows_here<64>(X, d, labels, begin, end, sums, counts);
    default: return add_rows_here(X, d, labels, begin, end, sums, counts);
  }
}

// The same loops, vectorised by the compiler for wider registers: the
// additions are elementwise, so any vector width gives the same sums.
__attribute__((target("avx512f"))) inline void add_rows_avx512(
    const float* X, std::size_t d, const Label* labels, std::size_t begin, std::size_t end,
    float* sums, std::uint64_t* counts) {
  add_long_rows(X, d, labels, begin, end, sums, counts);
}

__attribute__((target("avx2"))) inline void add_rows_avx2(const float* X, std::size_t d,
                                                          const Label* labels, std::size_t begin,
                                                          std::size_t end, float* sums,
                                                          std::uint64_t* counts) {
  add_long_rows(X, d, labels, begin, end, sums, counts);
}
#endif

// Rows at least this long gain from AVX-512 or AVX2; shorter ones fill
// too little of a vector to gain.
inline constexpr std::size_t kWideMinRowFloats = 16;

}  // namespace cluster_sums_detail

// Adds rows [begin, end) of X (row length d) into sums (k×d) at their labels'
// rows and counts them in counts (k). Kept out of line: inlined into a
// caller's loop, the row loop loses its no-aliasing guarantees and runs
// slower.
[[gnu::noinline]] inline void add_rows(const float* X, std::size_t d, const Label* labels,
                                       std::size_t begin, std::size_t end, float* sums,
                                       std::uint64_t* counts) {
  using namespace cluster_sums_detail;
  const bool short_row = with_short_row(d, [&](auto length) {
    constexpr std::size_t D = decltype(length)::value;
#if defined(__x86_64__)
    if constexpr (D % 2 == 0)
      if (kmeans_avx2_fma()) return add_short_rows_avx2<D>(X, labels, begin, end, sums, counts);
#endif
    add_short_rows<D>(X, labels, begin, end, sums, counts);
  });
  if (short_row) return;
#if defined(__x86_64__)
  if (d >= kWideMinRowFloats) {
    if (kmeans_avx512()) return add_rows_avx512(X, d, labels, begin, end, sums, counts);
    if (kmeans_avx2_fma()) return add_rows_avx2(X, d, labels, begin, end, sums, counts);
  }
#endif
  add_rows_here(X, d, labels, begin, end, sums, counts);
}

}  // namespace tarnwick
