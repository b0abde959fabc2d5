#include "layout/sgd.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "support/splitmix64.h"

namespace tarnwick {
namespace {

inline double clip(double g) {
  if (g < -4.0) return -4.0;
  if (g > 4.0) return 4.0;
  return g;  // NaN passes through
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

[[noreturn]] void too_many_negative_samples(std::uint64_t n_neg, std::size_t edge, std::uint64_t epoch,
                                            double period) {
  char period_text[32];
  std::snprintf(period_text, sizeof period_text, "%.17g", period);
  raise_fault("too many negative samples: " + std::to_string(n_neg) + " due for edge " +
              std::to_string(edge) + " in epoch " + std::to_string(epoch) + ", more than the limit of " +
              std::to_string(kMaxNegativeSamplesPerEdge) + "; its epochs_per_sample of " + period_text +
              " is too small");
}

inline void prefetch_row(const double* x, std::size_t n_vertices, std::size_t dim, std::int64_t row) {
  if (row >= 0 && static_cast<std::uint64_t>(row) < n_vertices) {
    __builtin_prefetch(x + static_cast<std::size_t>(row) * dim, 1, 3);
  }
}

// The negative samples' vertices, drawn a few samples ahead of their use so
// that their rows can be fetched early. The stream consumed is the
// generator's, in order; draws left over at the end are simply dropped.
class SampleQueue {
 public:
  static constexpr std::size_t kDepth = 8;

  SampleQueue(SplitMix64 rng, std::uint64_t n_vertices, const double* x, std::size_t dim)
      : rng_(rng), n_(n_vertices), x_(x), dim_(dim) {
    // With no vertices the first due sample must fault, not an early draw.
    if (n_ == 0) return;
    for (std::uint64_t& v : ahead_) {
      v = rng_.next_index(n_);
      __builtin_prefetch(x_ + v * dim_, 0, 3);
    }
  }

  std::uint64_t next() {
    if (n_ == 0) return rng_.next_index(0);  // faults
    const std::uint64_t v = ahead_[pos_];
    const std::uint64_t refill = rng_.next_index(n_);
    ahead_[pos_] = refill;
    __builtin_prefetch(x_ + refill * dim_, 0, 3);
    pos_ = (pos_ + 1) % kDepth;
    return v;
  }

 private:
  SplitMix64 rng_;
  std::uint64_t n_;
  const double* x_;
  std::size_t dim_;
  std::uint64_t ahead_[kDepth] = {};
  std::size_t pos_ = 0;
};

struct Constants {
  double a;
  double b;
  double attract_factor;
  double b_minus_one;
  double repel_factor;
};

// pow(s, 0) is 1 and pow(s, 1) is s exactly, so with b = 1 the calls can go.
template <bool kUnitB>
inline double attraction(const Constants& k, double s) {
  if constexpr (kUnitB) {
    return (k.attract_factor * 1.0) / (k.a * s + 1.0);
  } else {
    return (k.attract_factor * std::pow(s, k.b_minus_one)) / (k.a * std::pow(s, k.b) + 1.0);
  }
}

template <bool kUnitB>
inline double repulsion(const Constants& k, double s) {
  if constexpr (kUnitB) {
    return k.repel_factor / ((s + 0.001) * (s * k.a + 1.0));
  } else {
    return k.repel_factor / ((s + 0.001) * (std::pow(s, k.b) * k.a + 1.0));
  }
}

// kDim is the row width when known at compile time (0: use dim).
template <std::size_t kDim, bool kUnitB>
void run_epochs_impl(double* x, std::size_t n_vertices, std::size_t dim_runtime, const EdgeList& edges,
                     EdgeSchedule& schedule, const LayoutParams& p) {
  const std::size_t dim = kDim != 0 ? kDim : dim_runtime;
  const Constants k{p.a, p.b, (p.a * -2.0) * p.b, p.b - 1.0, (p.gamma + p.gamma) * p.b};
  const double n_epochs_f = static_cast<double>(p.n_epochs);
  SampleQueue samples(SplitMix64::for_layout(p.seed), n_vertices, x, dim);

  double* const next_sample = schedule.next_sample_epoch.data();
  double* const next_neg = schedule.next_neg_sample_epoch.data();
  const double* const neg_period = schedule.neg_sample_period.data();
  const double* const eps = edges.epochs_per_sample;
  const std::size_t n_edges = edges.n_edges;
  const std::int64_t* const head = edges.head;
  const std::int64_t* const tail = edges.tail;

  for (std::uint64_t e = 0; e < p.n_epochs; ++e) {
    const double ef = static_cast<double>(e);
    const double alpha = p.initial_alpha * (1.0 - ef / n_epochs_f);
    const double push = alpha * 4.0;

    // Written as the two comparisons so that NaN does not skip the edge.
    // Only processing edge i changes its own entries, so the next due edge
    // can be found, and its rows fetched, before edge i is processed.
    auto next_due = [&](std::size_t i) {
      while (i < n_edges && (eps[i] <= 0.0 || next_sample[i] > ef)) ++i;
      return i;
    };

    std::size_t i = next_due(0);
    while (i < n_edges) {
      const std::size_t following = next_due(i + 1);
      if (dim > 0 && following < edges.head_len && following < edges.tail_len) {
        prefetch_row(x, n_vertices, dim, head[following]);
        prefetch_row(x, n_vertices, dim, tail[following]);
      }

      const std::int64_t j = head[checked_index(edges.head_len, i)];
      const std::int64_t kt = tail[checked_index(edges.tail_len, i)];
      double* xj = nullptr;
      if (dim > 0) {
        xj = checked_row(x, n_vertices, dim, j);
        double* xk = checked_row(x, n_vertices, dim, kt);
        double s = 0.0;
        for (std::size_t d = 0; d < dim; ++d) {
          const double diff = xj[d] - xk[d];
          s = s + diff * diff;
        }
        const double c = s > 0.0 ? attraction<kUnitB>(k, s) : 0.0;
        for (std::size_t d = 0; d < dim; ++d) {
          const double t = alpha * clip(c * (xj[d] - xk[d]));
          xj[d] = xj[d] + t;
          xk[d] = xk[d] - t;  // after the write above: a self-loop sees it
        }
      }

      next_sample[i] = next_sample[i] + eps[i];

      const std::uint64_t n_neg = negative_sample_count((ef - next_neg[i]) / neg_period[i]);
      if (n_neg > kMaxNegativeSamplesPerEdge) [[unlikely]] {
        too_many_negative_samples(n_neg, i, e, eps[i]);
      }
      for (std::uint64_t r = 0; r < n_neg; ++r) {
        const std::uint64_t kk = samples.next();
        if (kk == static_cast<std::uint64_t>(j) || dim == 0) continue;
        const double* xkk = x + kk * dim;
        double s = 0.0;
        for (std::size_t d = 0; d < dim; ++d) {
          const double diff = xj[d] - xkk[d];
          s = s + diff * diff;
        }
        if (s > 0.0) {
          const double c = repulsion<kUnitB>(k, s);
          for (std::size_t d = 0; d < dim; ++d) xj[d] = xj[d] + alpha * clip(c * (xj[d] - xkk[d]));
        } else {
          for (std::size_t d = 0; d < dim; ++d) xj[d] = push + xj[d];
        }
      }
      next_neg[i] = next_neg[i] + neg_period[i] * static_cast<double>(n_neg);
      i = following;
    }
  }
}

}  // namespace

EdgeSchedule build_edge_schedule(const double* epochs_per_sample, std::size_t n_edges,
                                 std::uint64_t negative_sample_rate) {
  EdgeSchedule s{Buffer<double>::uninitialized(n_edges), Buffer<double>::uninitialized(n_edges),
                 Buffer<double>::uninitialized(n_edges)};
  const double r = static_cast<double>(negative_sample_rate >= 1 ? negative_sample_rate : 1);
  for (std::size_t i = 0; i < n_edges; ++i) {
    s.neg_sample_period[i] = epochs_per_sample[i] / r;
    s.next_sample_epoch[i] = epochs_per_sample[i];
    s.next_neg_sample_epoch[i] = s.neg_sample_period[i];
  }
  return s;
}

void run_epochs(double* x, std::size_t n_vertices, std::size_t dim, const EdgeList& edges,
                EdgeSchedule& schedule, const LayoutParams& params) {
  if (params.n_epochs == 0 || edges.n_edges == 0) return;
  const bool unit_b = params.b == 1.0;
  if (dim == 2) {
    unit_b ? run_epochs_impl<2, true>(x, n_vertices, dim, edges, schedule, params)
           : run_epochs_impl<2, false>(x, n_vertices, dim, edges, schedule, params);
  } else {
    unit_b ? run_epochs_impl<0, true>(x, n_vertices, dim, edges, schedule, params)
           : run_epochs_impl<0, false>(x, n_vertices, dim, edges, schedule, params);
  }
}

}  // namespace tarnwick
