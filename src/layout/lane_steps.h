// The arithmetic of the lanes, shared by both schedulers: eight lanes, four
// to a vector register, each taking one step (an attraction or a repulsion
// of its run's head) per tick with exactly the scalar code's operations.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "layout/epoch_state.h"
#include "layout/lane_rows.h"
#include "layout/lane_target.h"
#include "layout/run_planner.h"
#include "support/exact_pow.h"

#if defined(__x86_64__)

namespace tarnwick::layout {
// Internal linkage (the lane headers are for lane_dispatch.cpp alone): GCC
// moves the rarely taken paths of a function out of its hot code only where
// the function is not shared between translation units.
namespace {

inline constexpr std::size_t kLanes = 8;
inline constexpr std::size_t kGroups = kLanes / 4;
static_assert(kLanes % 4 == 0, "lanes come in groups of four, one vector each");
// Whether a group takes pow(s, b - 1) only when one of its lanes attracts
// (about half the groups), else always: a branch the processor often
// mispredicts, which pays only where the lanes have AVX-512's registers
// (lanes_avx512.cpp sets it).
#ifndef TARNWICK_SECOND_POWER_WHERE_ATTRACTING
#define TARNWICK_SECOND_POWER_WHERE_ATTRACTING 0
#endif
inline constexpr bool kSecondPowerWhereAttracting = TARNWICK_SECOND_POWER_WHERE_ATTRACTING;
// The step of a lane without one: a read of row 0, harmless.
inline constexpr std::uint32_t kIdleStep = PlannedRun::repulsion(0);
static_assert(!PlannedRun::attracts(kIdleStep), "an idle lane must write nothing");

// clip, lane by lane: max and min return their second operand when one is
// NaN, which is what clip's selects do.
TARNWICK_LANES_INLINE __m256d clip4(__m256d g) {
  return _mm256_min_pd(_mm256_set1_pd(kClipBound), _mm256_max_pd(_mm256_set1_pd(-kClipBound), g));
}

// pow lane by lane through the C library, for when the vector pow is off.
[[gnu::noinline]] inline void library_powers(const double* x, double b, double b_minus_one, bool pair,
                                             double* pb, double* pb1) {
  for (std::size_t q = 0; q < 4; ++q) {
    pb[q] = std::pow(x[q], b);
    if (pair) pb1[q] = std::pow(x[q], b_minus_one);
  }
}

// The base of each scheduler: the rows of the runs' heads, held in the
// lanes, and one step of every lane at a time.
template <std::size_t kDim, bool kUnitB>
class LaneSteps {
 protected:
  LaneSteps(EpochState& state, bool vector_pow)
      : state_(state),
        vector_pow_(vector_pow),
        pow_bounds_(pair_log_bounds(state.consts.b, state.consts.b_minus_one)),
        bounded_pow_(vector_pow && pow_bounds_.lo < pow_bounds_.hi) {}

  // Rows up to this width are held in registers through a step.
  static constexpr std::size_t kHeldDim = 4;

  // The lanes' head rows while a scheduler steps them tick after tick:
  // rows up to kHeldDim wide stay in registers, so that a lane's next step
  // does not wait for its head to go through memory; wider ones stay in head_.
  struct Heads {
    __m256d v[kGroups][kDim <= kHeldDim ? kDim : 1];
  };
  TARNWICK_LANES_INLINE void load_heads(Heads& heads) const {
    if constexpr (kDim <= kHeldDim) {
      for (std::size_t g = 0; g < kGroups; ++g)
        for (std::size_t d = 0; d < kDim; ++d) heads.v[g][d] = _mm256_load_pd(&head_[d][4 * g]);
    }
  }
  TARNWICK_LANES_INLINE void store_heads(const Heads& heads) {
    if constexpr (kDim <= kHeldDim) {
      for (std::size_t g = 0; g < kGroups; ++g)
        for (std::size_t d = 0; d < kDim; ++d) _mm256_store_pd(&head_[d][4 * g], heads.v[g][d]);
    }
  }

  // Lane l's head becomes `row`: blended into the held rows, which stay in
  // registers from tick to tick, else written to head_.
  TARNWICK_LANES_INLINE void enter_head(Heads& heads, std::size_t l, const double* row) {
    if constexpr (kDim <= kHeldDim) {
      const __m256d lane = _mm256_castsi256_pd(_mm256_cmpeq_epi64(
          _mm256_set1_epi64x(static_cast<long long>(l % 4)), _mm256_set_epi64x(3, 2, 1, 0)));
#pragma GCC unroll 4
      for (std::size_t g = 0; g < kGroups; ++g) {
        if (l / 4 != g) continue;
#pragma GCC unroll 4
        for (std::size_t d = 0; d < kDim; ++d) {
          heads.v[g][d] = _mm256_blendv_pd(heads.v[g][d], _mm256_broadcast_sd(row + d), lane);
        }
      }
    } else {
      for (std::size_t d = 0; d < kDim; ++d) head_[d][l] = row[d];
    }
  }

  // Lane l's head, from head_, back to `row`, in the chunks the lanes read
  // rows in, so that a later step's read of the row is served by one store.
  TARNWICK_LANES_INLINE void leave_head(std::size_t l, double* row) const { store_column<kDim>(head_, l, row); }

  // One step of every lane (`cells`, lane by lane), each as the scalar code
  // performs it, with the heads in `heads`. A lane outside `active` (its
  // sign bits, a vector per group of four lanes) computes on its cell's row
  // and writes nothing.
  // Only the first kG groups step (the others, without an active lane,
  // keep their heads and write nothing).
  template <std::size_t kG = kGroups>
  TARNWICK_LANES_INLINE void step_lanes(const std::uint32_t* cells, const __m256d (&active)[kG], Heads& heads) {
    if (try_step_lanes<kG>(cells, active, heads)) [[likely]] return;
    __m256d all[kGroups];
    for (std::size_t g = 0; g < kGroups; ++g) all[g] = g < kG ? active[g] : _mm256_setzero_pd();
    store_heads(heads);
    step_lanes_out_of_line(cells, all);
    load_heads(heads);
  }

  // The common step, which calls nothing: a call in a loop of steps forces
  // the values held across it (constants, rows, heads) out of the vector
  // registers on every tick. False, with nothing written, for a step with
  // lanes for the library's pow or with exponents outside the vector pow's
  // range: step_lanes_out_of_line takes those.
  template <std::size_t kG>
  TARNWICK_LANES_INLINE bool try_step_lanes(const std::uint32_t* cells, const __m256d (&active)[kG],
                                            Heads& heads) {
    return (kUnitB || bounded_pow_) && step_lanes_as<true, kG>(cells, active, heads);
  }

  // Any step, with the heads in head_.
  [[gnu::noinline]] TARNWICK_LANES void step_lanes_out_of_line(const std::uint32_t* cells,
                                                               const __m256d (&active)[kGroups]) {
    Heads heads;
    load_heads(heads);
    step_lanes_as<false, kGroups>(cells, active, heads);
    store_heads(heads);
  }

  // The step, with the bounded vector pow and false (before anything is
  // written) where a lane needs the library, or with the pow that handles
  // every lane. A group's step is one long dependent chain; the groups go
  // through it phase by phase, side by side, since the processor overlaps
  // chains only that close together in the instruction stream.
  template <bool kBounded, std::size_t kG>
  TARNWICK_LANES_INLINE bool step_lanes_as(const std::uint32_t* cells, const __m256d (&active)[kG],
                                           Heads& heads) {
    double* const x = state_.x;
    const double* rows[kG][4];
    double* writes[kG][4];
    __m256d attract[kG];
#pragma GCC unroll 4
    for (std::size_t g = 0; g < kG; ++g) {
      std::uint32_t step[4];
#pragma GCC unroll 4
      for (std::size_t q = 0; q < 4; ++q) {
        step[q] = cells[4 * g + q];
        double* row = x + static_cast<std::size_t>(PlannedRun::row_of(step[q])) * kDim;
        rows[g][q] = row;
        // Only an attraction writes its row; the others write scratch.
        writes[g][q] = PlannedRun::attracts(step[q]) ? row : scratch_[4 * g + q];
      }
      // Masks are read by their sign bits: the attraction bit is bit 0.
      attract[g] = _mm256_castsi256_pd(
          _mm256_slli_epi64(_mm256_set_epi64x(step[3], step[2], step[1], step[0]), 63));
    }

    __m256d s[kG], c[kG], pushed[kG];
    if constexpr (kDim <= kHeldDim) {
      // The rows stay in registers from the distance to the update.
      __m256d other[kG][kDim], diff[kG][kDim];
#pragma GCC unroll 4
      for (std::size_t g = 0; g < kG; ++g) {
        gather_rows<kDim>(rows[g], other[g]);
#pragma GCC unroll 4
        for (std::size_t d = 0; d < kDim; ++d) diff[g][d] = _mm256_sub_pd(heads.v[g][d], other[g][d]);
        // 0.0 + d0 * d0 is d0 * d0 exactly: a square is never -0.0.
        s[g] = _mm256_mul_pd(diff[g][0], diff[g][0]);
#pragma GCC unroll 4
        for (std::size_t d = 1; d < kDim; ++d) {
          s[g] = _mm256_add_pd(s[g], _mm256_mul_pd(diff[g][d], diff[g][d]));
        }
      }
      if (!coefficients<kBounded, kG>(s, attract, active, c, pushed)) return false;
      const bool any_pushed = this->any(pushed);
#pragma GCC unroll 4
      for (std::size_t g = 0; g < kG; ++g) {
        if (!any_pushed) [[likely]] {
          update<false>(c[g], diff[g], heads.v[g], other[g], pushed[g], active[g]);
        } else {
          update<true>(c[g], diff[g], heads.v[g], other[g], pushed[g], active[g]);
        }
        scatter_rows<kDim>(writes[g], other[g]);
      }
    } else {
      // Wider rows are read twice, a chunk at a time, rather than held
      // across pow, which would spill them: the differences come out the
      // same the second time, as nothing has written the rows in between.
#pragma GCC unroll 4
      for (std::size_t g = 0; g < kG; ++g) {
        s[g] = squared_distance<0>(rows[g], 4 * g, _mm256_setzero_pd());
      }
      if (!coefficients<kBounded, kG>(s, attract, active, c, pushed)) return false;
      const bool any_pushed = this->any(pushed);
#pragma GCC unroll 4
      for (std::size_t g = 0; g < kG; ++g) {
        if (!any_pushed) [[likely]] {
          update_in_chunks<0, false>(rows[g], writes[g], 4 * g, rates(), c[g], pushed[g], active[g]);
        } else {
          update_in_chunks<0, true>(rows[g], writes[g], 4 * g, rates(), c[g], pushed[g], active[g]);
        }
      }
    }
    return true;
  }

  // Whether any lane's sign bit is set.
  template <std::size_t kG>
  TARNWICK_LANES_INLINE static bool any(const __m256d (&masks)[kG]) {
    __m256d all = masks[0];
#pragma GCC unroll 4
    for (std::size_t g = 1; g < kG; ++g) all = _mm256_or_pd(all, masks[g]);
    return _mm256_movemask_pd(all) != 0;
  }

  // The coefficient c of each lane's step, and the lanes whose repulsion
  // pushes instead (distance 0 or NaN; their sign bit set). False, with
  // nothing set, where the bounded pow leaves a lane to the library.
  template <bool kBounded, std::size_t kG>
  TARNWICK_LANES_INLINE bool coefficients(const __m256d (&s)[kG], const __m256d (&attract)[kG],
                                          const __m256d (&active)[kG], __m256d (&c)[kG],
                                          __m256d (&pushed)[kG]) const {
    __m256d positive[kG], pow_b[kG], pow_b_minus_one[kG];
#pragma GCC unroll 4
    for (std::size_t g = 0; g < kG; ++g) {
      positive[g] = _mm256_cmp_pd(s[g], _mm256_setzero_pd(), _CMP_GT_OQ);
    }
    if constexpr (kUnitB) {
#pragma GCC unroll 4
      for (std::size_t g = 0; g < kG; ++g) {
        pow_b[g] = s[g];
        pow_b_minus_one[g] = _mm256_set1_pd(1.0);
      }
    } else if (!powers<kBounded, kG>(s, positive, active, attract, pow_b, pow_b_minus_one)) {
      return false;
    }
    // attraction: (attract_factor * pow(s, b - 1)) / (a * pow(s, b) + 1)
    // repulsion:  repel_factor / ((s + kRepulsionOffset) * (pow(s, b) * a + 1))
    const GradientConstants& k = consts();
    const __m256d a = _mm256_set1_pd(k.a);
    const __m256d one = _mm256_set1_pd(1.0);
#pragma GCC unroll 4
    for (std::size_t g = 0; g < kG; ++g) {
      const __m256d attract_den = _mm256_add_pd(_mm256_mul_pd(a, pow_b[g]), one);
      const __m256d repel_den = _mm256_mul_pd(_mm256_add_pd(s[g], _mm256_set1_pd(kRepulsionOffset)),
                                              _mm256_add_pd(_mm256_mul_pd(pow_b[g], a), one));
      const __m256d num =
          _mm256_blendv_pd(_mm256_set1_pd(k.repel_factor),
                           _mm256_mul_pd(_mm256_set1_pd(k.attract_factor), pow_b_minus_one[g]), attract[g]);
      c[g] = _mm256_div_pd(num, _mm256_blendv_pd(repel_den, attract_den, attract[g]));
      // At distance 0 (or NaN) an attraction has coefficient 0 and a
      // repulsion pushes the head by a fixed amount instead (rare: a branch).
      c[g] = _mm256_blendv_pd(c[g], _mm256_setzero_pd(), _mm256_andnot_pd(positive[g], attract[g]));
      pushed[g] = _mm256_andnot_pd(_mm256_or_pd(positive[g], attract[g]), active[g]);
    }
    return true;
  }

  // head += t and, for attractions, other -= t, with t = alpha * clip(c * diff).
  // A lane without a step keeps its head: its run may be waiting mid-way.
  template <bool kAnyPushed>
  TARNWICK_LANES_INLINE void update(__m256d c, const __m256d (&diff)[kDim], __m256d (&head)[kDim],
                                    __m256d (&other)[kDim], __m256d pushed, __m256d active) {
    const Rates rates = this->rates();
#pragma GCC unroll 4
    for (std::size_t d = 0; d < kDim; ++d) {
      other[d] = update_coordinate<kAnyPushed>(rates, c, diff[d], head[d], other[d], pushed, active);
    }
  }

  struct Rates {
    __m256d alpha, push;
  };
  TARNWICK_LANES_INLINE Rates rates() const {
    return {_mm256_set1_pd(state_.alpha), _mm256_set1_pd(state_.push)};
  }

  // Moves head to its new value; returns other's.
  template <bool kAnyPushed>
  TARNWICK_LANES_INLINE __m256d update_coordinate(const Rates& rates, __m256d c, __m256d diff, __m256d& head,
                                                  __m256d other, __m256d pushed, __m256d active) {
    const __m256d t = _mm256_mul_pd(rates.alpha, clip4(_mm256_mul_pd(c, diff)));
    __m256d h = _mm256_add_pd(head, t);
    if constexpr (kAnyPushed) h = _mm256_blendv_pd(h, _mm256_add_pd(rates.push, head), pushed);
    head = _mm256_blendv_pd(head, h, active);
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
        __m256d head = _mm256_load_pd(&head_[kD0 + i][l0]);
        other[i] = update_coordinate<kAnyPushed>(rates, c, _mm256_sub_pd(head, other[i]), head, other[i], pushed,
                                                 active);
        _mm256_store_pd(&head_[kD0 + i][l0], head);
      }
      scatter_chunk<kD0, kWidth>(writes, other);
      update_in_chunks<kD0 + kWidth, kAnyPushed>(rows, writes, l0, rates, c, pushed, active);
    }
  }

  // pow(s, b) and pow(s, b - 1), the latter used where a lane attracts.
  // Both powers share one log; the second is skipped for groups without an
  // attracting lane where kSecondPowerWhereAttracting. kBounded: the vector
  // pow on s itself (lanes whose power is unused may take any x), false
  // where a lane needs the library. Else every lane's power, through the
  // library where needed; lanes whose s is unused (not positive, or no step)
  // take x = 2, which needs no slow path.
  template <bool kBounded, std::size_t kG>
  TARNWICK_LANES_INLINE bool powers(const __m256d (&s)[kG], const __m256d (&positive)[kG],
                                    const __m256d (&active)[kG], const __m256d (&attract)[kG],
                                    __m256d (&pow_b)[kG], __m256d (&pow_b_minus_one)[kG]) const {
    const GradientConstants& k = consts();
    __m256d live[kG];
#pragma GCC unroll 4
    for (std::size_t g = 0; g < kG; ++g) live[g] = _mm256_and_pd(positive[g], active[g]);
    unsigned second = ~0u;
    if constexpr (kSecondPowerWhereAttracting) {
      second = 0;
      for (std::size_t g = 0; g < kG; ++g) {
        second |= static_cast<unsigned>(_mm256_movemask_pd(_mm256_and_pd(live[g], attract[g])) != 0) << g;
      }
    }
    if constexpr (kBounded) {
      return pow_pairs4_bounded(s, live, k.b, k.b_minus_one, pow_bounds_, pow_b, pow_b_minus_one, second);
    } else {
      __m256d x[kG];
      for (std::size_t g = 0; g < kG; ++g) x[g] = _mm256_blendv_pd(_mm256_set1_pd(2.0), s[g], live[g]);
      if (vector_pow_) {
        pow_pairs4(x, _mm256_set1_pd(k.b), _mm256_set1_pd(k.b_minus_one), pow_b, pow_b_minus_one, second);
      } else {
        for (std::size_t g = 0; g < kG; ++g) {
          alignas(32) double xs[4], r0[4], r1[4];
          _mm256_store_pd(xs, x[g]);
          const bool pair = _mm256_movemask_pd(_mm256_and_pd(live[g], attract[g])) != 0;
          library_powers(xs, k.b, k.b_minus_one, pair, r0, r1);
          pow_b[g] = _mm256_load_pd(r0);
          pow_b_minus_one[g] = pair ? _mm256_load_pd(r1) : pow_b[g];  // else no lane uses it
        }
      }
      return true;
    }
  }

  const GradientConstants& consts() const { return state_.consts; }

  EpochState& state_;
  const bool vector_pow_;
  // The vector pow, with the exponents' bounds on the log (empty where
  // an exponent is outside its range).
  const LogBounds pow_bounds_;
  const bool bounded_pow_;
  // The head row of the run in each lane, coordinate by coordinate.
  alignas(32) double head_[kDim][kLanes] = {};
  double scratch_[kLanes][kDim];
};

}  // namespace
}  // namespace tarnwick::layout

#endif  // __x86_64__
