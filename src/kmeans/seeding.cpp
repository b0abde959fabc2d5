// k-means++ seeding: the first centroid drawn uniformly, each further one with
// probability proportional to its squared distance from the nearest so far.
#include <algorithm>
#include <optional>
#include <string>

#include "kmeans/distances.h"
#include "kmeans/kmeans_core.h"
#include "support/interrupt.h"
#include "support/worker_pool.h"

namespace tarnwick {

using kmeans_detail::ceil_div;
using kmeans_detail::row_grain;
using kmeans_detail::work;

namespace {

// The distance total is a float sum whose tree must follow from m alone.
// Pieces of at least this many additions, so each pays for its hand-off...
constexpr std::size_t kTotalMinGrain = 8192;
// ...and at most this many partial sums, enough for any pool.
constexpr std::size_t kTotalMaxPieces = 64;

// The slice [c·d, (c+1)·d) does not fit centroid storage of `len` floats;
// `end` is absent when (c+1)·d overflows.
[[noreturn, gnu::cold, gnu::noinline]] void slice_end_fault(std::optional<std::size_t> end,
                                                            std::size_t len) {
  if (!end) raise_fault("range end index overflows for slice of length " + std::to_string(len));
  raise_fault("range end index " + std::to_string(*end) + " out of range for slice of length " +
              std::to_string(len));
}

// Copies sample row `row` into centroid row c, checking that the row lies
// inside the centroid storage (with k == 0 and d >= 1 even row 0 does not).
void place_row(const float* sample, std::size_t row, std::size_t d, float* centroids,
               std::size_t centroids_len, std::size_t c) {
  const std::optional<std::size_t> end = checked_mul(c + 1, d);
  if (!end || *end > centroids_len) [[unlikely]] slice_end_fault(end, centroids_len);
  std::copy(sample + row * d, sample + row * d + d, centroids + c * d);
}

}  // namespace

void seed_centroids(const float* sample, std::size_t m, std::size_t d, std::uint64_t k,
                    SplitMix64& rng, float* centroids, std::size_t centroids_len) {
  place_row(sample, rng.next_index(m), d, centroids, centroids_len, 0);

  Buffer<float> min_dist_buf = Buffer<float>::uninitialized(m);
  float* min_dist = min_dist_buf.data();
  const std::size_t grain = row_grain(m, d);
  const std::size_t step_work = work(m, d);
  parallel_for(m, grain, step_work, [&](std::size_t b, std::size_t e) {
    distances_to(sample, d, centroids, b, e, [&](std::size_t i, float d2) { min_dist[i] = d2; });
  });
  poll_interrupt();

  // With empty rows every further pick copies nothing and leaves min_dist at
  // zero; it would only advance the generator, which nothing reads after
  // seeding. Nothing bounds k here either (the centroid storage is empty), so
  // running those picks could take practically forever.
  if (d == 0) return;

  // The sum's tree follows from m alone, so the total is the same for any pool size.
  const std::size_t total_grain = std::max(kTotalMinGrain, ceil_div(m, kTotalMaxPieces));
  for (std::uint64_t c = 1; c < k; ++c) {
    float total = parallel_reduce<float>(
        m, total_grain, m, [] { return -0.0f; },
        [&](float& acc, std::size_t b, std::size_t e) {
          for (std::size_t i = b; i < e; ++i) acc = acc + min_dist[i];
        },
        [](float& lower, float& upper) { lower = lower + upper; });
    // Drawn even when unused, to keep the stream aligned.
    float u = static_cast<float>(rng.next_unit_f64());

    std::size_t chosen;
    if (total > 0.0f) {
      float target = total * u;
      // The running sum can fall short of target through rounding; the last
      // row takes the remainder.
      chosen = m - 1;
      float acc = 0.0f;
      for (std::size_t i = 0; i < m; ++i) {
        acc = acc + min_dist[i];
        if (acc >= target) {
          chosen = i;
          break;
        }
      }
    } else {
      // No distance mass left (all sample rows coincide with centroids, or
      // NaN): pick uniformly.
      chosen = rng.next_index(m);
    }

    place_row(sample, chosen, d, centroids, centroids_len, c);
    const float* centre = centroids + c * d;
    parallel_for(m, grain, step_work, [&](std::size_t b, std::size_t e) {
      distances_to(sample, d, centre, b, e, [&](std::size_t i, float d2) {
        if (d2 < min_dist[i]) min_dist[i] = d2;  // strict: NaN never replaces
      });
    });
    poll_interrupt();
  }
}

}  // namespace tarnwick
