// The schedule, and the choice between the lane path and the plain checked loop for a whole run.
#include "layout/sgd.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "layout/epoch_state.h"
#include "layout/lane_dispatch.h"
#include "support/huge_pages.h"

namespace tarnwick::layout {

void too_many_negative_samples(std::uint64_t n_neg, std::size_t edge, std::uint64_t epoch, double period) {
  char period_text[32];
  std::snprintf(period_text, sizeof period_text, "%.17g", period);
  raise_fault("too many negative samples: " + std::to_string(n_neg) + " due for edge " +
              std::to_string(edge) + " in epoch " + std::to_string(epoch) + ", more than the limit of " +
              std::to_string(kMaxNegativeSamplesPerEdge) + "; its epochs_per_sample of " + period_text +
              " is too small");
}

namespace {

// Every due edge through process_edge, in order, fetching the rows of the
// next one while this one is processed.
template <bool kUnitB>
void run_epochs_plain(EpochState& state, std::uint64_t n_epochs) {
  CheckedEdgePoll poll;
  const EdgeList& edges = state.edges;
  for (std::uint64_t e = 0; e < n_epochs; ++e) {
    state.begin_epoch(e);
    std::size_t i = state.next_due(0);
    while (i < edges.n_edges) {
      const std::size_t following = state.next_due(i + 1);
      if (state.dim > 0 && following < edges.head_len && following < edges.tail_len) {
        prefetch_row(state.x, state.n_vertices, state.dim, edges.head[following]);
        prefetch_row(state.x, state.n_vertices, state.dim, edges.tail[following]);
      }
      state.process_edge<kUnitB>(i);
      i = following;
      poll.edge_done();
    }
  }
}

}  // namespace

EdgeSchedule build_edge_schedule(const EdgeList& edges, std::size_t n_vertices,
                                 std::uint64_t negative_sample_rate) {
  const std::size_t n_edges = edges.n_edges;
  const double r = static_cast<double>(negative_sample_rate >= 1 ? negative_sample_rate : 1);
  EdgeSchedule s{Buffer<double>::uninitialized(n_edges), Buffer<EdgeTimes>::uninitialized(n_edges), r};
  // Every epoch streams the next sample epochs and the due edges' records;
  // on huge pages, where granted, that stream misses the TLB far less often,
  // and a long schedule's first writes take a fault per 2 MiB, not per 4 KiB.
  advise_huge_pages(s.next_sample_epoch.data(), n_edges * sizeof(double));
  advise_huge_pages(s.times.data(), n_edges * sizeof(EdgeTimes));
  const std::uint64_t row_end = n_vertices < kMaxLaneVertices ? n_vertices : kMaxLaneVertices;
  for (std::size_t i = 0; i < n_edges; ++i) {
    const double eps = edges.epochs_per_sample[i];
    s.next_sample_epoch[i] = eps <= 0.0 ? HUGE_VAL : eps;
    std::uint32_t head = EdgeTimes::kCheckedRow;
    std::uint32_t tail = EdgeTimes::kCheckedRow;
    if (i < edges.head_len && i < edges.tail_len) {
      const auto j = static_cast<std::uint64_t>(edges.head[i]);
      const auto k = static_cast<std::uint64_t>(edges.tail[i]);
      if (j < row_end && k < row_end && j != k) {
        head = static_cast<std::uint32_t>(j);
        tail = static_cast<std::uint32_t>(k);
      }
    }
    EdgeTimes& t = s.times[i];
    t = EdgeTimes{0.0, eps, head, tail};
    t.next_neg_sample_epoch = neg_sample_period(t, r);
  }
  return s;
}

void run_epochs(double* x, std::size_t n_vertices, std::size_t dim, const EdgeList& edges,
                EdgeSchedule& schedule, const LayoutParams& params, PowChoice pow) {
  if (params.n_epochs == 0 || edges.n_edges == 0) return;
  EpochState state(x, n_vertices, dim, edges, schedule, params);
  if (run_epochs_in_lanes(state, params.n_epochs, pow)) return;
  if (params.b == 1.0) {
    run_epochs_plain<true>(state, params.n_epochs);
  } else {
    run_epochs_plain<false>(state, params.n_epochs);
  }
}

}  // namespace tarnwick::layout
