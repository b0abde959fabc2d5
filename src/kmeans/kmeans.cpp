// The whole algorithm: the seeding sample, k-means++ seeding, then Lloyd
// iterations until few labels change or n_iter have run. Shape faults are
// raised here, once, on the calling thread, at the point of the run where
// they first matter.
#include <algorithm>
#include <string>

#include "kmeans/assign.h"
#include "kmeans/kmeans_core.h"
#include "kmeans/lloyd.h"
#include "kmeans/sample_blocks.h"
#include "support/interrupt.h"
#include "support/worker_pool.h"

namespace tarnwick {

using kmeans_detail::element_count;
using kmeans_detail::row_grain;
using kmeans_detail::work;

namespace {

[[noreturn, gnu::cold, gnu::noinline]] void empty_block_fault() {
  raise_fault("chunk_size must not be zero");
}

// The products are never all held at once (see lloyd.cpp), but a shape
// whose n×k products could not even be addressed is refused as such, the
// same whatever the thread count.
void check_products_addressable(std::size_t n, std::uint64_t k) {
  checked_buffer_bytes<float>(element_count(n, k));
}

[[noreturn, gnu::cold, gnu::noinline]] void too_many_clusters_fault(std::uint64_t k) {
  raise_fault("n_clusters = " + std::to_string(k) + " is more than the assignment can label (" +
              std::to_string(kMaxClusters) + ")");
}

// What an assignment needs of the shape: blocks of products with at least
// one column, and labels that fit the kernel's.
void check_assignment_shape(std::size_t n, std::size_t d, std::uint64_t k,
                            std::size_t rows_per_block) {
  if (element_count(k, rows_per_block) == 0) [[unlikely]] empty_block_fault();
  if (n != 0 && d != 0 && k > kMaxClusters) [[unlikely]] too_many_clusters_fault(k);
}

}  // namespace

// An iteration that moves at most one row in this many ends the loop: the
// labels have settled, and further passes would barely move the centroids.
constexpr std::size_t kSettledFraction = 1000;

namespace kmeans_detail {

Buffer<std::int64_t> lloyd_iterations(const float* X, std::size_t n, std::size_t d,
                                      std::uint64_t k, std::uint64_t n_iter, float* centroids,
                                      Schedule schedule) {
  LloydSteps lloyd(X, n, d, k, centroids, schedule);
  check_products_addressable(n, k);
  if (n_iter != 0) {
    lloyd.start();
    check_assignment_shape(n, d, k, lloyd.rows_per_block());
  }
  const std::size_t settled = n / kSettledFraction;
  for (std::uint64_t it = 0; it < n_iter; ++it) {
    const std::size_t changed = lloyd.assign();
    poll_interrupt();
    if (changed <= settled) break;
    lloyd.update();
    poll_interrupt();
  }
  return lloyd.finish();
}

}  // namespace kmeans_detail

Buffer<std::int64_t> lloyd_iterations(const float* X, std::size_t n, std::size_t d,
                                      std::uint64_t k, std::uint64_t n_iter, float* centroids) {
  return kmeans_detail::lloyd_iterations(X, n, d, k, n_iter, centroids,
                                         kmeans_detail::Schedule::automatic);
}

// Seeding runs on at most this many rows, drawn from X when it has more.
constexpr std::size_t kMaxSampleRows = 100000;

// Rearranging X in place for the seeding and putting it back cost as much as
// 2 (d = 64) to 4 (d = 784) of the seeding's passes over rows, and a pass
// over blocks saves 30-65 % of one: worth it, at any d, from this many
// centroids (a pass each). A drawn sample is copied into blocks at no cost.
constexpr std::uint64_t kMinCentroidsForBlocks = 16;

// How far ahead of the copies of drawn rows their first and last lines are
// fetched.
constexpr std::size_t kRowsFetchedAhead = 16;

Buffer<std::int64_t> kmeans_core(float* X, std::size_t n, std::size_t d, std::uint64_t k,
                                 std::uint64_t n_iter, std::uint64_t seed) {
  SplitMix64 rng = SplitMix64::for_kmeans(seed);
  Buffer<float> centroids = Buffer<float>::zeroed(element_count(k, d));

  const std::size_t m = std::min(n, kMaxSampleRows);
  if (n > kMaxSampleRows) {
    // Draws are serial (they are one stream); the copies are not, and go
    // straight into blocks.
    Buffer<std::uint64_t> rows = Buffer<std::uint64_t>::uninitialized(m);
    for (std::size_t i = 0; i < m; ++i) rows[i] = rng.next_index(n);
    Buffer<float> drawn = Buffer<float>::uninitialized(element_count(m, d));
    float* dst = drawn.data();
    parallel_for(m, row_grain(m, d), work(m, d), [&](std::size_t b, std::size_t e) {
      for (std::size_t i = b; i < e; ++i) {
        // The rows are scattered over X and their elements scattered over a
        // block: without fetching ahead, the stores fill up before the
        // loads of many rows are under way.
        if (d > 0 && i + kRowsFetchedAhead < e) {
          const float* ahead = X + rows[i + kRowsFetchedAhead] * d;
          __builtin_prefetch(ahead);
          __builtin_prefetch(ahead + d - 1);
        }
        const float* src = X + rows[i] * d;
        const RowPlace place = row_place(i, m, d);
        for (std::size_t l = 0; l < d; ++l) dst[place.offset + l * place.stride] = src[l];
      }
    });
    seed_centroids(drawn.data(), m, d, k, rng, centroids.data(), centroids.size(), SampleLayout::blocks);
  } else if (k >= kMinCentroidsForBlocks) {
    SampleBlocks blocks(X, m, d);
    blocks.rearrange();
    seed_centroids(X, m, d, k, rng, centroids.data(), centroids.size(), SampleLayout::blocks);
    blocks.put_back();
  } else {
    seed_centroids(X, m, d, k, rng, centroids.data(), centroids.size());
  }
  return lloyd_iterations(X, n, d, k, n_iter, centroids.data());
}

}  // namespace tarnwick
