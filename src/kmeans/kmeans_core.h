// The Python-free k-means core: k-means++ seeding on a sample of at most
// 100000 rows, then Lloyd iterations over all rows. Every float operation
// happens in a fixed order, and every reduction is cut from the shape alone,
// so labels are the same for any size of the worker pool.
//
// kmeans.cpp drives the whole algorithm (shape checks, the loop and its stop
// rule), seeding.cpp seeds, lloyd.cpp runs the steps of one iteration.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/checked.h"
#include "support/splitmix64.h"

namespace tarnwick {

static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "the core assumes a 64-bit size_t");

// X is n×d row-major, and the caller's to lend: seeding may rearrange its
// rows in place while it runs (sample_blocks.h), and puts them back before it
// returns or throws. Touches no Python, so the caller may release the
// interpreter lock around it. Returns one label in [0, k) per row.
Buffer<std::int64_t> kmeans_core(float* X, std::size_t n, std::size_t d, std::uint64_t k,
                                 std::uint64_t n_iter, std::uint64_t seed);

// How the seeding sample is laid out: row by row, or in blocks
// (sample_blocks.h). Either gives the same centroids.
enum class SampleLayout { rows, blocks };

// k-means++ over the m×d sample; writes k rows of d floats into centroids.
// With d == 0 the rows are empty and only the first pick is drawn.
void seed_centroids(const float* sample, std::size_t m, std::size_t d, std::uint64_t k,
                    SplitMix64& rng, float* centroids, std::size_t centroids_len,
                    SampleLayout layout = SampleLayout::rows);

// Refines centroids (k×d) in place and returns the last assignment.
Buffer<std::int64_t> lloyd_iterations(const float* X, std::size_t n, std::size_t d,
                                      std::uint64_t k, std::uint64_t n_iter, float* centroids);

namespace kmeans_detail {

// Element count of an a×b buffer; an overflow is the same fault as a buffer
// that is too large.
inline std::size_t element_count(std::size_t a, std::size_t b) {
  const std::optional<std::size_t> r = checked_mul(a, b);
  if (!r) [[unlikely]] capacity_fault();
  return *r;
}

// Only steers the pool's inline-or-wake decision, so saturating is enough.
inline std::size_t work(std::size_t a, std::size_t b) { return checked_mul(a, b).value_or(SIZE_MAX); }

inline std::size_t ceil_div(std::size_t a, std::size_t b) { return a / b + (a % b != 0); }

// How the Lloyd steps order their work; both give the same results. `fused`
// assigns rows and adds them to the cluster sums in one pass per piece;
// `separate` assigns all rows, then sums them. `automatic` picks fused when
// the update has enough pieces to keep the pool busy. Tests pin one.
enum class Schedule { automatic, separate, fused };

Buffer<std::int64_t> lloyd_iterations(const float* X, std::size_t n, std::size_t d,
                                      std::uint64_t k, std::uint64_t n_iter, float* centroids,
                                      Schedule schedule);

// A piece of fewer element operations than this costs more to hand to a
// worker than to run.
inline constexpr std::size_t kMinPieceWork = std::size_t{1} << 14;
// Enough pieces to balance any pool this machine family has, few enough that
// handing them out stays negligible.
inline constexpr std::size_t kMaxPieces = 256;

// Grain for steps whose results do not depend on the cutting: pieces of at
// least kMinPieceWork element operations, and no more than kMaxPieces.
inline std::size_t row_grain(std::size_t rows, std::size_t ops_per_row) {
  std::size_t per_row = ops_per_row == 0 ? 1 : ops_per_row;
  std::size_t by_work = ceil_div(kMinPieceWork, per_row);
  std::size_t by_count = ceil_div(rows, kMaxPieces);
  return by_work > by_count ? by_work : by_count;
}

}  // namespace kmeans_detail
}  // namespace tarnwick
