// What the two lane schedulers share: the lane arithmetic, the planner that
// feeds them runs, and the way back to the checked path for an edge the
// planner will not take (with the interrupt poll of that path).
#pragma once

#include <cstddef>
#include <cstdint>

#include "layout/epoch_state.h"
#include "layout/index_lanes.h"
#include "layout/lane_steps.h"
#include "layout/lane_target.h"
#include "layout/run_planner.h"
#include "layout/sample_stream.h"

#if defined(__x86_64__)

namespace tarnwick::layout {
// Internal linkage, as in lane_steps.h.
namespace {

// Runs planned before they are scheduled, so that their rows and the
// scheduler's entries for them arrive in time.
inline constexpr std::size_t kPlanAhead = 4;

template <std::size_t kDim, bool kUnitB>
class LaneScheduler : protected LaneSteps<kDim, kUnitB> {
 protected:
  // `side_table`: the scheduler's entry of `entry_bytes` per vertex, which
  // the planner fetches early with the rows unless `fetch_rows` is false.
  LaneScheduler(EpochState& state, void* side_table, std::size_t entry_bytes, bool fetch_rows,
                bool vector_pow)
      : LaneSteps<kDim, kUnitB>(state, vector_pow),
        planner_(state, side_table, entry_bytes, &draw_indices_in_lanes, fetch_rows) {}

  // For when nothing is planned or in the lanes: the plans stopped at an
  // edge that needs the checked path, or at the end of the epoch. Processes
  // that edge and goes on after it; false at the end of the epoch.
  TARNWICK_LANES_INLINE bool take_checked_edge() {
    EpochState& state = this->state_;
    const std::size_t i = planner_.stop_edge();
    if (i >= state.edges.n_edges) return false;
    state.template process_edge<kUnitB>(i);
    planner_.resume_after(i);
    checked_poll_.edge_done();
    return true;
  }

  RunPlanner planner_;

 private:
  CheckedEdgePoll checked_poll_;
};

}  // namespace
}  // namespace tarnwick::layout

#endif  // __x86_64__
