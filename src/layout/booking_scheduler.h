// The booking scheduler, for graphs whose rows and bookkeeping fit the
// second-level cache: each planned run is booked onto a lane at the first
// ticks at which every earlier run is done with its rows.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "layout/epoch_state.h"
#include "layout/lane_dispatch.h"
#include "layout/lane_scheduling.h"
#include "layout/lane_target.h"
#include "layout/run_planner.h"
#include "support/interrupt.h"

namespace tarnwick::layout {
// Internal linkage, as in lane_steps.h.
namespace {

// Per vertex, the last tick of the lane schedule that writes the row and
// the last that reads it: what a later step touching the row must follow.
struct RowTicks {
  std::uint32_t written;
  std::uint32_t read;
};

// What a booked graph keeps per vertex: its row and its row ticks.
constexpr std::size_t booked_row_bytes(std::size_t dim) { return dim * sizeof(double) + sizeof(RowTicks); }

#if defined(__x86_64__)

// Lanes are booked this many ticks ahead before a tick runs, so that later
// runs whose rows are free can still take a lane at it.
inline constexpr std::uint32_t kBookAhead = 16;

// Rows and row ticks up to this size stay in the second-level cache: the
// planner does not fetch them ahead.
inline constexpr std::size_t kCachedBytes = 256 * 1024;

// Later runs pass earlier ones wherever their rows allow, so lanes stay
// full even where runs often share rows.
template <std::size_t kDim, bool kUnitB>
class BookingScheduler : LaneScheduler<kDim, kUnitB> {
  using Heads = typename LaneScheduler<kDim, kUnitB>::Heads;
  // Rows held in registers only: a second, one-group copy of the step for
  // wider rows would lengthen the lanes' compile for a rare case.
  static constexpr bool kPackable = kDim <= LaneScheduler<kDim, kUnitB>::kHeldDim;
  static constexpr std::size_t kPackedLanes = kLanes / kGroups;

 public:
  // row_ticks: zeroed, one entry per vertex.
  BookingScheduler(EpochState& state, RowTicks* row_ticks, bool vector_pow)
      : LaneScheduler<kDim, kUnitB>(state, row_ticks, sizeof(RowTicks),
                                    state.n_vertices * booked_row_bytes(kDim) > kCachedBytes, vector_pow),
        rows_(row_ticks),
        n_rows_(state.n_vertices),
        packs_(kPackable && crowds_lanes(state)) {}

  TARNWICK_LANES void run_epoch() {
    this->planner_.begin_epoch();
    // The heads stay in registers from tick to tick, so that a lane's next
    // step does not wait for its head to go through memory.
    Heads heads;
    this->load_heads(heads);
    for (;;) {
      if (now_ > kRestartTicks) [[unlikely]] {
        // Long before ticks could wrap: run what is booked, start again at 1.
        while (now_ <= last_booked_) execute_tick(heads);
        restart_ticks();
      }
      book();
      if (now_ > last_booked_) {
        // No lane holds a run, so no held head is needed past this edge.
        if (!this->take_checked_edge()) return;
        continue;
      }
      execute_tick(heads);
      // Stopping here leaves nothing the caller keeps: the embedding is a copy.
      if ((now_ & (kTicksPerPoll - 1)) == 0) poll_interrupt();
    }
  }

 private:
  // A poll reads the clock; some thousands of steps lie between two.
  static constexpr std::uint32_t kTicksPerPoll = 1024;
  static_assert((kTicksPerPoll & (kTicksPerPoll - 1)) == 0);
  // The schedule's ticks to come, a ring. Runs are booked only while the
  // last booked tick is less than half a ring ahead, and a run ends at most
  // kMaxSteps ticks after the last booked one.
  static constexpr std::uint32_t kRing = 1024;
  static_assert(kRing / 2 + PlannedRun::kMaxSteps + 1 < kRing && (kRing & (kRing - 1)) == 0);
  static constexpr std::uint32_t kRestartTicks = std::uint32_t{1} << 31;

  // An events_ entry, one per tick of the ring: bit kStarts + l for a lane
  // whose run starts (its head is loaded before the steps), bit kEnds + l
  // for one whose run ends (its head is stored after them). A run's steps
  // take consecutive ticks of its lane, so the lanes with a step are those
  // between a start and its end: execute_tick keeps them in busy_, and
  // booking a step writes its cell alone.
  static constexpr int kStarts = 0;
  static constexpr int kEnds = 16;
  static constexpr std::uint32_t kLaneMask = (std::uint32_t{1} << kLanes) - 1;
  static_assert(kStarts + kLanes <= kEnds && kEnds + kLanes <= 32);

  static std::uint32_t ring_slot(std::uint32_t tick) { return tick & (kRing - 1); }

  // ---- booking runs onto lanes and ticks ----

  // Schedules planned runs, in plan order, until every lane is booked
  // kBookAhead ticks ahead (or the ring is half full, or the plans stop).
  TARNWICK_LANES_INLINE void book() {
    for (;;) {
      const std::uint32_t earliest_free = least(free_ticks());
      if (earliest_free > now_ + kBookAhead || last_booked_ >= now_ + kRing / 2) return;
      PlannedRun* run = next_planned();
      if (run == nullptr) return;
      schedule(*run);
    }
  }

  PlannedRun* next_planned() {
    while (n_planned_ < kPlanAhead + 1 && !this->planner_.stopped()) {
      if (!this->planner_.plan(plans_[(first_planned_ + n_planned_) % (kPlanAhead + 1)])) break;
      ++n_planned_;
    }
    if (n_planned_ == 0) return nullptr;
    PlannedRun* run = &plans_[first_planned_];
    first_planned_ = (first_planned_ + 1) % (kPlanAhead + 1);
    --n_planned_;
    return run;
  }

  // Where a run goes: its lane, and the tick of its first step.
  struct Placement {
    std::uint32_t start;
    std::size_t lane;
  };

  // Places the run's steps at consecutive ticks from the earliest at which
  // every earlier run is done with each step's row: a read after the last
  // write, a write after the last read and write. Steps in one tick
  // therefore never share a row that one of them writes, and each sees
  // exactly what it would in plan order. Consecutive ticks keep the lane
  // busy: a run that waited mid-way would hold it idle.
  TARNWICK_LANES_INLINE void schedule(const PlannedRun& run) {
    const Placement at = place(earliest_start(run));
    book_steps(run, at);
    book_head(run, at);
  }

  // The earliest start tick: step k runs at start + k, so the start is at
  // least each step's earliest tick less k. The head row is loaded at the
  // start, after its last write, and stored at the run's last tick, no
  // earlier than its last read (see book_head). Every bound is computed
  // plus n_steps, which keeps it from wrapping below 0. Eight steps at a
  // time, their row ticks gathered: one by one, this loop took a sixth of
  // the booking's instructions.
  TARNWICK_LANES_INLINE std::uint32_t earliest_start(const PlannedRun& run) const {
    static_assert(sizeof(RowTicks) == 8 && offsetof(RowTicks, written) == 0 && offsetof(RowTicks, read) == 4);
    static_assert(PlannedRun::kAttract == 1, "the mask is the attraction bit spread");
    const RowTicks& head = rows_[run.head_row];
    const std::uint32_t n_steps = run.n_steps;
    const std::uint32_t latest = std::max(head.read + 1, std::max(now_, head.written + 1) + n_steps);
    const auto* const ticks = reinterpret_cast<const long long*>(rows_);
    const __m256i one = _mm256_set1_epi32(1);
    // n_steps - k for step k in each lane; at most 0 past the run.
    __m256i to_end =
        _mm256_sub_epi32(_mm256_set1_epi32(static_cast<int>(n_steps)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    __m256i most = _mm256_setzero_si256();
    for (std::uint32_t k = 0; k < n_steps; k += 8) {
      const __m256i in_run = _mm256_cmpgt_epi32(to_end, _mm256_setzero_si256());
      const __m256i step = _mm256_maskload_epi32(reinterpret_cast<const int*>(run.steps + k), in_run);
      // Rows 0, 1, 4, 5 and 2, 3, 6, 7, so that the two gathers' halves
      // interleave back into step order; lanes past the run read row 0.
      const __m256i row = _mm256_permute4x64_epi64(_mm256_srli_epi32(step, 1), _MM_SHUFFLE(3, 1, 2, 0));
      const __m256 first = _mm256_castsi256_ps(_mm256_i32gather_epi64(ticks, _mm256_castsi256_si128(row), 8));
      const __m256 second = _mm256_castsi256_ps(_mm256_i32gather_epi64(ticks, _mm256_extracti128_si256(row, 1), 8));
      const __m256i written = _mm256_castps_si256(_mm256_shuffle_ps(first, second, _MM_SHUFFLE(2, 0, 2, 0)));
      const __m256i read = _mm256_castps_si256(_mm256_shuffle_ps(first, second, _MM_SHUFFLE(3, 1, 3, 1)));
      // A step's earliest tick: after the last write of its row, and for an
      // attraction (which writes it) after the last read as well.
      const __m256i attracts = _mm256_srai_epi32(_mm256_slli_epi32(step, 31), 31);
      const __m256i after = _mm256_max_epu32(_mm256_add_epi32(written, one),
                                             _mm256_and_si256(_mm256_add_epi32(read, one), attracts));
      most = _mm256_max_epu32(most, _mm256_and_si256(_mm256_add_epi32(after, to_end), in_run));
      to_end = _mm256_sub_epi32(to_end, _mm256_set1_epi32(8));
    }
    return std::max(latest, greatest(most)) - n_steps;
  }

  // Of the lanes free by `earliest`, the one that became free last, so that
  // the gap before the run costs the least; if none is free by then, the one
  // free first, and the run starts when it is free. Ties go to the lower
  // lane. Where runs are packed, the first group's lanes come first among
  // those free by `earliest`. All lanes at once: a branch per lane
  // followed the lanes' ticks and often mispredicted.
  TARNWICK_LANES_INLINE Placement place(std::uint32_t earliest) const {
    const __m256i free = free_ticks();
    // The free ticks of the lanes free by `earliest`, 0 for the others (a
    // lane is free from tick 1 on).
    const __m256i by = _mm256_and_si256(
        free, _mm256_cmpeq_epi32(_mm256_min_epu32(free, _mm256_set1_epi32(static_cast<int>(earliest))), free));
    if (packs_) {
      static_assert(kPackedLanes == 4);
      const __m256i packed = _mm256_and_si256(by, _mm256_setr_epi32(-1, -1, -1, -1, 0, 0, 0, 0));
      const std::uint32_t latest = greatest(packed);
      if (latest != 0) return {earliest, first_lane_at(packed, latest)};
    }
    const std::uint32_t latest = greatest(by);
    if (latest != 0) return {earliest, first_lane_at(by, latest)};
    const std::uint32_t soonest = least(free);
    return {soonest, first_lane_at(free, soonest)};
  }

  TARNWICK_LANES_INLINE __m256i free_ticks() const {
    static_assert(kLanes == 8, "a lane a 32-bit element");
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(lane_free_));
  }

  // The greatest and least of eight ticks, and the first lane holding `tick`.
  TARNWICK_LANES_INLINE static std::uint32_t greatest(__m256i v) {
    __m128i m = _mm_max_epu32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    m = _mm_max_epu32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm_max_epu32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(m));
  }
  TARNWICK_LANES_INLINE static std::uint32_t least(__m256i v) {
    __m128i m = _mm_min_epu32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    m = _mm_min_epu32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm_min_epu32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(m));
  }
  TARNWICK_LANES_INLINE static std::size_t first_lane_at(__m256i v, std::uint32_t tick) {
    const __m256i at = _mm256_cmpeq_epi32(v, _mm256_set1_epi32(static_cast<int>(tick)));
    return static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(at)))));
  }

  // Step k goes to the lane at tick start + k, and its row's tick moves up
  // to it. An attraction's tick is past the row's last write and read; a
  // sample's is past the last write but perhaps not past the last read (by
  // an earlier run at a later tick): the maximum serves both.
  [[gnu::always_inline]] void book_steps(const PlannedRun& run, Placement at) {
    RowTicks* const rows = rows_;
    const std::uint32_t n_steps = run.n_steps;
    for (std::uint32_t k = 0; k < n_steps; ++k) {
      const std::uint32_t step = run.steps[k];
      RowTicks& row = rows[PlannedRun::row_of(step)];
      std::uint32_t& mark = PlannedRun::attracts(step) ? row.written : row.read;
      const std::uint32_t t = at.start + k;
      mark = std::max(mark, t);
      cells_[ring_slot(t)][at.lane] = step;
    }
  }

  // The head row lives in the lane from the run's first tick to its last:
  // loaded before that first tick's steps, stored after the last tick's.
  // Its last tick may be the very tick of an earlier run's last read of the
  // row (earliest_start allows it), which is sound only because execute_tick
  // stores the heads of ending runs after every step of the tick has read
  // its rows. The head's write tick becomes the run's last (the start is
  // past its last write, so this only raises it).
  [[gnu::always_inline]] void book_head(const PlannedRun& run, Placement at) {
    const std::uint32_t head = run.head_row;
    const std::uint32_t lane_bit = std::uint32_t{1} << at.lane;
    const std::uint32_t end = at.start + run.n_steps - 1;
    rows_[head].written = end;
    events_[ring_slot(at.start)] |= lane_bit << kStarts;
    heads_[ring_slot(at.start)][at.lane] = head;
    events_[ring_slot(end)] |= lane_bit << kEnds;
    lane_free_[at.lane] = end + 1;
    last_booked_ = std::max(last_booked_, end);
  }

  void restart_ticks() {
    std::memset(static_cast<void*>(rows_), 0, n_rows_ * sizeof(RowTicks));
    now_ = 1;
    last_booked_ = 0;
    for (std::size_t l = 0; l < kLanes; ++l) lane_free_[l] = 1;
  }

  // ---- running the schedule ----

  // Heads of runs starting now are loaded, every booked step runs, and heads
  // of runs ending now are stored, in that order (book_head relies on it).
  TARNWICK_LANES_INLINE void execute_tick(Heads& heads) {
    const std::uint32_t slot = ring_slot(now_);
    const std::uint32_t events = events_[slot];
    ++now_;
    if ((events | busy_) == 0) return;
    double* const x = this->state_.x;
    const std::uint32_t starts = (events >> kStarts) & kLaneMask;
    const std::uint32_t in_lanes = busy_ | starts;
    const std::uint32_t ends = (events >> kEnds) & kLaneMask;
    busy_ = in_lanes & ~ends;
    if (in_lanes != 0) {
      for (std::uint32_t s = starts; s != 0; s &= s - 1) {
        const auto l = static_cast<std::size_t>(__builtin_ctz(s));
        const std::uint32_t head = heads_[slot][l];
        lane_head_[l] = head;
        this->enter_head(heads, l, x + static_cast<std::size_t>(head) * kDim);
      }
      // Lane q of group g gets bit 4g + q of in_lanes as its sign bit.
      __m256d active[kGroups];
#pragma GCC unroll 4
      for (std::size_t g = 0; g < kGroups; ++g) {
        active[g] = _mm256_castsi256_pd(_mm256_slli_epi64(
            _mm256_srlv_epi64(_mm256_set1_epi64x((in_lanes >> (4 * g)) & 0xf), _mm256_set_epi64x(3, 2, 1, 0)),
            63));
      }
      step_groups(cells_[slot], active, in_lanes, heads);
    }
    if (ends != 0) this->store_heads(heads);
    for (std::uint32_t s = ends; s != 0; s &= s - 1) {
      const auto l = static_cast<std::size_t>(__builtin_ctz(s));
      this->leave_head(l, x + static_cast<std::size_t>(lane_head_[l]) * kDim);
    }
    events_[slot] = 0;
    for (std::size_t l = 0; l < kLanes; ++l) cells_[slot][l] = kIdleStep;
  }

  // The tick's steps; only the first group's where lanes crowd and the
  // others are idle.
  TARNWICK_LANES_INLINE void step_groups(const std::uint32_t* cells, const __m256d (&active)[kGroups],
                                         std::uint32_t in_lanes, Heads& heads) {
    if constexpr (kPackable) {
      if (packs_ && (in_lanes >> kPackedLanes) == 0) {
        this->template step_lanes<1>(cells, reinterpret_cast<const __m256d(&)[1]>(active), heads);
        return;
      }
    }
    this->step_lanes(cells, active, heads);
  }

  // ---- state ----

  RowTicks* const rows_;
  const std::size_t n_rows_;
  // Whether runs go to the first group's lanes first (where lanes crowd).
  const bool packs_;

  // The tick to execute next, and the last one anything is booked at.
  std::uint32_t now_ = 1;
  std::uint32_t last_booked_ = 0;
  static_assert(kLanes == 8, "one 1 per lane below");
  alignas(32) std::uint32_t lane_free_[kLanes] = {1, 1, 1, 1, 1, 1, 1, 1};

  // Per tick of the ring: each lane's step, the head row of a run starting
  // there, and the events. Zeroed cells hold kIdleStep.
  static_assert(kIdleStep == 0);
  std::uint32_t cells_[kRing][kLanes] = {};
  std::uint32_t heads_[kRing][kLanes];
  std::uint32_t events_[kRing] = {};
  // The lanes in a run after the last executed tick.
  std::uint32_t busy_ = 0;

  // The head row of the run in each lane.
  std::uint32_t lane_head_[kLanes] = {};

  PlannedRun plans_[kPlanAhead + 1];
  std::size_t first_planned_ = 0;
  std::size_t n_planned_ = 0;
};

#endif  // __x86_64__

}  // namespace
}  // namespace tarnwick::layout
