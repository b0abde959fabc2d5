// The queue scheduler, for graphs whose rows and bookkeeping outgrow the
// second-level cache: a planned run enters a free lane once every earlier
// run it shares a row with has finished, and steps until it is done.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "layout/epoch_state.h"
#include "layout/lane_scheduling.h"
#include "layout/lane_target.h"
#include "layout/run_planner.h"
#include "support/interrupt.h"

namespace tarnwick::layout {
// Internal linkage, as in lane_steps.h.
namespace {

// Planned runs wait in slots. One word per vertex: bit s (s < kSlots) is
// set while slot s's run writes the row, bit kSlots + s while it reads it.
using RowUsers = std::uint32_t;
inline constexpr std::size_t kSlots = 16;
static_assert(2 * kSlots <= 8 * sizeof(RowUsers));

#if defined(__x86_64__)

// Its table is half the size of the booking scheduler's, and its ticks carry
// no bookkeeping, which counts more there than lanes the booking would fill.
template <std::size_t kDim, bool kUnitB>
class QueueScheduler : LaneScheduler<kDim, kUnitB> {
 public:
  // row_users: zeroed, one word per vertex.
  QueueScheduler(EpochState& state, RowUsers* row_users, bool vector_pow)
      : LaneScheduler<kDim, kUnitB>(state, row_users, sizeof(RowUsers), true, vector_pow),
        row_users_(row_users) {
    for (std::size_t l = 0; l < kLanes; ++l) make_idle(l);
  }

  TARNWICK_LANES void run_epoch() {
    this->planner_.begin_epoch();
    for (;;) {
      fill_lanes();
      if (running_ == 0) {
        if (!this->take_checked_edge()) return;
        continue;
      }
      std::uint32_t finished = tick_until_finished();
      do {
        finish(static_cast<std::size_t>(__builtin_ctz(finished)));
        finished &= finished - 1;
      } while (finished != 0);
      // Stopping here leaves nothing the caller keeps: the embedding is a copy.
      if (--until_poll_ == 0) {
        until_poll_ = kRunsPerPoll;
        poll_interrupt();
      }
    }
  }

 private:
  // A poll reads the clock; some thousands of steps lie between two.
  static constexpr unsigned kRunsPerPoll = 64;
  static_assert(kLanes <= 32, "lane sets are 32-bit words");

  // Ticks until a run is done; returns the lanes whose run is. No run ends
  // before the shortest remainder of a running one has been stepped, so the
  // ticks up to then look for none; one call for the whole stretch keeps the
  // call and its register saves out of the ticks.
  TARNWICK_LANES std::uint32_t tick_until_finished() {
    std::ptrdiff_t ticks = PlannedRun::kMaxSteps;
    for (std::uint32_t r = running_; r != 0; r &= r - 1) {
      const auto l = static_cast<std::size_t>(__builtin_ctz(r));
      ticks = std::min<std::ptrdiff_t>(ticks, end_[l] - cursor_[l]);
    }
    typename LaneScheduler<kDim, kUnitB>::Heads heads;
    this->load_heads(heads);
    for (; ticks > 0; --ticks) tick(heads);
    this->store_heads(heads);
    std::uint32_t finished = 0;
    for (std::size_t l = 0; l < kLanes; ++l) {
      finished |= static_cast<std::uint32_t>(cursor_[l] == end_[l]) << l;
    }
    return finished;
  }

  // The next step of every lane; idle lanes step on kIdleStep.
  TARNWICK_LANES_INLINE void tick(typename LaneScheduler<kDim, kUnitB>::Heads& heads) {
    std::uint32_t step[kLanes];
    __m256d active[kGroups];
    const double* const x = this->state_.x;
#pragma GCC unroll 8
    for (std::size_t l = 0; l < kLanes; ++l) {
      step[l] = *cursor_[l];
      cursor_[l] += advance_[l];
      // The row of the lane's next step, into the first-level cache a tick
      // before it is read: its first and last coordinates, where it may
      // straddle two lines.
      const double* const next = x + static_cast<std::size_t>(PlannedRun::row_of(*cursor_[l])) * kDim;
      __builtin_prefetch(next, 0, 3);
      if constexpr (kDim > 2) __builtin_prefetch(next + kDim - 1, 0, 3);
    }
#pragma GCC unroll 4
    for (std::size_t g = 0; g < kGroups; ++g) {
      active[g] = _mm256_load_pd(reinterpret_cast<const double*>(active_ + 4 * g));
    }
    this->step_lanes(step, active, heads);
  }


  // ---- runs: planned, waiting, in lanes ----

  // Starts runs in the free lanes: the oldest waiting run that may start,
  // else the next planned one, which waits if an earlier run shares a row
  // with it. Then plans ahead.
  void fill_lanes() {
    while (free_lanes_ != 0) {
      if (start_oldest_ready()) continue;
      if (n_planned_ == 0 && !plan_one()) break;
      const std::uint32_t s = planned_[planned_first_];
      planned_first_ = (planned_first_ + 1) % kSlots;
      --n_planned_;
      enter(s);
      if (blocked_by_[s] == 0) {
        start(s);
      } else {
        waiting_[n_waiting_++] = s;
      }
    }
    while (n_planned_ < kPlanAhead && plan_one()) {
    }
  }

  bool start_oldest_ready() {
    for (std::size_t w = 0; w < n_waiting_; ++w) {
      const std::uint32_t s = waiting_[w];
      if (blocked_by_[s] != 0) continue;
      for (std::size_t v = w + 1; v < n_waiting_; ++v) waiting_[v - 1] = waiting_[v];
      --n_waiting_;
      start(s);
      return true;
    }
    return false;
  }

  bool plan_one() {
    if (this->planner_.stopped() || free_slots_ == 0) return false;
    const auto s = static_cast<std::uint32_t>(__builtin_ctz(free_slots_));
    if (!this->planner_.plan(slots_[s])) return false;
    free_slots_ &= ~(std::uint32_t{1} << s);
    planned_[(planned_first_ + n_planned_) % kSlots] = s;
    ++n_planned_;
    return true;
  }

  // Records slot s's rows as in use and finds the earlier runs, still
  // waiting or running, that it must wait for: a row it writes that they
  // use, or a row it reads that they write.
  void enter(std::uint32_t s) {
    const PlannedRun& run = slots_[s];
    const RowUsers bit = RowUsers{1} << s;
    // Indexed by the step's attraction bit (kAttract is 1): the users a step
    // waits for (a reader only for writers) and the bit it sets.
    const RowUsers waits_for[2] = {kWriters, kWriters | kReaders};
    const RowUsers marks[2] = {bit << kSlots, bit};
    RowUsers* users = row_users_;
    RowUsers seen = users[run.head_row];
    users[run.head_row] = seen | bit;
    // Locals: the table's words could alias the run's as far as the compiler knows.
    const std::uint32_t* const steps = run.steps;
    const std::uint32_t n_steps = run.n_steps;
    for (std::uint32_t k = 0; k < n_steps; ++k) {
      const std::uint32_t step = steps[k];
      const std::uint32_t row = PlannedRun::row_of(step);
      const std::uint32_t attracts = step & PlannedRun::kAttract;
      const RowUsers m = users[row];
      seen |= m & waits_for[attracts];
      users[row] = m | marks[attracts];
    }
    const std::uint32_t blockers = (seen | (seen >> kSlots)) & kWriters & ~bit;
    blocked_by_[s] = blockers;
    for (std::uint32_t b = blockers; b != 0; b &= b - 1) blocks_[__builtin_ctz(b)] |= bit;
  }

  void leave(std::uint32_t s) {
    const PlannedRun& run = slots_[s];
    const RowUsers bit = RowUsers{1} << s;
    const RowUsers keep = ~(bit | (bit << kSlots));
    RowUsers* users = row_users_;
    users[run.head_row] &= keep;
    const std::uint32_t* const steps = run.steps;
    const std::uint32_t n_steps = run.n_steps;
    for (std::uint32_t k = 0; k < n_steps; ++k) users[PlannedRun::row_of(steps[k])] &= keep;
    for (std::uint32_t b = blocks_[s]; b != 0; b &= b - 1) blocked_by_[__builtin_ctz(b)] &= ~bit;
    blocks_[s] = 0;
    free_slots_ |= bit;
  }

  // The head row lives in the lane for the whole run: no other step of the
  // run touches it, and no run in flight beside it does.
  void start(std::uint32_t s) {
    const auto l = static_cast<std::size_t>(__builtin_ctz(free_lanes_));
    const PlannedRun& run = slots_[s];
    const double* xj = this->state_.x + static_cast<std::size_t>(run.head_row) * kDim;
    for (std::size_t d = 0; d < kDim; ++d) this->head_[d][l] = xj[d];
    cursor_[l] = run.steps;
    end_[l] = run.steps + run.n_steps;
    advance_[l] = 1;
    active_[l] = ~std::uint64_t{0};
    lane_slot_[l] = s;
    free_lanes_ &= ~(std::uint32_t{1} << l);
    running_ |= std::uint32_t{1} << l;
  }

  void finish(std::size_t l) {
    const std::uint32_t s = lane_slot_[l];
    double* xj = this->state_.x + static_cast<std::size_t>(slots_[s].head_row) * kDim;
    for (std::size_t d = 0; d < kDim; ++d) xj[d] = this->head_[d][l];
    leave(s);
    make_idle(l);
  }

  void make_idle(std::size_t l) {
    cursor_[l] = &kIdleStep;
    end_[l] = nullptr;
    advance_[l] = 0;
    active_[l] = 0;
    free_lanes_ |= std::uint32_t{1} << l;
    running_ &= ~(std::uint32_t{1} << l);
  }

  static constexpr RowUsers kWriters = (RowUsers{1} << kSlots) - 1;
  static constexpr RowUsers kReaders = kWriters << kSlots;

  RowUsers* const row_users_;
  unsigned until_poll_ = kRunsPerPoll;

  // Lanes. An idle lane steps on kIdleStep without advancing.
  alignas(32) std::uint64_t active_[kLanes];
  const std::uint32_t* cursor_[kLanes];
  const std::uint32_t* end_[kLanes];
  std::size_t advance_[kLanes];
  std::uint32_t lane_slot_[kLanes];
  std::uint32_t free_lanes_ = 0;
  std::uint32_t running_ = 0;

  // Slots (sets of them are words like kWriters). The planned queue and the
  // waiting list are in plan order.
  std::uint32_t free_slots_ = kWriters;
  std::uint32_t planned_[kSlots];
  std::size_t planned_first_ = 0;
  std::size_t n_planned_ = 0;
  std::uint32_t waiting_[kSlots];
  std::size_t n_waiting_ = 0;
  std::uint32_t blocked_by_[kSlots] = {};  // earlier slots this one waits for
  std::uint32_t blocks_[kSlots] = {};      // later slots waiting for this one
  PlannedRun slots_[kSlots];
};

#endif  // __x86_64__

}  // namespace
}  // namespace tarnwick::layout
