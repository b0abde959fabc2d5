// Rows in lanes for long rows and few centroids (FewCentroids): each vector
// of rows is transposed in registers, eight columns at a time, and meets all
// k centroids at once. Part of assign_kernel.h, under the same rules.
#pragma once

#include <cstddef>

#include "kmeans/assign_kernel_parts.h"

namespace tarnwick::assign_detail {
namespace {

// With centroids in lanes, k centroids fill k of a vector's lanes and the
// others compute for nothing; with rows in lanes every lane works, but the
// rows must be transposed, and long rows do not fit a panel in the
// first-level cache. So: one vector of W rows at a time, read in place,
// eight columns transposed in registers (V::columns8) and each column
// multiplied into k accumulators, one per centroid, broadcasting C[j, l].
// Each lane performs exactly the contract's chain; the k chains are then
// folded in ascending j, the strict scan. A transpose costs a fraction of a
// fma per column and row vector, so this pays while k stays below a vector
// of centroids by more than that; the k accumulators, the eight columns and
// the transpose share the register file, which bounds k at KMax.
template <class V, std::size_t KMax>
struct FewCentroids {
  using F = typename V::F;
  using I = typename V::I;
  static constexpr std::size_t W = V::kWidth;
  static constexpr std::size_t kColumns = 8;  // what V::columns8 transposes

  // C[j, l] at [l·k + j]: a column's k values side by side, one pointer
  // for all the broadcasts.
  static void lay_out(const float* C, std::size_t d, std::size_t k, float* panel) {
    for (std::size_t l = 0; l < d; ++l)
      for (std::size_t j = 0; j < k; ++j) panel[l * k + j] = C[j * d + l];
  }

  // acc[j] += column · C[j, l] for the k = K centroids, panel at column l.
  template <std::size_t K>
  [[gnu::always_inline]] static inline void column(F x, const float* panel, F (&acc)[K]) {
#pragma GCC unroll 16
    for (std::size_t j = 0; j < K; ++j) acc[j] = V::fma(x, V::set1(panel[j]), acc[j]);
  }

  // acc[j] = the chains of the W rows at x (row stride d) with centroid j;
  // `ahead` is where the next vector's rows start.
  template <std::size_t K>
  [[gnu::always_inline]] static inline void chains(const float* x, const float* ahead,
                                                   std::size_t d, const float* panel,
                                                   F (&acc)[K]) {
#pragma GCC unroll 16
    for (std::size_t j = 0; j < K; ++j) acc[j] = V::zero();
    std::size_t l = 0;
    for (; l + kColumns <= d; l += kColumns) {
      // The next vector's rows into the second-level cache, a line per row
      // every sixteen columns: on its own the hardware fetches W streams
      // too late, and into the first level they would push out the rows
      // being transposed.
      if (l % 16 == 0)
#pragma GCC unroll 16
        for (std::size_t r = 0; r < W; ++r) __builtin_prefetch(ahead + r * d + l, 0, 2);
      F cols[kColumns];
      V::columns8(x + l, d, cols);
#pragma GCC unroll 8
      for (std::size_t c = 0; c < kColumns; ++c) column<K>(cols[c], panel + (l + c) * K, acc);
    }
    if (l == d) return;
    // The last columns short of eight, through a zero-padded copy.
    alignas(64) float tail[W * kColumns] = {};
    for (std::size_t r = 0; r < W; ++r)
      for (std::size_t c = l; c < d; ++c) tail[r * kColumns + c - l] = x[r * d + c];
    F cols[kColumns];
    V::columns8(tail, kColumns, cols);
    for (std::size_t c = l; c < d; ++c) column<K>(cols[c - l], panel + c * K, acc);
  }

  // The chains of each vector of rows with the K = b.k centroids: at(i,
  // acc) with row i the vector's first, acc[0][j] its chains with centroid
  // j; rows short of a vector go to row(i) (each_row_group).
  template <std::size_t K, class At, class Row>
  static void each_vector(const AssignBlock& b, const float* panel, At&& at, Row&& row) {
    each_row_group<1, W>(
        b.rows,
        [&](auto, std::size_t i) {
          const float* x = b.X + i * b.d;
          F acc[1][K];
          chains<K>(x, rows_ahead(b, i, W), b.d, panel, acc[0]);
          at(i, acc);
        },
        row);
  }

  // With 1 <= b.k <= KMax.
  static void labels(const AssignBlock& b, Label* out, float* scratch) {
    const float* panel = centroids_laid_out<FewCentroids>(b, scratch);
    with_count<KMax + 1>(b.k, [&](auto kk) {
      each_vector<decltype(kk)::value>(
          b, panel,
          [&](std::size_t i, const auto& acc) {
            F best[1] = {V::set1(kPlusInf)};
            I label[1] = {V::set1_label(0)};
            fold_scores<V>(acc, b.norms, 0, best, label);
            V::store_labels(out + i, label[0]);
          },
          [&](std::size_t i) { out[i] = scalar_label(b.X + i * b.d, b); });
    });
  }
};

}  // namespace
}  // namespace tarnwick::assign_detail
