// The state of the layout SGD as it walks the edges of an epoch, and the
// plain, fully checked processing of one due edge. Every faster path takes
// this one for anything unusual, at its place in the order, so it is the
// reference for what the others compute.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "layout/sgd.h"
#include "support/checked.h"
#include "support/splitmix64.h"

namespace tarnwick::layout {

// Written as the selects that map onto branch-free max/min instructions
// (which return their second operand for NaN, so NaN passes through).
// Clipping is data-dependent and would mispredict as branches.
inline double clip(double g) {
  const double low = (-4.0 > g) ? -4.0 : g;
  return (4.0 < low) ? 4.0 : low;
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

// x % d for a fixed divisor d >= 1, by multiplication (Granlund and
// Montgomery, "Division by invariant integers using multiplication", 1994,
// figure 4.1): exact for every 64-bit x, without the latency of a divide.
class Remainder {
 public:
  explicit Remainder(std::uint64_t d) : d_(d) {
    const int l = d == 1 ? 0 : 64 - __builtin_clzll(d - 1);  // ceil(log2 d)
    const unsigned __int128 two_l = static_cast<unsigned __int128>(1) << l;
    magic_ = static_cast<std::uint64_t>(((two_l - d) << 64) / d + 1);
    shift1_ = l < 1 ? l : 1;
    shift2_ = l > 1 ? l - 1 : 0;
  }

  std::uint64_t of(std::uint64_t x) const {
    const auto t1 = static_cast<std::uint64_t>((static_cast<unsigned __int128>(magic_) * x) >> 64);
    const std::uint64_t q = (t1 + ((x - t1) >> shift1_)) >> shift2_;
    return x - q * d_;
  }

  // For vector versions of of(): with d >= 2 the first shift is 1.
  std::uint64_t divisor() const { return d_; }
  std::uint64_t magic() const { return magic_; }
  int final_shift() const { return shift2_; }

 private:
  std::uint64_t d_;
  std::uint64_t magic_ = 0;
  int shift1_ = 0;
  int shift2_ = 0;
};

// out[k] = remainder.of(rng.next_u64()) for k < count: the stream of
// next_index(d) for d > 0, without its divide.
using IndexDraw = void (*)(SplitMix64& rng, const Remainder& remainder, std::size_t count,
                           std::uint64_t* out);

inline void draw_indices(SplitMix64& rng, const Remainder& remainder, std::size_t count, std::uint64_t* out) {
  for (std::size_t k = 0; k < count; ++k) out[k] = remainder.of(rng.next_u64());
}

// The negative samples' vertices: the stream of next_index(n_vertices), in
// order. One at a time they are drawn a few ahead of their use, so that
// their rows can be fetched early; draws left over at the end are simply
// dropped.
class SampleQueue {
 public:
  static constexpr std::size_t kDepth = 8;

  SampleQueue(SplitMix64 rng, std::uint64_t n_vertices, const double* x, std::size_t dim)
      : rng_(rng), n_(n_vertices), remainder_(n_vertices == 0 ? 1 : n_vertices), x_(x), dim_(dim) {}

  std::uint64_t next() {
    if (n_ == 0) return rng_.next_index(0);  // faults
    if (n_ahead_ != kDepth) [[unlikely]] fill();
    const std::uint64_t v = ahead_[pos_];
    const std::uint64_t refill = remainder_.of(rng_.next_u64());
    ahead_[pos_] = refill;
    __builtin_prefetch(x_ + refill * dim_, 0, 3);
    pos_ = (pos_ + 1) % kDepth;
    return v;
  }

  // out[k] = next() for k < count (n_vertices > 0): those drawn ahead, then
  // `draw` for the rest, which are not fetched.
  void take(std::size_t count, std::uint64_t* out, IndexDraw draw) {
    std::size_t k = 0;
    for (; k < count && n_ahead_ > 0; ++k, --n_ahead_) {
      out[k] = ahead_[pos_];
      pos_ = (pos_ + 1) % kDepth;
    }
    if (k < count) draw(rng_, remainder_, count - k, out + k);
  }

 private:
  void fill() {
    for (; n_ahead_ < kDepth; ++n_ahead_) {
      const std::uint64_t v = remainder_.of(rng_.next_u64());
      ahead_[(pos_ + n_ahead_) % kDepth] = v;
      __builtin_prefetch(x_ + v * dim_, 0, 3);
    }
  }

  SplitMix64 rng_;
  std::uint64_t n_;
  Remainder remainder_;
  const double* x_;
  std::size_t dim_;
  std::uint64_t ahead_[kDepth] = {};
  std::size_t pos_ = 0;
  std::size_t n_ahead_ = 0;
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
    return k.repel_factor / ((s + 0.001) * (s * k.a + 1.0));
  } else {
    return k.repel_factor / ((s + 0.001) * (std::pow(s, k.b) * k.a + 1.0));
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
        next_neg(schedule.next_neg_sample_epoch.data()),
        neg_period(schedule.neg_sample_period.data()),
        consts(p),
        samples(SplitMix64::for_layout(p.seed), n_vertices, x, dim),
        n_epochs_(p.n_epochs),
        initial_alpha_(p.initial_alpha) {}

  void begin_epoch(std::uint64_t e) {
    epoch = e;
    epoch_f = static_cast<double>(e);
    alpha = initial_alpha_ * (1.0 - epoch_f / static_cast<double>(n_epochs_));
    push = alpha * 4.0;
  }

  // The first due edge at or after i. Written as the two comparisons so that
  // NaN does not skip the edge. Only processing edge i changes its own
  // entries, so the next due edge can be found before edge i is processed.
  std::size_t next_due(std::size_t i) const {
    const double* eps = edges.epochs_per_sample;
    const double* next = next_sample;
    const double now = epoch_f;
    const std::size_t n = edges.n_edges;
    while (i < n && (eps[i] <= 0.0 || next[i] > now)) ++i;
    return i;
  }

  std::uint64_t negative_samples_due(std::size_t i) const {
    return negative_sample_count((epoch_f - next_neg[i]) / neg_period[i]);
  }

  // One due edge, exactly in the order of the algorithm, with every check.
  template <bool kUnitB>
  void process_edge(std::size_t i) {
    const double* eps = edges.epochs_per_sample;
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

    next_sample[i] = next_sample[i] + eps[i];

    const std::uint64_t n_neg = negative_samples_due(i);
    if (n_neg > kMaxNegativeSamplesPerEdge) [[unlikely]] {
      too_many_negative_samples(n_neg, i, epoch, eps[i]);
    }
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
    next_neg[i] = next_neg[i] + neg_period[i] * static_cast<double>(n_neg);
  }

  double* const x;
  const std::size_t n_vertices;
  const std::size_t dim;
  const EdgeList& edges;
  double* const next_sample;
  double* const next_neg;
  const double* const neg_period;
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
