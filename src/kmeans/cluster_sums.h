// The accumulation of the update step: rows added into their clusters' sums.
// Each sum element takes its rows one at a time, in ascending row order, with
// one rounding per addition; the variants below only differ in how many
// elements of a row they add at once, so they give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kmeans/assign.h"
#include "kmeans/kmeans_path.h"

namespace tarnwick {

namespace cluster_sums_detail {

// Rows [begin, end) of X (row length d), each added into the k×d sums at its
// label's row, and counted.
__attribute__((always_inline)) inline void add_rows_here(const float* X, std::size_t d,
                                                         const Label* labels, std::size_t begin,
                                                         std::size_t end, float* __restrict sums,
                                                         std::uint64_t* __restrict counts) {
  for (std::size_t i = begin; i < end; ++i) {
    std::size_t j = static_cast<std::size_t>(labels[i]);
    counts[j] += 1;
    float* __restrict s = sums + j * d;
    const float* __restrict x = X + i * d;
    for (std::size_t l = 0; l < d; ++l) s[l] = s[l] + x[l];
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

// Four rows a step at fixed offsets from one index, so that no row pays for
// advancing it: a row is only a few instructions.
template <std::size_t D>
inline void add_short_rows(const float* X, const Label* labels, std::size_t begin, std::size_t end,
                           float* __restrict sums, std::uint64_t* __restrict counts) {
  constexpr std::size_t kStep = 4;
  std::size_t i = begin;
  for (; i + kStep <= end; i += kStep) {
#pragma GCC unroll 4
    for (std::size_t r = 0; r < kStep; ++r) add_short_row_of<D>(X + (i + r) * D, labels[i + r], sums, counts);
  }
  for (; i < end; ++i) add_short_row_of<D>(X + i * D, labels[i], sums, counts);
}

#if defined(__x86_64__)
// The same loop, vectorised by the compiler for wider registers: the
// additions are elementwise, so any vector width gives the same sums.
__attribute__((target("avx512f"))) inline void add_rows_avx512(
    const float* X, std::size_t d, const Label* labels, std::size_t begin, std::size_t end,
    float* sums, std::uint64_t* counts) {
  add_rows_here(X, d, labels, begin, end, sums, counts);
}

__attribute__((target("avx2"))) inline void add_rows_avx2(const float* X, std::size_t d,
                                                          const Label* labels, std::size_t begin,
                                                          std::size_t end, float* sums,
                                                          std::uint64_t* counts) {
  add_rows_here(X, d, labels, begin, end, sums, counts);
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
  switch (d) {
    case 1: return add_short_rows<1>(X, labels, begin, end, sums, counts);
    case 2: return add_short_rows<2>(X, labels, begin, end, sums, counts);
    case 3: return add_short_rows<3>(X, labels, begin, end, sums, counts);
    case 4: return add_short_rows<4>(X, labels, begin, end, sums, counts);
    default: break;
  }
#if defined(__x86_64__)
  if (d >= kWideMinRowFloats) {
    if (kmeans_avx512()) return add_rows_avx512(X, d, labels, begin, end, sums, counts);
    if (kmeans_avx2_fma()) return add_rows_avx2(X, d, labels, begin, end, sums, counts);
  }
#endif
  add_rows_here(X, d, labels, begin, end, sums, counts);
}

}  // namespace tarnwick
