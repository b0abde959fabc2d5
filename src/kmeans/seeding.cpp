// k-means++ seeding: the first centroid drawn uniformly, each further one with
// probability proportional to its squared distance from the nearest so far.
#include <algorithm>
#include <optional>
#include <string>

#include "kmeans/distances.h"
#include "kmeans/kmeans_core.h"
#include "kmeans/sample_blocks.h"
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

// The sample as seeding reads it: its layout, the units its passes are cut
// into (rows, or whole blocks), and the least distances kept over them.
struct SampleView {
  const float* rows;
  std::size_t m;
  std::size_t d;
  SampleLayout layout;

  // Row-major rows are cut into pieces of rows; blocked ones into pieces
  // of whole blocks, the rows past the last full block being one more.
  std::size_t units() const {
    return layout == SampleLayout::rows ? m : ceil_div(m, kSampleBlockRows);
  }
  std::size_t unit_grain() const {
    const std::size_t grain = row_grain(m, d);
    return layout == SampleLayout::rows ? grain : ceil_div(grain, kSampleBlockRows);
  }

  // keep_least of the rows of units [begin, end) for `centre`.
  void keep_least_of(const float* centre, std::size_t begin, std::size_t end, float* least,
                     bool first) const {
    if (layout == SampleLayout::rows) {
      distances_to(rows, d, centre, begin, end,
                   [&](std::size_t i, float d2) { keep_least(least[i], d2, first); });
    } else {
      keep_least_of_blocks(rows, m, d, centre, begin, end, least, first);
    }
  }

  // Copies sample row `row` into centroid row c, checking that the row lies
  // inside the centroid storage (with k == 0 and d >= 1 even row 0 does not).
  void place_row(std::size_t row, float* centroids, std::size_t centroids_len, std::size_t c) const {
    const std::optional<std::size_t> end = checked_mul(c + 1, d);
    if (!end || *end > centroids_len) [[unlikely]] slice_end_fault(end, centroids_len);
    const RowPlace place = layout == SampleLayout::rows ? RowPlace{row * d, 1} : row_place(row, m, d);
    for (std::size_t l = 0; l < d; ++l) centroids[c * d + l] = rows[place.offset + l * place.stride];
  }
};

}  // namespace

void seed_centroids(const float* sample_rows, std::size_t m, std::size_t d, std::uint64_t k,
                    SplitMix64& rng, float* centroids, std::size_t centroids_len, SampleLayout layout) {
  const SampleView sample{sample_rows, m, d, layout};
  sample.place_row(rng.next_index(m), centroids, centroids_len, 0);

  Buffer<float> min_dist_buf = Buffer<float>::uninitialized(m);
  float* min_dist = min_dist_buf.data();
  const std::size_t units = sample.units();
  const std::size_t grain = sample.unit_grain();
  const std::size_t step_work = work(m, d);
  parallel_for(units, grain, step_work,
               [&](std::size_t b, std::size_t e) { sample.keep_least_of(centroids, b, e, min_dist, true); });
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

    sample.place_row(chosen, centroids, centroids_len, c);
    const float* centre = centroids + c * d;
    parallel_for(units, grain, step_work,
                 [&](std::size_t b, std::size_t e) { sample.keep_least_of(centre, b, e, min_dist, false); });
    poll_interrupt();
  }
}

}  // namespace tarnwick
