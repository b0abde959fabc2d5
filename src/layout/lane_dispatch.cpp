// The lane path's dispatch: the row width and b pick an instantiation, the
// size and the schedule pick the scheduler (booking while rows and
// bookkeeping fit the second-level cache or runs crowd each other, else
// queueing), and each epoch runs through it.
//
// Both schedulers hand planned runs (consecutive due edges sharing a head,
// with their samples drawn) to lanes, one step per tick. Steps of different
// runs commute unless they share a row that one of them writes; every
// step's rows are known when its run is planned, since the schedule and the
// draws do not depend on the embedding. So the result is bit for bit that
// of the sequential order. Lanes without a step compute garbage that is
// never written.
#include "layout/lane_dispatch.h"

#include <algorithm>

#include "layout/booking_scheduler.h"
#include "layout/lane_runs.h"
#include "layout/run_planner.h"
#include "support/cpu_features.h"

namespace tarnwick::layout {

std::size_t max_booked_vertices(std::size_t dim) {
  // Graphs whose rows, with their row ticks, fit in this many bytes have
  // their runs booked; queueing costs less per step once the rows miss the
  // second-level cache.
  constexpr std::size_t kBookingBytes = 512 * 1024;
  return kBookingBytes / booked_row_bytes(dim);
}

namespace {

// The lanes' steps in an epoch, on average: an edge is due once in
// epochs_per_sample epochs (every epoch at most), for its attraction, and
// draws 1 / neg_sample_period samples an epoch. Edges never due count none.
// An estimate from evenly spaced edges, so that large graphs pay little.
double steps_per_epoch(const EpochState& state) {
  constexpr std::size_t kEdgesLooked = std::size_t{1} << 12;
  const std::size_t n_edges = state.edges.n_edges;
  const std::size_t stride = n_edges > kEdgesLooked ? n_edges / kEdgesLooked : 1;
  double steps = 0.0;
  for (std::size_t i = 0; i < n_edges; i += stride) {
    const double eps = state.times[i].epochs_per_sample;
    const double neg_period = state.neg_sample_period(state.times[i]);
    if (!(eps > 0.0) || !(neg_period > 0.0)) continue;
    const double attractions = eps >= 1.0 ? 1.0 / eps : 1.0;
    steps += attractions + std::min(1.0 / neg_period, double{PlannedRun::kMaxSteps});
  }
  return steps * static_cast<double>(stride);
}

// A vertex heads about one run an epoch, so a run takes some m steps. Two
// runs share a row about m * m / n of the time: this odds.
double shared_row_odds(const EpochState& state) {
  const double n = static_cast<double>(state.n_vertices);
  if (!(n > 0.0)) return 0.0;
  const double m = steps_per_epoch(state) / n;
  return m * m / n;
}

}  // namespace

bool books_runs(const EpochState& state) {
  if (state.n_vertices <= max_booked_vertices(state.dim)) return true;
  // Each queued run waits for every earlier one it shares a row with, and
  // from odds of about a quarter on that idles more lanes than the booking's
  // bookkeeping costs.
  return shared_row_odds(state) >= 0.25;
}

bool crowds_lanes(const EpochState& state) {
  // From odds of about four on, the chain of runs waiting on each other's
  // rows keeps most lanes idle whatever the booking.
  return shared_row_odds(state) >= 4.0;
}

#if defined(__x86_64__)
bool run_epochs_in_avx2_lanes(EpochState& state, std::uint64_t n_epochs, bool vector_pow) {
  return run_lanes_of_width(state, n_epochs, vector_pow);
}
#endif

LaneSet widest_lane_set() { return has_avx512_dq_vl() ? LaneSet::kAvx512 : LaneSet::kAvx2; }

bool run_epochs_in_lanes(EpochState& state, std::uint64_t n_epochs, PowChoice pow, LaneSet set) {
  const bool has_set = set == LaneSet::kAvx512 ? has_avx512_dq_vl() : has_avx2_fma();
  if (!has_set || state.dim == 0 || state.dim > kMaxLaneDim || state.n_vertices > RunPlanner::kMaxVertices) {
    return false;
  }
#if defined(__x86_64__)
  const bool vector_pow = pow == PowChoice::kVector;
  return set == LaneSet::kAvx512 ? run_epochs_in_avx512_lanes(state, n_epochs, vector_pow)
                                 : run_epochs_in_avx2_lanes(state, n_epochs, vector_pow);
#else
  (void)n_epochs;
  (void)pow;
  return false;
#endif
}

}  // namespace tarnwick::layout
