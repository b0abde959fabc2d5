// The pieces every layout of the assignment kernel shares: the contract's
// scalar chain and scan for rows short of a vector, compile-time counts, the
// walk over a block's row groups and the fold of scores into running bests.
// Part of assign_kernel.h, under the same rules (internal linkage only).
#pragma once

#include <cstddef>
#include <cstdint>

#include "kmeans/assign.h"

namespace tarnwick::assign_detail {
namespace {

constexpr float kPlusInf = __builtin_inff();

// The contract's chain and scan for one row: rows that do not fill a vector.
inline Label scalar_label(const float* x, const AssignBlock& b) {
  float best = kPlusInf;
  Label label = 0;
  for (std::size_t j = 0; j < b.k; ++j) {
    const float* c = b.C + j * b.d;
    float acc = 0.0f;
    for (std::size_t l = 0; l < b.d; ++l) acc = __builtin_fmaf(x[l], c[l], acc);
    const float score = b.norms[j] - (acc + acc);
    if (score < best) {
      best = score;
      label = static_cast<Label>(j);
    }
  }
  return label;
}

template <std::size_t N>
struct Count {
  static constexpr std::size_t value = N;
};

// Calls f with Count<count>{}, 1 <= count < N; nothing for 0.
template <std::size_t N, class Fn>
inline void with_count(std::size_t count, Fn&& f) {
  if constexpr (N > 1) {
    if (count == N - 1) {
      f(Count<N - 1>{});
      return;
    }
    with_count<N - 1>(count, f);
  }
}

// Rows in lanes take a block's rows as whole groups of nv <= G vectors of W
// rows, then one group of the vectors left, then the rows short of a
// vector: as one vector of the block's last W rows where the block has that
// many (its first rows are labelled a second time, with the same bits),
// else one at a time. group(Count<vectors>{}, first row), row(row).
template <std::size_t G, std::size_t W, class Group, class Row>
inline void each_row_group(std::size_t rows, std::size_t nv, Group&& group, Row&& row) {
  std::size_t i = 0;
  with_count<G + 1>(nv, [&](auto n) {
    for (; i + decltype(n)::value * W <= rows; i += decltype(n)::value * W) group(n, i);
  });
  with_count<G>((rows - i) / W, [&](auto nv) {
    group(nv, i);
    i += decltype(nv)::value * W;
  });
  if (i < rows && rows >= W) {
    group(Count<1>{}, rows - W);
    return;
  }
  for (; i < rows; ++i) row(i);
}

template <std::size_t G, std::size_t W, class Group, class Row>
inline void each_row_group(std::size_t rows, Group&& group, Row&& row) {
  each_row_group<G, W>(rows, G, group, row);
}

// Folds one centroid's score, from its chain acc, into a row vector's
// running best and label: the contract's strict scan, lane by lane.
template <class V>
[[gnu::always_inline]] inline void fold_score(typename V::F acc, typename V::F norm,
                                              typename V::I index, typename V::F& best,
                                              typename V::I& label) {
  const typename V::F score = V::sub(norm, V::add(acc, acc));
  const auto lt = V::less(score, best);
  best = V::select(lt, score, best);
  label = V::select(lt, index, label);
}

// Folds the scores of centroids j0 .. j0 + MM - 1 (acc their chains, for
// NV row vectors) into each row's running best and label.
template <class V, std::size_t NV, std::size_t MM>
[[gnu::always_inline]] inline void fold_scores(const typename V::F (&acc)[NV][MM],
                                               const float* norms, std::size_t j0,
                                               typename V::F (&best)[NV],
                                               typename V::I (&label)[NV]) {
#pragma GCC unroll 8
  for (std::size_t m = 0; m < MM; ++m) {
    const typename V::F norm = V::set1(norms[j0 + m]);
    const typename V::I index = V::set1_label(static_cast<Label>(j0 + m));
#pragma GCC unroll 8
    for (std::size_t g = 0; g < NV; ++g) fold_score<V>(acc[g][m], norm, index, best[g], label[g]);
  }
}

// The block's centroids as layout L reads them: laid out once per set of
// centroids where the block brings them, else into `panel` now.
template <class L>
inline const float* centroids_laid_out(const AssignBlock& b, float* panel) {
  if (b.C_laid_out != nullptr) return b.C_laid_out;
  L::lay_out(b.C, b.d, b.k, panel);
  return panel;
}

// Where the rows to fetch while `count` rows from row i are labelled start:
// `count` rows on, in the block or after it, else row i itself (fetching
// nothing new) at the end of X.
inline const float* rows_ahead(const AssignBlock& b, std::size_t i, std::size_t count) {
  const std::size_t t = i + count;
  return t + count <= b.rows + b.rows_after ? b.X + t * b.d : b.X + i * b.d;
}

}  // namespace
}  // namespace tarnwick::assign_detail
