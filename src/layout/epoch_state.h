// The state of the layout SGD as it walks the edges of an epoch, and the
// plain, fully checked processing of one due edge. Every faster path takes
// this one for anything unusual, at its place in the order, so it is the
// reference for what the others compute.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "layout/sample_stream.h"
#include "layout/sgd.h"
#include "support/checked.h"
#include "support/interrupt.h"
#include "support/splitmix64.h"

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace tarnwick::layout {

// Each coordinate's gradient is clipped to [-kClipBound, kClipBound].
inline constexpr double kClipBound = 4.0;
// A repulsion at distance 0 has no direction: each coordinate of the head
// moves by the largest clipped gradient instead.
inline constexpr double kCoincidentGradient = kClipBound;
// Added to the squared distance in the repulsion, which keeps it finite
// near distance 0.
inline constexpr double kRepulsionOffset = 0.001;

// Written as the selects that map onto branch-free max/min instructions
// (which return their second operand for NaN, so NaN passes through).
// Clipping is data-dependent and would mispredict as branches.
inline double clip(double g) {
  const double low = (-kClipBound > g) ? -kClipBound : g;
  return (kClipBound < low) ? kClipBound : low;
}

// Rows are checked as whole rows: a row out of range reports the flat index
// of its first coordinate, computed in wrapping unsigned arithmetic.
inline double* checked_row(double* x, std::size_t n_vertices, std::size_t dim, std::int64_t row) {
  if (row < 0 || static_cast<std::uint64_t>(row) >= n_vertices) [[unlikely]] {
    index_fault(static_cast<std::uint64_t>(n_vertices) * dim, static_cast<std::uint64_t>(row) * dim);
  }
  return x + static_cast<std::size_t>(row) * dim;
}

inline std::uint64_t negative_sample_count(double q) {
  if (std::isnan(q) || q < 0.0) return 0;
  if (q >= 0x1p64) return UINT64_MAX;
  return static_cast<std::uint64_t>(q);
}

[[noreturn, gnu::cold, gnu::noinline]] void too_many_negative_samples(std::uint64_t n_neg, std::size_t edge,
                                                                     std::uint64_t epoch, double period);

// Always inlined: GCC takes a function that only prefetches for pure and
// drops calls to it.
[[gnu::always_inline]] inline void prefetch_row(const double* x, std::size_t n_vertices, std::size_t dim,
                                                std::int64_t row) {
  if (row >= 0 && static_cast<std::uint64_t>(row) < n_vertices) {
    __builtin_prefetch(x + static_cast<std::size_t>(row) * dim, 1, 3);
  }
}

// A poll reads the clock, so every loop polls once per so many units of its
// work; stopping there leaves nothing the caller keeps (the embedding is a
// copy). Edges through process_edge, whether in the plain loop or between
// the runs of the lanes, are counted here.
class CheckedEdgePoll {
 public:
  static constexpr unsigned kEdgesPerPoll = 1024;

  void edge_done() {
    if (--until_poll_ == 0) {
      until_poll_ = kEdgesPerPoll;
      poll_interrupt();
    }
  }

 private:
  unsigned until_poll_ = kEdgesPerPoll;
};

struct GradientConstants {
  double a;
  double b;
  double attract_factor;
  double b_minus_one;
  double repel_factor;

  explicit GradientConstants(const LayoutParams& p)
      : a(p.a), b(p.b), attract_factor((p.a * -2.0) * p.b), b_minus_one(p.b - 1.0),
        repel_factor((p.gamma + p.gamma) * p.b) {}
};

// pow(s, 0) is 1 and pow(s, 1) is s exactly, so with b = 1 the calls can go.
template <bool kUnitB>
inline double attraction(const GradientConstants& k, double s) {
  if constexpr (kUnitB) {
    return (k.attract_factor * 1.0) / (k.a * s + 1.0);
  } else {
    return (k.attract_factor * std::pow(s, k.b_minus_one)) / (k.a * std::pow(s, k.b) + 1.0);
  }
}

template <bool kUnitB>
inline double repulsion(const GradientConstants& k, double s) {
  if constexpr (kUnitB) {
    return k.repel_factor / ((s + kRepulsionOffset) * (s * k.a + 1.0));
  } else {
    return k.repel_factor / ((s + kRepulsionOffset) * (std::pow(s, k.b) * k.a + 1.0));
  }
}

// Everything the edges of an epoch read and advance: the embedding, the
// edge arrays and their schedule, the sample stream, the epoch's rates.
class EpochState {
 public:
  EpochState(double* x, std::size_t n_vertices, std::size_t dim, const EdgeList& edges,
             EdgeSchedule& schedule, const LayoutParams& p)
      : x(x),
        n_vertices(n_vertices),
        dim(dim),
        edges(edges),
        next_sample(schedule.next_sample_epoch.data()),
        times(schedule.times.data()),
        neg_rate(schedule.neg_rate),
        consts(p),
        samples(SplitMix64::for_layout(p.seed), n_vertices, x, dim),
        n_epochs_(p.n_epochs),
        initial_alpha_(p.initial_alpha) {}

  void begin_epoch(std::uint64_t e) {
    epoch = e;
    epoch_f = static_cast<double>(e);
    alpha = initial_alpha_ * (1.0 - epoch_f / static_cast<double>(n_epochs_));
    push = alpha * kCoincidentGradient;
  }

  // Whether an edge with this next sample epoch is due now (see
  // EdgeSchedule). Negated, so that NaN counts as due.
  static bool is_due(double next_sample_epoch, double now) { return !(next_sample_epoch > now); }

#if defined(__x86_64__)
  // is_due for two edges: all bits of a lane set where due.
  static __m128d is_due2(__m128d next_sample_epoch, __m128d now) { return _mm_cmpngt_pd(next_sample_epoch, now); }
#endif

  // The first due edge at or after i. Only processing edge i changes its
  // own entries, so the next due edge can be found before edge i is
  // processed.
  std::size_t next_due(std::size_t i) const {
    const double* next = next_sample;
    const double now = epoch_f;
    const std::size_t n = edges.n_edges;
    while (i < n && !is_due(next[i], now)) ++i;
    return i;
  }

  double neg_sample_period(const EdgeTimes& t) const { return layout::neg_sample_period(t, neg_rate); }

  std::uint64_t negative_samples_due(const EdgeTimes& t, double period) const {
    return negative_sample_count((epoch_f - t.next_neg_sample_epoch) / period);
  }

  // Moves edge i's schedule on past this epoch, in which it drew n_neg
  // negative samples.
  void advance_schedule(std::size_t i, EdgeTimes& t, double period, std::uint64_t n_neg) {
    next_sample[i] = next_sample[i] + t.epochs_per_sample;
    t.next_neg_sample_epoch = t.next_neg_sample_epoch + period * static_cast<double>(n_neg);
  }

  // One due edge, exactly in the order of the algorithm, with every check.
  template <bool kUnitB>
  void process_edge(std::size_t i) {
    const std::int64_t head_row = edges.head[checked_index(edges.head_len, i)];
    const std::int64_t tail_row = edges.tail[checked_index(edges.tail_len, i)];
    double* xj = nullptr;
    if (dim > 0) {
      xj = checked_row(x, n_vertices, dim, head_row);
      double* xk = checked_row(x, n_vertices, dim, tail_row);
      double s = 0.0;
      for (std::size_t d = 0; d < dim; ++d) {
        const double diff = xj[d] - xk[d];
        s = s + diff * diff;
      }
      const double c = s > 0.0 ? attraction<kUnitB>(consts, s) : 0.0;
      for (std::size_t d = 0; d < dim; ++d) {
        const double t = alpha * clip(c * (xj[d] - xk[d]));
        xj[d] = xj[d] + t;
        xk[d] = xk[d] - t;  // after the write above: a self-loop sees it
      }
    }

    EdgeTimes& t = times[i];
    const double period = neg_sample_period(t);
    const std::uint64_t n_neg = negative_samples_due(t, period);
    if (n_neg > kMaxNegativeSamplesPerEdge) [[unlikely]] {
      too_many_negative_samples(n_neg, i, epoch, t.epochs_per_sample);
    }
    advance_schedule(i, t, period, n_neg);
    for (std::uint64_t r = 0; r < n_neg; ++r) {
      const std::uint64_t sample_row = samples.next();
      if (sample_row == static_cast<std::uint64_t>(head_row) || dim == 0) continue;
      const double* xs = x + sample_row * dim;
      double s = 0.0;
      for (std::size_t d = 0; d < dim; ++d) {
        const double diff = xj[d] - xs[d];
        s = s + diff * diff;
      }
      if (s > 0.0) {
        const double c = repulsion<kUnitB>(consts, s);
        for (std::size_t d = 0; d < dim; ++d) xj[d] = xj[d] + alpha * clip(c * (xj[d] - xs[d]));
      } else {
        for (std::size_t d = 0; d < dim; ++d) xj[d] = push + xj[d];
      }
    }
  }

  double* const x;
  const std::size_t n_vertices;
  const std::size_t dim;
  const EdgeList& edges;
  double* const next_sample;
  EdgeTimes* const times;
  const double neg_rate;
  const GradientConstants consts;
  SampleQueue samples;

  std::uint64_t epoch = 0;
  double epoch_f = 0.0;
  double alpha = 0.0;
  double push = 0.0;

 private:
  const std::uint64_t n_epochs_;
  const double initial_alpha_;
};

}  // namespace tarnwick::layout
