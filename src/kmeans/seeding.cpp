// k-means++ seeding, and the driver that draws the seeding sample.
#include <algorithm>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kmeans/kmeans_core.h"
#include "support/worker_pool.h"

namespace tarnwick {

using kmeans_detail::ceil_div;
using kmeans_detail::element_count;
using kmeans_detail::row_grain;
using kmeans_detail::work;

namespace {

constexpr std::size_t kMaxSampleRows = 100000;

// Sequential over l, one rounding per operation: the order is part of the result.
inline float squared_distance(const float* a, const float* b, std::size_t d) {
  float acc = 0.0f;
  for (std::size_t l = 0; l < d; ++l) {
    float diff = a[l] - b[l];
    acc = acc + diff * diff;
  }
  return acc;
}

// squared_distance for the rows [begin, end) of the m×d sample; keep(i, d2)
// receives each. Eight rows run side by side, one per lane, each lane summing
// over l in ascending order exactly like squared_distance: the lanes hide the
// latency of the one-row chain of additions.
template <class Keep>
void distances_to(const float* sample, std::size_t d, const float* centre, std::size_t begin,
                  std::size_t end, Keep&& keep) {
  std::size_t i = begin;
#if defined(__SSE2__)
  alignas(16) float out[8];
  for (; i + 8 <= end; i += 8) {
    const float* a = sample + i * d;
    __m128 lo = _mm_setzero_ps(), hi = _mm_setzero_ps();
    auto add = [&](__m128& acc, __m128 x, float c) {
      __m128 diff = _mm_sub_ps(x, _mm_set1_ps(c));
      acc = _mm_add_ps(acc, _mm_mul_ps(diff, diff));
    };
    std::size_t l = 0;
    for (; l + 4 <= d; l += 4) {
      __m128 r0 = _mm_loadu_ps(a + l), r1 = _mm_loadu_ps(a + d + l);
      __m128 r2 = _mm_loadu_ps(a + 2 * d + l), r3 = _mm_loadu_ps(a + 3 * d + l);
      __m128 r4 = _mm_loadu_ps(a + 4 * d + l), r5 = _mm_loadu_ps(a + 5 * d + l);
      __m128 r6 = _mm_loadu_ps(a + 6 * d + l), r7 = _mm_loadu_ps(a + 7 * d + l);
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
      const float* c = a + l;
      add(lo, _mm_set_ps(c[3 * d], c[2 * d], c[d], c[0]), centre[l]);
      add(hi, _mm_set_ps(c[7 * d], c[6 * d], c[5 * d], c[4 * d]), centre[l]);
    }
    _mm_store_ps(out, lo);
    _mm_store_ps(out + 4, hi);
    for (std::size_t q = 0; q < 8; ++q) keep(i + q, out[q]);
  }
#endif
  for (; i < end; ++i) keep(i, squared_distance(sample + i * d, centre, d));
}

// Copies sample row `row` into centroid row c, checking that the row lies
// inside the centroid storage (with k == 0 and d >= 1 even row 0 does not).
void place_row(const float* sample, std::size_t row, std::size_t d, float* centroids,
               std::size_t centroids_len, std::size_t c) {
  std::size_t end;
  if (__builtin_mul_overflow(c + 1, d, &end))
    raise_fault("range end index overflows for slice of length " + std::to_string(centroids_len));
  if (end > centroids_len)
    raise_fault("range end index " + std::to_string(end) + " out of range for slice of length " +
                std::to_string(centroids_len));
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

  // With empty rows every further pick copies nothing and leaves min_dist at
  // zero; it would only advance the generator, which nothing reads after
  // seeding. Nothing bounds k here either (the centroid storage is empty), so
  // running those picks could take practically forever.
  if (d == 0) return;

  // The sum's tree follows from m alone, so the total is the same for any pool size.
  const std::size_t total_grain = std::max<std::size_t>(8192, ceil_div(m, 64));
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
  }
}

Buffer<std::int64_t> kmeans_core(const float* X, std::size_t n, std::size_t d, std::uint64_t k,
                                 std::uint64_t n_iter, std::uint64_t seed) {
  SplitMix64 rng = SplitMix64::for_kmeans(seed);
  Buffer<float> centroids = Buffer<float>::zeroed(element_count(k, d));

  const std::size_t m = std::min(n, kMaxSampleRows);
  const float* sample = X;
  Buffer<float> drawn;
  if (n > kMaxSampleRows) {
    // Draws are serial (they are one stream); the copies are not.
    Buffer<std::uint64_t> rows = Buffer<std::uint64_t>::uninitialized(m);
    for (std::size_t i = 0; i < m; ++i) rows[i] = rng.next_index(n);
    drawn = Buffer<float>::uninitialized(element_count(m, d));
    float* dst = drawn.data();
    parallel_for(m, row_grain(m, d), work(m, d), [&](std::size_t b, std::size_t e) {
      for (std::size_t i = b; i < e; ++i) {
        const float* src = X + rows[i] * d;
        std::copy(src, src + d, dst + i * d);
      }
    });
    sample = drawn.data();
  }

  seed_centroids(sample, m, d, k, rng, centroids.data(), centroids.size());
  return lloyd_iterations(X, n, d, k, n_iter, centroids.data());
}

}  // namespace tarnwick
