// Lloyd iterations: assign every row to its nearest centroid, then move each
// centroid to the mean of its rows, until few labels change.
#include <algorithm>
#include <limits>
#include <utility>

#include "kmeans/gemm.h"
#include "kmeans/kmeans_core.h"
#include "support/worker_pool.h"

namespace tarnwick {

using kmeans_detail::ceil_div;
using kmeans_detail::element_count;
using kmeans_detail::row_grain;
using kmeans_detail::work;

namespace {

constexpr std::size_t kMinGemmRows = 256;
constexpr std::size_t kMaxGemmBlocks = 256;

// Writes the nearest centroid of every row into next_labels and returns how
// many differ from labels. ||x||² is the same for every candidate, so the
// score is ||c||² - 2·x·c, with x·c taken from one GEMM per block of rows.
std::size_t assign_labels(const float* X, std::size_t n, std::size_t d, std::size_t k,
                          const float* centroids, float* G, const std::int64_t* labels,
                          std::int64_t* next_labels) {
  Buffer<float> norms_buf = Buffer<float>::uninitialized(k);
  float* norms = norms_buf.data();
  for (std::size_t j = 0; j < k; ++j) {
    const float* c = centroids + j * d;
    float acc = 0.0f;
    for (std::size_t l = 0; l < d; ++l) acc = acc + c[l] * c[l];
    norms[j] = acc;
  }

  // The blocks are cut from n alone, not from the pool size: the library's
  // result for a row depends on the block's row count and the row's place in
  // it (its kernels tile and split rows by the block's shape), so blocks sized
  // by the thread count would make labels depend on it. At most ~256 blocks,
  // each big enough to run the library efficiently.
  const std::size_t rows_per_chunk =
      std::max<std::size_t>(kMinGemmRows, ceil_div(n, kMaxGemmBlocks));
  if (element_count(k, rows_per_chunk) == 0) raise_fault("chunk_size must not be zero");
  if (n != 0 && d != 0) check_gemm_dims(k, d);
  const std::size_t blocks = ceil_div(n, rows_per_chunk);
  parallel_for(blocks, 1, work(work(n, k), d), [&](std::size_t b, std::size_t e) {
    for (std::size_t h = b; h < e; ++h) {
      std::size_t r0 = h * rows_per_chunk;
      std::size_t rows = std::min(rows_per_chunk, n - r0);
      gemm_block(X + r0 * d, rows, d, centroids, k, G + r0 * k);
    }
  });

  return parallel_reduce<std::size_t>(
      n, row_grain(n, k), work(n, k), [] { return std::size_t{0}; },
      [&](std::size_t& changed, std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
          const float* g = G + i * k;
          // NaN (and +inf) scores never win: a row without a finite score keeps label 0.
          float best = std::numeric_limits<float>::infinity();
          std::int64_t label = 0;
          for (std::size_t j = 0; j < k; ++j) {
            float score = norms[j] - (g[j] + g[j]);
            if (score < best) {
              best = score;
              label = static_cast<std::int64_t>(j);
            }
          }
          next_labels[i] = label;
          changed += label != labels[i];
        }
      },
      [](std::size_t& lower, std::size_t& upper) { lower += upper; });
}

struct ClusterSums {
  Buffer<float> sums;  // k×d
  Buffer<std::uint64_t> counts;
};

void update_centroids(const float* X, std::size_t n, std::size_t d, std::size_t k,
                      const std::int64_t* labels, float* centroids) {
  const std::size_t kd = element_count(k, d);
  // The float sums depend on the reduction tree, so the grain follows from the
  // shape alone. At most ~64 pieces, each with enough rows (>= 2k) that
  // folding them outweighs allocating and merging its k×d partial sums.
  const std::size_t grain = std::max({std::size_t{4096}, ceil_div(n, 64), work(k, 2)});
  ClusterSums total = parallel_reduce<ClusterSums>(
      n, grain, work(n, d),
      [&] { return ClusterSums{Buffer<float>::zeroed(kd), Buffer<std::uint64_t>::zeroed(k)}; },
      [&](ClusterSums& acc, std::size_t b, std::size_t e) {
        float* sums = acc.sums.data();
        std::uint64_t* counts = acc.counts.data();
        for (std::size_t i = b; i < e; ++i) {
          std::size_t j = static_cast<std::size_t>(labels[i]);
          counts[j] += 1;
          float* s = sums + j * d;
          const float* x = X + i * d;
          for (std::size_t l = 0; l < d; ++l) s[l] = s[l] + x[l];
        }
      },
      [&](ClusterSums& lower, ClusterSums& upper) {
        float* ls = lower.sums.data();
        const float* us = upper.sums.data();
        for (std::size_t e = 0; e < kd; ++e) ls[e] = ls[e] + us[e];
        std::uint64_t* lc = lower.counts.data();
        const std::uint64_t* uc = upper.counts.data();
        for (std::size_t j = 0; j < k; ++j) lc[j] += uc[j];
      });

  for (std::size_t j = 0; j < k; ++j) {
    std::uint64_t count = total.counts[j];
    if (count == 0) continue;  // an empty cluster keeps its centroid
    float inv = 1.0f / static_cast<float>(count);
    const float* s = total.sums.data() + j * d;
    float* c = centroids + j * d;
    for (std::size_t l = 0; l < d; ++l) c[l] = inv * s[l];
  }
}

}  // namespace

Buffer<std::int64_t> lloyd_iterations(const float* X, std::size_t n, std::size_t d,
                                      std::uint64_t k, std::uint64_t n_iter, float* centroids) {
  Buffer<std::int64_t> labels = Buffer<std::int64_t>::zeroed(n);
  Buffer<float> G = Buffer<float>::zeroed(element_count(n, k));
  Buffer<std::int64_t> next;
  if (n_iter != 0) next = Buffer<std::int64_t>::uninitialized(n);
  // Stop once at most 0.1% of the rows move.
  const std::size_t change_tolerance = n / 1000;
  for (std::uint64_t it = 0; it < n_iter; ++it) {
    std::size_t changed =
        assign_labels(X, n, d, k, centroids, G.data(), labels.data(), next.data());
    std::swap(labels, next);
    if (changed <= change_tolerance) break;
    update_centroids(X, n, d, k, labels.data(), centroids);
  }
  return labels;
}

}  // namespace tarnwick
