// The update's additions for long rows and few clusters: a block's rows
// added cluster by cluster, each cluster's rows in ascending order, so that
// a slice of its sums stays in registers across all of them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kmeans/assign.h"
#include "kmeans/cluster_sums.h"
#include "kmeans/kmeans_path.h"

namespace tarnwick {

namespace cluster_runs_detail {

// Adding row by row loads and stores a row's whole sum for every row, and
// with long rows the k sums fill the first-level cache, so they come back
// from the second level as often as the rows do. Taken cluster by cluster,
// each sum is loaded and stored once per block: this pays where a cluster
// has several rows in a block (few clusters) and a row is several slices
// long.
inline constexpr std::size_t kMostClusters = 16;
inline constexpr std::size_t kMinRowFloats = 128;
// Rows chained at once: a chain's links fit the stack.
inline constexpr std::size_t kChunkRows = 256;

// One register of each path (GCC keeps a vector wider than the path's
// registers in memory), in a struct: a template argument would lose the
// type's attributes.
struct Sixteen {
  typedef float V __attribute__((vector_size(16 * sizeof(float)), aligned(alignof(float)), may_alias));
};
struct Eight {
  typedef float V __attribute__((vector_size(8 * sizeof(float)), aligned(alignof(float)), may_alias));
};

// Columns [l, ...) of the chain's rows (first, next[first - base], ... until
// `none`) added into s in slices of S vectors Vec::V, each slice's sums held in
// registers across the chain; returns where the slices stop.
template <class Vec, std::size_t S>
[[gnu::always_inline]] inline std::size_t add_chain_slices(const float* X, std::size_t d, std::size_t l,
                                                           std::size_t first, std::size_t base,
                                                           const std::uint16_t* next, std::size_t none,
                                                           float* __restrict s) {
  using V = typename Vec::V;
  constexpr std::size_t kFloats = sizeof(V) / sizeof(float);
  for (; l + kFloats * S <= d; l += kFloats * S) {
    V a[S];
#pragma GCC unroll 8
    for (std::size_t v = 0; v < S; ++v) a[v] = *reinterpret_cast<const V*>(s + l + kFloats * v);
    for (std::size_t i = first; i != none; i = base + next[i - base]) {
      const float* x = X + i * d + l;
#pragma GCC unroll 8
      for (std::size_t v = 0; v < S; ++v) a[v] = a[v] + *reinterpret_cast<const V*>(x + kFloats * v);
    }
#pragma GCC unroll 8
    for (std::size_t v = 0; v < S; ++v) *reinterpret_cast<V*>(s + l + kFloats * v) = a[v];
  }
  return l;
}

// Rows [begin, end), end - begin <= kChunkRows, labels below k <= kMostClusters:
// each cluster's rows chained in ascending order, then each chain added.
template <class Vec, std::size_t S>
[[gnu::always_inline]] inline void add_chunk_by_cluster(const float* X, std::size_t d, std::size_t k,
                                                        const Label* labels, std::size_t begin,
                                                        std::size_t end, float* __restrict sums,
                                                        std::uint64_t* __restrict counts) {
  const std::size_t none = end;
  std::size_t head[kMostClusters], tail[kMostClusters];
  std::uint16_t next[kChunkRows];
  for (std::size_t j = 0; j < k; ++j) head[j] = none;
  for (std::size_t i = begin; i < end; ++i) {
    const std::size_t j = static_cast<std::size_t>(labels[i]);
    if (head[j] == none)
      head[j] = i;
    else
      next[tail[j] - begin] = static_cast<std::uint16_t>(i - begin);
    tail[j] = i;
    counts[j] += 1;
  }
  for (std::size_t j = 0; j < k; ++j) {
    if (head[j] == none) continue;
    next[tail[j] - begin] = static_cast<std::uint16_t>(none - begin);
    float* __restrict s = sums + j * d;
    std::size_t l = add_chain_slices<Vec, S>(X, d, 0, head[j], begin, next, none, s);
    l = add_chain_slices<Vec, 1>(X, d, l, head[j], begin, next, none, s);
    for (; l < d; ++l) {
      float a = s[l];
      for (std::size_t i = head[j]; i != none; i = begin + next[i - begin]) a = a + X[i * d + l];
      s[l] = a;
    }
  }
}

template <class Vec, std::size_t S>
[[gnu::always_inline]] inline void add_by_cluster(const float* X, std::size_t d, std::size_t k,
                                                  const Label* labels, std::size_t begin, std::size_t end,
                                                  float* sums, std::uint64_t* counts) {
  for (std::size_t c = begin; c < end; c += kChunkRows)
    add_chunk_by_cluster<Vec, S>(X, d, k, labels, c, end - c < kChunkRows ? end : c + kChunkRows, sums, counts);
}

#if defined(__x86_64__)
// A slice is eight registers on either path.
__attribute__((target("avx512f"))) inline void add_by_cluster_avx512(
    const float* X, std::size_t d, std::size_t k, const Label* labels, std::size_t begin,
    std::size_t end, float* sums, std::uint64_t* counts) {
  add_by_cluster<Sixteen, 8>(X, d, k, labels, begin, end, sums, counts);
}

__attribute__((target("avx2"))) inline void add_by_cluster_avx2(
    const float* X, std::size_t d, std::size_t k, const Label* labels, std::size_t begin,
    std::size_t end, float* sums, std::uint64_t* counts) {
  add_by_cluster<Eight, 8>(X, d, k, labels, begin, end, sums, counts);
}
#endif

}  // namespace cluster_runs_detail

// What add_rows computes, the same sums bit for bit (each sum element takes
// its rows in ascending order), for rows of a block that is still in the
// core's cache; labels below k. Where clusters-at-once does not pay, or
// without AVX2, add_rows itself.
[[gnu::noinline]] inline void add_block_rows(const float* X, std::size_t d, std::size_t k,
                                             const Label* labels, std::size_t begin, std::size_t end,
                                             float* sums, std::uint64_t* counts) {
  using namespace cluster_runs_detail;
#if defined(__x86_64__)
  if (k <= kMostClusters && d >= kMinRowFloats) {
    if (kmeans_avx512()) return add_by_cluster_avx512(X, d, k, labels, begin, end, sums, counts);
    if (kmeans_avx2_fma()) return add_by_cluster_avx2(X, d, k, labels, begin, end, sums, counts);
  }
#endif
  add_rows(X, d, labels, begin, end, sums, counts);
}

}  // namespace tarnwick
