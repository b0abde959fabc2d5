#include "layout/sgd.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "support/splitmix64.h"

namespace tarnwick {
namespace {

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

// The epoch loop. Every edge is processed by process_edge, in order; with
// rows of width 2 the loop instead plans runs of consecutive due edges that
// share their head and, when two neighbouring runs touch disjoint rows,
// executes them interleaved. Two operations on disjoint rows commute, and
// the schedule and the draws of a run do not depend on the embedding, so
// the result is bit for bit that of the sequential order; the interleaving
// only lets the processor overlap two dependency chains (pow, division).
template <std::size_t kDim, bool kUnitB>
class EpochLoop {
 public:
  EpochLoop(double* x, std::size_t n_vertices, std::size_t dim, const EdgeList& edges,
            EdgeSchedule& schedule, const LayoutParams& p)
      : x_(x),
        n_vertices_(n_vertices),
        dim_(kDim != 0 ? kDim : dim),
        edges_(edges),
        next_sample_(schedule.next_sample_epoch.data()),
        next_neg_(schedule.next_neg_sample_epoch.data()),
        neg_period_(schedule.neg_sample_period.data()),
        k_{p.a, p.b, (p.a * -2.0) * p.b, p.b - 1.0, (p.gamma + p.gamma) * p.b},
        samples_(SplitMix64::for_layout(p.seed), n_vertices, x, kDim != 0 ? kDim : dim) {}

  void run(const LayoutParams& p) {
    const double n_epochs_f = static_cast<double>(p.n_epochs);
    for (std::uint64_t e = 0; e < p.n_epochs; ++e) {
      epoch_ = e;
      ef_ = static_cast<double>(e);
      alpha_ = p.initial_alpha * (1.0 - ef_ / n_epochs_f);
      push_ = alpha_ * 4.0;
      if constexpr (kDim == 2) {
        run_epoch_in_runs();
      } else {
        run_epoch_sequential();
      }
    }
  }

 private:
  // Written as the two comparisons so that NaN does not skip the edge.
  // Only processing edge i changes its own entries, so the next due edge
  // can be found before edge i is processed.
  std::size_t next_due(std::size_t i) const {
    const double* eps = edges_.epochs_per_sample;
    while (i < edges_.n_edges && (eps[i] <= 0.0 || next_sample_[i] > ef_)) ++i;
    return i;
  }

  std::uint64_t negative_samples_due(std::size_t i) const {
    return negative_sample_count((ef_ - next_neg_[i]) / neg_period_[i]);
  }

  void run_epoch_sequential() {
    std::size_t i = next_due(0);
    while (i < edges_.n_edges) {
      const std::size_t following = next_due(i + 1);
      if (dim_ > 0 && following < edges_.head_len && following < edges_.tail_len) {
        prefetch_row(x_, n_vertices_, dim_, edges_.head[following]);
        prefetch_row(x_, n_vertices_, dim_, edges_.tail[following]);
      }
      process_edge(i);
      i = following;
    }
  }

  // One due edge, exactly in the order of the algorithm, with every check.
  void process_edge(std::size_t i) {
    const std::size_t dim = dim_;
    double* const x = x_;
    const double alpha = alpha_;
    const double* eps = edges_.epochs_per_sample;
    const std::int64_t j = edges_.head[checked_index(edges_.head_len, i)];
    const std::int64_t kt = edges_.tail[checked_index(edges_.tail_len, i)];
    double* xj = nullptr;
    if (dim > 0) {
      xj = checked_row(x, n_vertices_, dim, j);
      double* xk = checked_row(x, n_vertices_, dim, kt);
      double s = 0.0;
      for (std::size_t d = 0; d < dim; ++d) {
        const double diff = xj[d] - xk[d];
        s = s + diff * diff;
      }
      const double c = s > 0.0 ? attraction<kUnitB>(k_, s) : 0.0;
      for (std::size_t d = 0; d < dim; ++d) {
        const double t = alpha * clip(c * (xj[d] - xk[d]));
        xj[d] = xj[d] + t;
        xk[d] = xk[d] - t;  // after the write above: a self-loop sees it
      }
    }

    next_sample_[i] = next_sample_[i] + eps[i];

    const std::uint64_t n_neg = negative_samples_due(i);
    if (n_neg > kMaxNegativeSamplesPerEdge) [[unlikely]] {
      too_many_negative_samples(n_neg, i, epoch_, eps[i]);
    }
    for (std::uint64_t r = 0; r < n_neg; ++r) {
      const std::uint64_t kk = samples_.next();
      if (kk == static_cast<std::uint64_t>(j) || dim == 0) continue;
      const double* xkk = x + kk * dim;
      double s = 0.0;
      for (std::size_t d = 0; d < dim; ++d) {
        const double diff = xj[d] - xkk[d];
        s = s + diff * diff;
      }
      if (s > 0.0) {
        const double c = repulsion<kUnitB>(k_, s);
        for (std::size_t d = 0; d < dim; ++d) xj[d] = xj[d] + alpha * clip(c * (xj[d] - xkk[d]));
      } else {
        for (std::size_t d = 0; d < dim; ++d) xj[d] = push_ + xj[d];
      }
    }
    next_neg_[i] = next_neg_[i] + neg_period_[i] * static_cast<double>(n_neg);
  }

  // ---- width 2: runs of edges sharing a head ----------------------------

  static constexpr std::size_t kMaxRunEdges = 32;
  static constexpr std::size_t kMaxRunSamples = 160;

  // The planned work of a run: per edge its tail row and the rows of its
  // negative samples (samples that drew the head itself do nothing and are
  // dropped).
  struct Run {
    double* xj = nullptr;
    std::size_t n_edges = 0;
    std::size_t n_samples = 0;
    double* tails[kMaxRunEdges];
    std::uint32_t first_sample[kMaxRunEdges + 1];
    const double* samples[kMaxRunSamples];
  };

  // The head row lives in registers for the whole run: no other operation
  // of the run reads or writes it (tails and samples equal to it are not
  // planned).
  struct HeadRow {
    double x0, x1;
  };

  void attract_step(HeadRow& h, double* xk) const {
    const double d0 = h.x0 - xk[0];
    const double d1 = h.x1 - xk[1];
    // 0.0 + d0 * d0 is d0 * d0 exactly: a square is never -0.0.
    double s = d0 * d0;
    s = s + d1 * d1;
    const double c = s > 0.0 ? attraction<kUnitB>(k_, s) : 0.0;
    const double t0 = alpha_ * clip(c * d0);
    h.x0 = h.x0 + t0;
    xk[0] = xk[0] - t0;
    const double t1 = alpha_ * clip(c * d1);
    h.x1 = h.x1 + t1;
    xk[1] = xk[1] - t1;
  }

  void repel_step(HeadRow& h, const double* xkk) const {
    const double d0 = h.x0 - xkk[0];
    const double d1 = h.x1 - xkk[1];
    double s = d0 * d0;
    s = s + d1 * d1;
    if (s > 0.0) {
      const double c = repulsion<kUnitB>(k_, s);
      h.x0 = h.x0 + alpha_ * clip(c * d0);
      h.x1 = h.x1 + alpha_ * clip(c * d1);
    } else {
      h.x0 = push_ + h.x0;
      h.x1 = push_ + h.x1;
    }
  }

  // Plans the due edges from `cursor` on that share one head, stopping
  // before any edge that needs the full checks of process_edge (a fault, a
  // self-loop, an unusually large sample count). The schedule advances and
  // the samples are drawn here, in edge order, as process_edge would.
  bool plan(Run& run, std::size_t& cursor) {
    run.n_edges = 0;
    run.n_samples = 0;
    run.first_sample[0] = 0;
    std::size_t drawn = 0;
    std::int64_t head_row = -1;
    const double* eps = edges_.epochs_per_sample;
    for (;;) {
      const std::size_t i = next_due(cursor);
      if (i >= edges_.n_edges || i >= edges_.head_len || i >= edges_.tail_len) break;
      const std::int64_t j = edges_.head[i];
      const std::int64_t kt = edges_.tail[i];
      const auto n = static_cast<std::uint64_t>(n_vertices_);
      if (j < 0 || kt < 0 || static_cast<std::uint64_t>(j) >= n || static_cast<std::uint64_t>(kt) >= n ||
          kt == j) {
        break;
      }
      if (run.n_edges > 0 && j != head_row) break;
      if (run.n_edges == kMaxRunEdges) break;
      const std::uint64_t n_neg = negative_samples_due(i);
      if (n_neg > kMaxRunSamples - drawn) break;

      if (run.n_edges == 0) {
        head_row = j;
        run.xj = x_ + static_cast<std::size_t>(j) * 2;
      }
      double* xk = x_ + static_cast<std::size_t>(kt) * 2;
      __builtin_prefetch(xk, 1, 3);
      run.tails[run.n_edges] = xk;
      next_sample_[i] = next_sample_[i] + eps[i];
      for (std::uint64_t r = 0; r < n_neg; ++r) {
        const std::uint64_t kk = samples_.next();
        if (kk != static_cast<std::uint64_t>(j)) run.samples[run.n_samples++] = x_ + kk * 2;
      }
      drawn += n_neg;
      run.first_sample[++run.n_edges] = static_cast<std::uint32_t>(run.n_samples);
      next_neg_[i] = next_neg_[i] + neg_period_[i] * static_cast<double>(n_neg);
      cursor = i + 1;
    }
    return run.n_edges > 0;
  }

  // Edge by edge, and within an edge sample by sample, the runs of a group
  // advance side by side, so that the loop's branches follow the usual shape
  // of a run and the processor can overlap their dependency chains.
  void execute_group(std::size_t count) const {
    HeadRow h[kGroup];
    std::size_t most_edges = 0;
    for (std::size_t r = 0; r < count; ++r) {
      h[r] = HeadRow{group_[r]->xj[0], group_[r]->xj[1]};
      if (group_[r]->n_edges > most_edges) most_edges = group_[r]->n_edges;
    }
    for (std::size_t e = 0; e < most_edges; ++e) {
      std::uint32_t next[kGroup] = {}, end[kGroup] = {};
      for (std::size_t r = 0; r < kGroup; ++r) {
        if (r < count && e < group_[r]->n_edges) {
          attract_step(h[r], group_[r]->tails[e]);
          next[r] = group_[r]->first_sample[e];
          end[r] = group_[r]->first_sample[e + 1];
        }
      }
      for (bool any = true; any;) {
        any = false;
        for (std::size_t r = 0; r < kGroup; ++r) {
          if (next[r] < end[r]) {
            repel_step(h[r], group_[r]->samples[next[r]++]);
            any = true;
          }
        }
      }
    }
    for (std::size_t r = 0; r < count; ++r) {
      group_[r]->xj[0] = h[r].x0;
      group_[r]->xj[1] = h[r].x1;
    }
  }

  // A small set of row addresses on the stack; generations make clearing free.
  template <unsigned kBits>
  class RowSet {
   public:
    void clear() {
      if (++generation_ == 0) {
        for (Slot& s : slots_) s.generation = 0;
        generation_ = 1;
      }
    }
    void insert(const double* row) {
      std::size_t h = slot_of(row);
      while (slots_[h].generation == generation_ && slots_[h].row != row) h = (h + 1) & (kSlots - 1);
      slots_[h] = Slot{row, generation_};
    }
    bool contains(const double* row) const {
      std::size_t h = slot_of(row);
      while (slots_[h].generation == generation_) {
        if (slots_[h].row == row) return true;
        h = (h + 1) & (kSlots - 1);
      }
      return false;
    }

   private:
    static constexpr std::size_t kSlots = std::size_t{1} << kBits;
    struct Slot {
      const double* row = nullptr;
      std::uint32_t generation = 0;
    };
    static std::size_t slot_of(const double* row) {
      return (reinterpret_cast<std::uintptr_t>(row) / 16 * 0x9e3779b97f4a7c15ULL) >> (64 - kBits);
    }
    Slot slots_[kSlots];
    std::uint32_t generation_ = 0;
  };

  // A run joins the group when no row that it writes is read or written by
  // the group's runs, and it reads no row that they write.
  bool joins_group(const Run& run) const {
    if (written_.contains(run.xj) || sampled_.contains(run.xj)) return false;
    for (std::size_t e = 0; e < run.n_edges; ++e) {
      if (written_.contains(run.tails[e]) || sampled_.contains(run.tails[e])) return false;
    }
    for (std::size_t o = 0; o < run.n_samples; ++o) {
      if (written_.contains(run.samples[o])) return false;
    }
    return true;
  }

  void add_to_group(const Run& run) {
    written_.insert(run.xj);
    for (std::size_t e = 0; e < run.n_edges; ++e) written_.insert(run.tails[e]);
    for (std::size_t o = 0; o < run.n_samples; ++o) sampled_.insert(run.samples[o]);
  }

  void run_epoch_in_runs() {
    std::size_t cursor = 0;
    std::size_t count = 0;
    written_.clear();
    sampled_.clear();
    for (;;) {
      bool stopped = false;  // at an edge the plans cannot take, or the end
      while (count < kGroup) {
        Run& run = *group_[count];
        if (!plan(run, cursor)) {
          stopped = true;
          break;
        }
        if (count > 0 && !joins_group(run)) {
          // The earlier runs go first; this one opens the next group.
          execute_group(count);
          std::swap(group_[0], group_[count]);
          count = 0;
          written_.clear();
          sampled_.clear();
        }
        add_to_group(run);
        ++count;
      }
      if (count > 0) execute_group(count);
      count = 0;
      written_.clear();
      sampled_.clear();
      if (stopped) {
        const std::size_t i = next_due(cursor);
        if (i >= edges_.n_edges) return;
        process_edge(i);
        cursor = i + 1;
      }
    }
  }

  double* const x_;
  const std::size_t n_vertices_;
  const std::size_t dim_;
  const EdgeList& edges_;
  double* const next_sample_;
  double* const next_neg_;
  const double* const neg_period_;
  const Constants k_;
  SampleQueue samples_;
  std::uint64_t epoch_ = 0;
  double ef_ = 0.0, alpha_ = 0.0, push_ = 0.0;
  static constexpr std::size_t kGroup = 4;
  Run runs_[kGroup];
  Run* group_[kGroup] = {&runs_[0], &runs_[1], &runs_[2], &runs_[3]};
  RowSet<9> written_;   // rows written by the group: at most 4 x 33
  RowSet<11> sampled_;  // rows its negative samples read: at most 4 x 160
};

template <std::size_t kDim, bool kUnitB>
void run_epochs_impl(double* x, std::size_t n_vertices, std::size_t dim, const EdgeList& edges,
                     EdgeSchedule& schedule, const LayoutParams& p) {
  EpochLoop<kDim, kUnitB> loop(x, n_vertices, dim, edges, schedule, p);
  loop.run(p);
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
