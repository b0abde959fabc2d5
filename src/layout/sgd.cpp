#include "layout/sgd.h"

#include <cmath>
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
  if (row < 0 || static_cast<std::uint64_t>(row) >= n_vertices) {
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
                EdgeSchedule& schedule, const LayoutParams& p) {
  if (p.n_epochs == 0 || edges.n_edges == 0) return;

  const double attract_factor = (p.a * -2.0) * p.b;
  const double b_minus_one = p.b - 1.0;
  const double repel_factor = (p.gamma + p.gamma) * p.b;
  const double n_epochs_f = static_cast<double>(p.n_epochs);
  SplitMix64 rng = SplitMix64::for_layout(p.seed);

  double* const next_sample = schedule.next_sample_epoch.data();
  double* const next_neg = schedule.next_neg_sample_epoch.data();
  const double* const neg_period = schedule.neg_sample_period.data();
  const double* const eps = edges.epochs_per_sample;

  for (std::uint64_t e = 0; e < p.n_epochs; ++e) {
    const double ef = static_cast<double>(e);
    const double alpha = p.initial_alpha * (1.0 - ef / n_epochs_f);
    const double push = alpha * 4.0;

    for (std::size_t i = 0; i < edges.n_edges; ++i) {
      // Written as the two comparisons so that NaN does not skip the edge.
      if (eps[i] <= 0.0) continue;
      if (next_sample[i] > ef) continue;

      const std::int64_t j = edges.head[checked_index(edges.head_len, i)];
      const std::int64_t k = edges.tail[checked_index(edges.tail_len, i)];
      double* xj = nullptr;
      if (dim > 0) {
        xj = checked_row(x, n_vertices, dim, j);
        double* xk = checked_row(x, n_vertices, dim, k);
        double s = 0.0;
        for (std::size_t d = 0; d < dim; ++d) {
          const double diff = xj[d] - xk[d];
          s = s + diff * diff;
        }
        double c = 0.0;
        if (s > 0.0) c = (attract_factor * std::pow(s, b_minus_one)) / (p.a * std::pow(s, p.b) + 1.0);
        for (std::size_t d = 0; d < dim; ++d) {
          const double g = clip(c * (xj[d] - xk[d]));
          const double t = alpha * g;
          xj[d] = xj[d] + t;
          xk[d] = xk[d] - t;  // after the write above: a self-loop sees it
        }
      }

      next_sample[i] = next_sample[i] + eps[i];

      const std::uint64_t n_neg = negative_sample_count((ef - next_neg[i]) / neg_period[i]);
      if (n_neg > kMaxNegativeSamplesPerEdge) too_many_negative_samples(n_neg, i, e, eps[i]);
      for (std::uint64_t r = 0; r < n_neg; ++r) {
        const std::uint64_t kk = rng.next_index(n_vertices);
        if (kk == static_cast<std::uint64_t>(j) || dim == 0) continue;
        const double* xkk = x + kk * dim;
        double s = 0.0;
        for (std::size_t d = 0; d < dim; ++d) {
          const double diff = xj[d] - xkk[d];
          s = s + diff * diff;
        }
        if (s > 0.0) {
          const double c = repel_factor / ((s + 0.001) * (std::pow(s, p.b) * p.a + 1.0));
          for (std::size_t d = 0; d < dim; ++d) xj[d] = xj[d] + alpha * clip(c * (xj[d] - xkk[d]));
        } else {
          for (std::size_t d = 0; d < dim; ++d) xj[d] = push + xj[d];
        }
      }
      next_neg[i] = next_neg[i] + neg_period[i] * static_cast<double>(n_neg);
    }
  }
}

}  // namespace tarnwick
