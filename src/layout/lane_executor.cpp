// The epoch loop with eight lanes, four to a vector register. The planner
// turns the due edges into runs (consecutive edges sharing a head, with
// their samples drawn); each run is booked onto one lane for consecutive
// ticks, one step (an attraction or a repulsion) per tick.
//
// Steps of different runs commute unless they share a row that one of them
// writes. Every step's rows are known when its run is planned, since the
// schedule and the draws do not depend on the embedding, so each run is
// booked at the first ticks at which every earlier run is done with its
// rows (kept per row as the last tick that writes it and the last that
// reads it): later runs pass earlier ones wherever their rows allow, and
// the result is bit for bit that of the sequential order. Each lane
// performs exactly the operations of the scalar code, in the same order;
// lanes without a step compute garbage that is never written.
#include "layout/lane_executor.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "layout/run_planner.h"
#include "support/cpu_features.h"
#include "support/exact_pow.h"
#include "support/interrupt.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tarnwick::layout {

#if defined(__x86_64__)
namespace {

#define TARNWICK_LANES [[gnu::target("avx2,fma")]]
#define TARNWICK_LANES_INLINE [[gnu::target("avx2,fma"), gnu::always_inline]] inline

// ---- rows to lanes and back ------------------------------------------------

// Four rows of four coordinates become four vectors of one coordinate of
// each row, and back: the transpose is its own inverse.
TARNWICK_LANES_INLINE void transpose4(__m256d& r0, __m256d& r1, __m256d& r2, __m256d& r3) {
  const __m256d t0 = _mm256_unpacklo_pd(r0, r1);
  const __m256d t1 = _mm256_unpackhi_pd(r0, r1);
  const __m256d t2 = _mm256_unpacklo_pd(r2, r3);
  const __m256d t3 = _mm256_unpackhi_pd(r2, r3);
  r0 = _mm256_permute2f128_pd(t0, t2, 0x20);
  r1 = _mm256_permute2f128_pd(t1, t3, 0x20);
  r2 = _mm256_permute2f128_pd(t0, t2, 0x31);
  r3 = _mm256_permute2f128_pd(t1, t3, 0x31);
}

// Rows are taken in chunks: four coordinates while four remain, then two,
// then one. Only the rows' own coordinates are read or written.
template <std::size_t kDim, std::size_t kD0>
inline constexpr std::size_t kChunk = kDim - kD0 >= 4 ? 4 : (kDim - kD0 >= 2 ? 2 : 1);

// out[i] holds coordinate kD0 + i of the four rows, lane q from rows[q].
template <std::size_t kD0, std::size_t kWidth>
TARNWICK_LANES_INLINE void gather_chunk(const double* const (&rows)[4], __m256d (&out)[kWidth]) {
  if constexpr (kWidth == 4) {
    out[0] = _mm256_loadu_pd(rows[0] + kD0);
    out[1] = _mm256_loadu_pd(rows[1] + kD0);
    out[2] = _mm256_loadu_pd(rows[2] + kD0);
    out[3] = _mm256_loadu_pd(rows[3] + kD0);
    transpose4(out[0], out[1], out[2], out[3]);
  } else if constexpr (kWidth == 2) {
    const __m256d even = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(rows[0] + kD0)),
                                              _mm_loadu_pd(rows[2] + kD0), 1);
    const __m256d odd = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(rows[1] + kD0)),
                                             _mm_loadu_pd(rows[3] + kD0), 1);
    out[0] = _mm256_unpacklo_pd(even, odd);
    out[1] = _mm256_unpackhi_pd(even, odd);
  } else {
    out[0] = _mm256_set_pd(rows[3][kD0], rows[2][kD0], rows[1][kD0], rows[0][kD0]);
  }
}

template <std::size_t kD0, std::size_t kWidth>
TARNWICK_LANES_INLINE void scatter_chunk(double* const (&rows)[4], const __m256d (&in)[kWidth]) {
  if constexpr (kWidth == 4) {
    __m256d r0 = in[0], r1 = in[1], r2 = in[2], r3 = in[3];
    transpose4(r0, r1, r2, r3);
    _mm256_storeu_pd(rows[0] + kD0, r0);
    _mm256_storeu_pd(rows[1] + kD0, r1);
    _mm256_storeu_pd(rows[2] + kD0, r2);
    _mm256_storeu_pd(rows[3] + kD0, r3);
  } else if constexpr (kWidth == 2) {
    const __m256d even = _mm256_unpacklo_pd(in[0], in[1]);
    const __m256d odd = _mm256_unpackhi_pd(in[0], in[1]);
    _mm_storeu_pd(rows[0] + kD0, _mm256_castpd256_pd128(even));
    _mm_storeu_pd(rows[2] + kD0, _mm256_extractf128_pd(even, 1));
    _mm_storeu_pd(rows[1] + kD0, _mm256_castpd256_pd128(odd));
    _mm_storeu_pd(rows[3] + kD0, _mm256_extractf128_pd(odd, 1));
  } else {
    const __m128d low = _mm256_castpd256_pd128(in[0]);
    const __m128d high = _mm256_extractf128_pd(in[0], 1);
    _mm_store_sd(rows[0] + kD0, low);
    _mm_storeh_pd(rows[1] + kD0, low);
    _mm_store_sd(rows[2] + kD0, high);
    _mm_storeh_pd(rows[3] + kD0, high);
  }
}

// Whole rows of up to four coordinates.
template <std::size_t kDim, std::size_t kD0 = 0>
TARNWICK_LANES_INLINE void gather_rows(const double* const (&rows)[4], __m256d (&out)[kDim]) {
  if constexpr (kD0 < kDim) {
    constexpr std::size_t kWidth = kChunk<kDim, kD0>;
    __m256d part[kWidth];
    gather_chunk<kD0, kWidth>(rows, part);
    for (std::size_t i = 0; i < kWidth; ++i) out[kD0 + i] = part[i];
    gather_rows<kDim, kD0 + kWidth>(rows, out);
  }
}

template <std::size_t kDim, std::size_t kD0 = 0>
TARNWICK_LANES_INLINE void scatter_rows(double* const (&rows)[4], const __m256d (&in)[kDim]) {
  if constexpr (kD0 < kDim) {
    constexpr std::size_t kWidth = kChunk<kDim, kD0>;
    __m256d part[kWidth];
    for (std::size_t i = 0; i < kWidth; ++i) part[i] = in[kD0 + i];
    scatter_chunk<kD0, kWidth>(rows, part);
    scatter_rows<kDim, kD0 + kWidth>(rows, in);
  }
}

// clip, lane by lane: max and min return their second operand when one is
// NaN, which is what clip's selects do.
TARNWICK_LANES_INLINE __m256d clip4(__m256d g) {
  return _mm256_min_pd(_mm256_set1_pd(4.0), _mm256_max_pd(_mm256_set1_pd(-4.0), g));
}

// pow lane by lane through the C library, for when the vector pow is off.
[[gnu::noinline]] void library_powers(const double* x, double b, double b_minus_one, bool pair, double* pb,
                                      double* pb1) {
  for (std::size_t q = 0; q < 4; ++q) {
    pb[q] = std::pow(x[q], b);
    if (pair) pb1[q] = std::pow(x[q], b_minus_one);
  }
}

// ---- the sample stream, four draws at a time ------------------------------

// 64-bit products from AVX2's 32-bit ones; b_lo and b_hi hold b's halves
// in the low 32 bits of each lane.
TARNWICK_LANES_INLINE __m256i mul_low64(__m256i a, __m256i b_lo, __m256i b_hi) {
  const __m256i cross = _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(a, 32), b_lo),
                                         _mm256_mul_epu32(a, b_hi));
  return _mm256_add_epi64(_mm256_mul_epu32(a, b_lo), _mm256_slli_epi64(cross, 32));
}

TARNWICK_LANES_INLINE __m256i mul_high64(__m256i a, __m256i b_lo, __m256i b_hi) {
  const __m256i a_hi = _mm256_srli_epi64(a, 32);
  const __m256i ll = _mm256_mul_epu32(a, b_lo);
  const __m256i lh = _mm256_mul_epu32(a, b_hi);
  const __m256i hl = _mm256_mul_epu32(a_hi, b_lo);
  const __m256i hh = _mm256_mul_epu32(a_hi, b_hi);
  const __m256i low32 = _mm256_set1_epi64x(0xffffffff);
  const __m256i mid = _mm256_add_epi64(
      _mm256_add_epi64(_mm256_srli_epi64(ll, 32), _mm256_and_si256(lh, low32)), _mm256_and_si256(hl, low32));
  return _mm256_add_epi64(_mm256_add_epi64(hh, _mm256_srli_epi64(lh, 32)),
                          _mm256_add_epi64(_mm256_srli_epi64(hl, 32), _mm256_srli_epi64(mid, 32)));
}

TARNWICK_LANES_INLINE void halves(std::uint64_t v, __m256i& lo, __m256i& hi) {
  lo = _mm256_set1_epi64x(static_cast<long long>(v & 0xffffffff));
  hi = _mm256_set1_epi64x(static_cast<long long>(v >> 32));
}

// draw_indices, four lanes at a time: the generator's k-th state is its
// start plus k times its increment, so four consecutive draws are
// independent. Each lane performs the scalar integer operations exactly.
TARNWICK_LANES void draw_indices4(SplitMix64& rng, const Remainder& remainder, std::size_t count,
                                  std::uint64_t* out) {
  const std::uint64_t d = remainder.divisor();
  if (d < 2) {  // the remainder's shifts differ; every index is 0 anyway
    draw_indices(rng, remainder, count, out);
    return;
  }
  __m256i mix1_lo, mix1_hi, mix2_lo, mix2_hi, magic_lo, magic_hi, d_lo, d_hi;
  halves(0xbf58476d1ce4e5b9ULL, mix1_lo, mix1_hi);
  halves(0x94d049bb133111ebULL, mix2_lo, mix2_hi);
  halves(remainder.magic(), magic_lo, magic_hi);
  halves(d, d_lo, d_hi);
  const __m128i shift = _mm_cvtsi32_si128(remainder.final_shift());
  constexpr std::uint64_t kGamma = SplitMix64::kGoldenGamma;
  const std::uint64_t start = rng.state();
  __m256i state = _mm256_set_epi64x(static_cast<long long>(start + 4 * kGamma),
                                    static_cast<long long>(start + 3 * kGamma),
                                    static_cast<long long>(start + 2 * kGamma),
                                    static_cast<long long>(start + kGamma));
  const __m256i step = _mm256_set1_epi64x(static_cast<long long>(4 * kGamma));
  for (std::size_t k = 0; k < count; k += 4) {
    __m256i z = state;
    state = _mm256_add_epi64(state, step);
    z = mul_low64(_mm256_xor_si256(z, _mm256_srli_epi64(z, 30)), mix1_lo, mix1_hi);
    z = mul_low64(_mm256_xor_si256(z, _mm256_srli_epi64(z, 27)), mix2_lo, mix2_hi);
    z = _mm256_xor_si256(z, _mm256_srli_epi64(z, 31));
    // Remainder::of with the first shift 1.
    const __m256i t1 = mul_high64(z, magic_lo, magic_hi);
    const __m256i q =
        _mm256_srl_epi64(_mm256_add_epi64(t1, _mm256_srli_epi64(_mm256_sub_epi64(z, t1), 1)), shift);
    const __m256i r = _mm256_sub_epi64(z, mul_low64(q, d_lo, d_hi));
    if (count - k >= 4) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), r);
    } else {
      alignas(32) std::uint64_t last[4];
      _mm256_store_si256(reinterpret_cast<__m256i*>(last), r);
      for (std::size_t q2 = 0; q2 < count - k; ++q2) out[k + q2] = last[q2];
    }
  }
  rng = SplitMix64(start + count * kGamma);
}

// ---- the executor ----------------------------------------------------------

// Lanes are booked this many ticks ahead before a tick runs, so that later
// runs whose rows are free can still take a lane at it.
inline constexpr std::uint32_t kBookAhead = 16;

// Rows and row ticks up to this size stay in the second-level cache: the
// planner does not fetch them ahead.
inline constexpr std::size_t kCachedBytes = 256 * 1024;

template <std::size_t kDim, bool kUnitB>
class LaneExecutor {
 public:
  static constexpr std::size_t kLanes = 8;
  static constexpr std::size_t kGroups = kLanes / 4;
  // Runs planned before they are scheduled, so that their rows and row
  // ticks arrive in time.
  static constexpr std::size_t kPlanAhead = 4;

  // row_ticks: zeroed, one entry per vertex.
  LaneExecutor(EpochState& state, RowTicks* row_ticks, bool vector_pow)
      : state_(state),
        planner_(state, row_ticks, &draw_indices4,
                 state.n_vertices * (kDim * sizeof(double) + sizeof(RowTicks)) > kCachedBytes),
        rows_(row_ticks),
        n_rows_(state.n_vertices),
        vector_pow_(vector_pow) {}

  TARNWICK_LANES void run_epoch() {
    planner_.begin_epoch();
    for (;;) {
      if (now_ > kRestartTicks) [[unlikely]] {
        // Long before ticks could wrap: run what is booked, start again at 1.
        while (now_ <= last_booked_) execute_tick();
        restart_ticks();
      }
      book();
      if (now_ > last_booked_) {
        // Nothing planned or in the schedule: the plans stopped at an edge
        // that needs the checked path, or at the end of the epoch.
        const std::size_t i = planner_.stop_edge();
        if (i >= state_.edges.n_edges) return;
        state_.template process_edge<kUnitB>(i);
        planner_.resume_after(i);
        if (++checked_since_poll_ == kTicksPerPoll) {
          checked_since_poll_ = 0;
          poll_interrupt();
        }
        continue;
      }
      execute_tick();
      // Stopping here leaves nothing the caller keeps: the embedding is a copy.
      if ((now_ & (kTicksPerPoll - 1)) == 0) poll_interrupt();
    }
  }

 private:
  // A poll reads the clock; some thousands of steps lie between two (or as
  // many edges of the checked path).
  static constexpr std::uint32_t kTicksPerPoll = 1024;
  // Rows up to this width are held in registers through a step.
  static constexpr std::size_t kHeldDim = 4;
  // The schedule's ticks to come, a ring. Runs are booked only while the
  // last booked tick is less than half a ring ahead, and a run ends at most
  // kMaxSteps ticks after the last booked one.
  static constexpr std::uint32_t kRing = 1024;
  static_assert(kRing / 2 + PlannedRun::kMaxSteps + 1 < kRing && (kRing & (kRing - 1)) == 0);
  static constexpr std::uint32_t kRestartTicks = std::uint32_t{1} << 31;
  static constexpr std::uint32_t kLaneMask = (std::uint32_t{1} << kLanes) - 1;
  static_assert(kLanes <= 16);

  // ---- booking runs onto lanes and ticks ----

  // Schedules planned runs, in plan order, until every lane is booked
  // kBookAhead ticks ahead (or the ring is half full, or the plans stop).
  void book() {
    for (;;) {
      std::uint32_t earliest_free = lane_free_[0];
      for (std::size_t l = 1; l < kLanes; ++l) earliest_free = std::min(earliest_free, lane_free_[l]);
      if (earliest_free > now_ + kBookAhead || last_booked_ >= now_ + kRing / 2) return;
      PlannedRun* run = next_planned();
      if (run == nullptr) return;
      schedule(*run);
    }
  }

  PlannedRun* next_planned() {
    while (n_planned_ < kPlanAhead + 1 && !planner_.stopped()) {
      if (!planner_.plan(plans_[(first_planned_ + n_planned_) % (kPlanAhead + 1)])) break;
      ++n_planned_;
    }
    if (n_planned_ == 0) return nullptr;
    PlannedRun* run = &plans_[first_planned_];
    first_planned_ = (first_planned_ + 1) % (kPlanAhead + 1);
    --n_planned_;
    return run;
  }

  // Places the run's steps at consecutive ticks from the earliest at which
  // every earlier run is done with each step's row: a read after the last
  // write, a write after the last read and write. The head row is read when
  // the run starts and written when it ends, after the last read of it by an
  // earlier run; in between it lives in the lane. Steps in one tick
  // therefore never share a row that one of them writes, and each sees
  // exactly what it would in plan order. Consecutive ticks keep the lane
  // busy: a run that waited mid-way would hold it idle.
  void schedule(const PlannedRun& run) {
    const std::uint32_t head = run.head_row;
    RowTicks* const rows = rows_;
    const std::uint32_t n_steps = run.n_steps;
    // The start tick: each step k at or after its row's tick, less k (plus
    // n_steps, which keeps it from wrapping below 0).
    std::uint32_t latest = std::max(rows[head].read + 1, std::max(now_, rows[head].written + 1) + n_steps);
    for (std::uint32_t k = 0; k < n_steps; ++k) {
      const std::uint32_t step = run.steps[k];
      latest = std::max(latest, earliest_for(step, rows[PlannedRun::row_of(step)]) + (n_steps - k));
    }
    std::uint32_t start = latest - n_steps;
    // The lane that became free last by then, so that a gap before the run
    // costs the least; else the one free first.
    std::size_t lane = kLanes;
    std::size_t soonest = 0;
    for (std::size_t l = 0; l < kLanes; ++l) {
      const std::uint32_t f = lane_free_[l];
      if (f <= start && (lane == kLanes || f > lane_free_[lane])) lane = l;
      if (f < lane_free_[soonest]) soonest = l;
    }
    if (lane == kLanes) {
      lane = soonest;
      start = lane_free_[lane];
    }
    const std::uint64_t lane_bit = std::uint64_t{1} << lane;
    for (std::uint32_t k = 0; k < n_steps; ++k) {
      const std::uint32_t step = run.steps[k];
      // An attraction's tick is past the row's last write, a sample's
      // perhaps not past its last read: the maximum serves both.
      std::uint32_t& mark = PlannedRun::attracts(step) ? rows[PlannedRun::row_of(step)].written
                                                       : rows[PlannedRun::row_of(step)].read;
      const std::uint32_t t = start + k;
      mark = std::max(mark, t);
      const std::uint32_t slot = t & (kRing - 1);
      cells_[slot][lane] = step;
      events_[slot] |= lane_bit;
    }
    const std::uint32_t end = start + n_steps - 1;
    rows[head].written = end;
    events_[start & (kRing - 1)] |= lane_bit << kStarts;
    heads_[start & (kRing - 1)][lane] = head;
    events_[end & (kRing - 1)] |= lane_bit << kEnds;
    lane_free_[lane] = end + 1;
    last_booked_ = std::max(last_booked_, end);
  }

  static std::uint32_t earliest_for(std::uint32_t step, const RowTicks& row) {
    const std::uint32_t after_write = row.written + 1;
    return PlannedRun::attracts(step) ? std::max(after_write, row.read + 1) : after_write;
  }

  void restart_ticks() {
    std::memset(static_cast<void*>(rows_), 0, n_rows_ * sizeof(RowTicks));
    now_ = 1;
    last_booked_ = 0;
    for (std::size_t l = 0; l < kLanes; ++l) lane_free_[l] = 1;
  }

  // ---- running the schedule ----

  // Heads of runs starting now are loaded, every booked step runs, and heads
  // of runs ending now are stored, in that order.
  TARNWICK_LANES void execute_tick() {
    const std::uint32_t slot = now_ & (kRing - 1);
    const std::uint64_t events = events_[slot];
    ++now_;
    if (events == 0) return;
    double* const x = state_.x;
    for (std::uint64_t s = (events >> kStarts) & kLaneMask; s != 0; s &= s - 1) {
      const auto l = static_cast<std::size_t>(__builtin_ctzll(s));
      const std::uint32_t head = heads_[slot][l];
      lane_head_[l] = head;
      const double* xj = x + static_cast<std::size_t>(head) * kDim;
      for (std::size_t d = 0; d < kDim; ++d) head_[d][l] = xj[d];
    }
    const auto active = static_cast<std::uint32_t>(events & kLaneMask);
#pragma GCC unroll 4
    for (std::size_t g = 0; g < kGroups; ++g) {
      const std::uint32_t in_group = (active >> (4 * g)) & 0xf;
      if (in_group != 0) step_group(g, cells_[slot], in_group);
    }
    for (std::uint64_t s = (events >> kEnds) & kLaneMask; s != 0; s &= s - 1) {
      const auto l = static_cast<std::size_t>(__builtin_ctzll(s));
      double* xj = x + static_cast<std::size_t>(lane_head_[l]) * kDim;
      for (std::size_t d = 0; d < kDim; ++d) xj[d] = head_[d][l];
    }
    events_[slot] = 0;
    for (std::size_t l = 0; l < kLanes; ++l) cells_[slot][l] = kIdleStep;
  }

  // The booked steps of lanes 4g..4g+3, each as the scalar code performs
  // it. A lane without a step (idle, or its run waiting for a row) computes
  // on row 0 and writes nothing.
  TARNWICK_LANES_INLINE void step_group(std::size_t g, const std::uint32_t (&cells)[kLanes], std::uint32_t in_group) {
    const std::size_t l0 = 4 * g;
    double* const x = state_.x;
    const double* rows[4];
    double* writes[4];
    std::uint32_t step[4];
#pragma GCC unroll 4
    for (std::size_t q = 0; q < 4; ++q) {
      const std::size_t l = l0 + q;
      step[q] = cells[l];
      double* row = x + static_cast<std::size_t>(PlannedRun::row_of(step[q])) * kDim;
      rows[q] = row;
      // Only an attraction writes its row; the others write scratch.
      writes[q] = PlannedRun::attracts(step[q]) ? row : scratch_[l];
    }
    // Masks are read by their sign bits.
    const __m256d attract = _mm256_castsi256_pd(
        _mm256_slli_epi64(_mm256_set_epi64x(step[3], step[2], step[1], step[0]), 63));
    const __m256d active = _mm256_castsi256_pd(
        _mm256_slli_epi64(_mm256_srlv_epi64(_mm256_set1_epi64x(in_group), _mm256_set_epi64x(3, 2, 1, 0)), 63));

    if constexpr (kDim <= kHeldDim) {
      // The rows stay in registers from the distance to the update.
      __m256d other[kDim], head[kDim], diff[kDim];
      gather_rows<kDim>(rows, other);
#pragma GCC unroll 4
      for (std::size_t d = 0; d < kDim; ++d) {
        head[d] = _mm256_load_pd(&head_[d][l0]);
        diff[d] = _mm256_sub_pd(head[d], other[d]);
      }
      // 0.0 + d0 * d0 is d0 * d0 exactly: a square is never -0.0.
      __m256d s = _mm256_mul_pd(diff[0], diff[0]);
#pragma GCC unroll 4
      for (std::size_t d = 1; d < kDim; ++d) s = _mm256_add_pd(s, _mm256_mul_pd(diff[d], diff[d]));
      __m256d c, pushed;
      coefficient(s, attract, active, c, pushed);
      if (_mm256_movemask_pd(pushed) == 0) [[likely]] {
        update<false>(l0, c, diff, head, other, pushed, active);
      } else {
        update<true>(l0, c, diff, head, other, pushed, active);
      }
      scatter_rows<kDim>(writes, other);
    } else {
      // Wider rows are read twice, a chunk at a time, rather than held
      // across pow, which would spill them: the differences come out the
      // same the second time, as nothing has written the rows in between.
      __m256d c, pushed;
      coefficient(squared_distance<0>(rows, l0, _mm256_setzero_pd()), attract, active, c, pushed);
      if (_mm256_movemask_pd(pushed) == 0) [[likely]] {
        update_in_chunks<0, false>(rows, writes, l0, rates(), c, pushed, active);
      } else {
        update_in_chunks<0, true>(rows, writes, l0, rates(), c, pushed, active);
      }
    }
  }

  // The coefficient c of each lane's step, and the lanes whose repulsion
  // pushes instead (distance 0 or NaN; their sign bit set).
  TARNWICK_LANES_INLINE void coefficient(__m256d s, __m256d attract, __m256d active, __m256d& c,
                                         __m256d& pushed) const {
    const __m256d positive = _mm256_cmp_pd(s, _mm256_setzero_pd(), _CMP_GT_OQ);
    const GradientConstants& k = consts();
    __m256d pow_b, pow_b_minus_one;
    if constexpr (kUnitB) {
      pow_b = s;
      pow_b_minus_one = _mm256_set1_pd(1.0);
    } else {
      powers(s, _mm256_and_pd(positive, active), attract, pow_b, pow_b_minus_one);
    }
    // attraction: (attract_factor * pow(s, b - 1)) / (a * pow(s, b) + 1)
    // repulsion:  repel_factor / ((s + 0.001) * (pow(s, b) * a + 1))
    const __m256d a = _mm256_set1_pd(k.a);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d attract_den = _mm256_add_pd(_mm256_mul_pd(a, pow_b), one);
    const __m256d repel_den = _mm256_mul_pd(_mm256_add_pd(s, _mm256_set1_pd(0.001)),
                                            _mm256_add_pd(_mm256_mul_pd(pow_b, a), one));
    const __m256d num = _mm256_blendv_pd(_mm256_set1_pd(k.repel_factor),
                                         _mm256_mul_pd(_mm256_set1_pd(k.attract_factor), pow_b_minus_one),
                                         attract);
    c = _mm256_div_pd(num, _mm256_blendv_pd(repel_den, attract_den, attract));
    // At distance 0 (or NaN) an attraction has coefficient 0 and a
    // repulsion pushes the head by a fixed amount instead (rare: a branch).
    c = _mm256_blendv_pd(c, _mm256_setzero_pd(), _mm256_andnot_pd(positive, attract));
    pushed = _mm256_andnot_pd(_mm256_or_pd(positive, attract), active);
  }

  // head += t and, for attractions, other -= t, with t = alpha * clip(c * diff).
  // A lane without a step keeps its head: its run may be waiting mid-way.
  template <bool kAnyPushed>
  TARNWICK_LANES_INLINE void update(std::size_t l0, __m256d c, const __m256d (&diff)[kDim],
                                    const __m256d (&head)[kDim], __m256d (&other)[kDim], __m256d pushed,
                                    __m256d active) {
    const Rates rates = this->rates();
#pragma GCC unroll 4
    for (std::size_t d = 0; d < kDim; ++d) {
      other[d] = update_coordinate<kAnyPushed>(d, l0, rates, c, diff[d], head[d], other[d], pushed, active);
    }
  }

  struct Rates {
    __m256d alpha, push;
  };
  TARNWICK_LANES_INLINE Rates rates() const {
    return {_mm256_set1_pd(state_.alpha), _mm256_set1_pd(state_.push)};
  }

  template <bool kAnyPushed>
  TARNWICK_LANES_INLINE __m256d update_coordinate(std::size_t d, std::size_t l0, const Rates& rates,
                                                  __m256d c, __m256d diff, __m256d head, __m256d other,
                                                  __m256d pushed, __m256d active) {
    const __m256d t = _mm256_mul_pd(rates.alpha, clip4(_mm256_mul_pd(c, diff)));
    __m256d h = _mm256_add_pd(head, t);
    if constexpr (kAnyPushed) h = _mm256_blendv_pd(h, _mm256_add_pd(rates.push, head), pushed);
    _mm256_store_pd(&head_[d][l0], _mm256_blendv_pd(head, h, active));
    return _mm256_sub_pd(other, t);
  }

  // The sum of squared differences from coordinate kD0 on, added in order.
  template <std::size_t kD0>
  TARNWICK_LANES_INLINE __m256d squared_distance(const double* const (&rows)[4], std::size_t l0,
                                                 __m256d s) const {
    if constexpr (kD0 < kDim) {
      constexpr std::size_t kWidth = kChunk<kDim, kD0>;
      __m256d other[kWidth];
      gather_chunk<kD0, kWidth>(rows, other);
      for (std::size_t i = 0; i < kWidth; ++i) {
        const __m256d diff = _mm256_sub_pd(_mm256_load_pd(&head_[kD0 + i][l0]), other[i]);
        const __m256d square = _mm256_mul_pd(diff, diff);
        s = kD0 + i == 0 ? square : _mm256_add_pd(s, square);  // 0.0 + d0 * d0 is d0 * d0
      }
      return squared_distance<kD0 + kWidth>(rows, l0, s);
    } else {
      return s;
    }
  }

  template <std::size_t kD0, bool kAnyPushed>
  TARNWICK_LANES_INLINE void update_in_chunks(const double* const (&rows)[4], double* const (&writes)[4],
                                              std::size_t l0, const Rates& rates, __m256d c, __m256d pushed,
                                              __m256d active) {
    if constexpr (kD0 < kDim) {
      constexpr std::size_t kWidth = kChunk<kDim, kD0>;
      __m256d other[kWidth];
      gather_chunk<kD0, kWidth>(rows, other);
      for (std::size_t i = 0; i < kWidth; ++i) {
        const __m256d head = _mm256_load_pd(&head_[kD0 + i][l0]);
        other[i] = update_coordinate<kAnyPushed>(kD0 + i, l0, rates, c, _mm256_sub_pd(head, other[i]), head,
                                                 other[i], pushed, active);
      }
      scatter_chunk<kD0, kWidth>(writes, other);
      update_in_chunks<kD0 + kWidth, kAnyPushed>(rows, writes, l0, rates, c, pushed, active);
    }
  }

  // pow(s, b) and pow(s, b - 1), the latter used where a lane attracts.
  // Lanes whose s is not used take x = 2, which needs no slow path. Both
  // powers share one log, and computing both every time beats a branch on
  // whether a lane attracts, which the processor cannot predict.
  TARNWICK_LANES_INLINE void powers(__m256d s, __m256d live, __m256d attract, __m256d& pow_b,
                                    __m256d& pow_b_minus_one) const {
    const GradientConstants& k = consts();
    const __m256d x = _mm256_blendv_pd(_mm256_set1_pd(2.0), s, live);
    if (vector_pow_) [[likely]] {
      pow_pair4(x, _mm256_set1_pd(k.b), _mm256_set1_pd(k.b_minus_one), pow_b, pow_b_minus_one);
    } else {
      alignas(32) double xs[4], r0[4], r1[4];
      _mm256_store_pd(xs, x);
      const bool pair = _mm256_movemask_pd(_mm256_and_pd(live, attract)) != 0;
      library_powers(xs, k.b, k.b_minus_one, pair, r0, r1);
      pow_b = _mm256_load_pd(r0);
      pow_b_minus_one = pair ? _mm256_load_pd(r1) : pow_b;  // else no lane uses it
    }
  }

  const GradientConstants& consts() const { return state_.consts; }

  // ---- state ----

  static constexpr std::uint32_t kIdleStep = 0;  // row 0, read: harmless
  // Bits of an events_ entry: lanes with a step, lanes whose run starts,
  // lanes whose run ends.
  static constexpr int kStarts = 16;
  static constexpr int kEnds = 32;

  EpochState& state_;
  RunPlanner planner_;
  RowTicks* const rows_;
  const std::size_t n_rows_;
  const bool vector_pow_;

  // The tick to execute next, and the last one anything is booked at.
  std::uint32_t now_ = 1;
  std::uint32_t last_booked_ = 0;
  std::uint32_t lane_free_[kLanes] = {1, 1, 1, 1, 1, 1, 1, 1};
  std::uint32_t checked_since_poll_ = 0;

  // Per tick of the ring: each lane's step, the head row of a run starting
  // there, and the events.
  std::uint32_t cells_[kRing][kLanes] = {};
  std::uint32_t heads_[kRing][kLanes];
  std::uint64_t events_[kRing] = {};

  // Lanes: the head row of the run in each, its coordinates.
  alignas(32) double head_[kDim][kLanes] = {};
  std::uint32_t lane_head_[kLanes] = {};
  double scratch_[kLanes][kDim];

  PlannedRun plans_[kPlanAhead + 1];
  std::size_t first_planned_ = 0;
  std::size_t n_planned_ = 0;
};

template <std::size_t kDim, bool kUnitB>
bool run_lanes(EpochState& state, std::uint64_t n_epochs, RowTicks* row_ticks) {
  using Executor = LaneExecutor<kDim, kUnitB>;
  std::unique_ptr<Executor> executor(
      new (std::nothrow) Executor(state, row_ticks, exact_pow_vector_enabled()));
  if (!executor) return false;
  for (std::uint64_t e = 0; e < n_epochs; ++e) {
    state.begin_epoch(e);
    executor->run_epoch();
  }
  return true;
}

using LaneRun = bool (*)(EpochState&, std::uint64_t, RowTicks*);

template <bool kUnitB, std::size_t... kDimLess1>
constexpr std::array<LaneRun, sizeof...(kDimLess1)> lane_runs(std::index_sequence<kDimLess1...>) {
  return {&run_lanes<kDimLess1 + 1, kUnitB>...};
}

constexpr auto kRunsGeneralB = lane_runs<false>(std::make_index_sequence<kMaxLaneDim>());
constexpr auto kRunsUnitB = lane_runs<true>(std::make_index_sequence<kMaxLaneDim>());

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

}  // namespace
#endif  // __x86_64__

bool run_epochs_in_lanes(EpochState& state, std::uint64_t n_epochs) {
#if defined(__x86_64__)
  if (!has_avx2_fma() || state.dim == 0 || state.dim > kMaxLaneDim ||
      state.n_vertices > RunPlanner::kMaxVertices) {
    return false;
  }
  // calloc: untouched pages cost nothing until a row is used.
  std::unique_ptr<RowTicks, FreeDeleter> row_ticks(
      static_cast<RowTicks*>(std::calloc(state.n_vertices == 0 ? 1 : state.n_vertices, sizeof(RowTicks))));
  if (!row_ticks) return false;
  const auto& runs = state.consts.b == 1.0 ? kRunsUnitB : kRunsGeneralB;
  return runs[state.dim - 1](state, n_epochs, row_ticks.get());
#else
  (void)state;
  (void)n_epochs;
  return false;
#endif
}

}  // namespace tarnwick::layout
