// The epoch loop with eight lanes, four to a vector register. The planner
// turns the due edges into runs (consecutive edges sharing a head, with
// their samples drawn); each run goes to one lane for consecutive ticks, one
// step (an attraction or a repulsion) per tick.
//
// Steps of different runs commute unless they share a row that one of them
// writes. Every step's rows are known when its run is planned, since the
// schedule and the draws do not depend on the embedding. On small graphs,
// where runs often share rows, each run is booked at the first ticks at
// which every earlier run is done with its rows (kept per row as the last
// tick that writes it and the last that reads it), so later runs pass
// earlier ones wherever their rows allow. On larger ones a run waits in a
// queue until every earlier run it shares a row with has finished, which
// costs less bookkeeping per step. Either way the result is bit for bit that
// of the sequential order. Each lane performs exactly the operations of the
// scalar code, in the same order; lanes without a step compute garbage that
// is never written.
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

// The arithmetic of the lanes, shared by both schedulers: every lane takes
// one step, exactly as the scalar code would.
template <std::size_t kDim, bool kUnitB>
class LaneSteps {
 public:
  static constexpr std::size_t kLanes = 8;
  static constexpr std::size_t kGroups = kLanes / 4;
  // Runs planned before they are scheduled, so that their rows and the
  // scheduler's entries for them arrive in time.
  static constexpr std::size_t kPlanAhead = 4;
  // The step of a lane without one: a read of row 0, harmless.
  static constexpr std::uint32_t kIdleStep = 0;

 protected:
  LaneSteps(EpochState& state, bool vector_pow)
      : state_(state),
        vector_pow_(vector_pow),
        in_range_pow_(vector_pow && exact_pow_detail::exponent_in_range(state.consts.b) &&
                      exact_pow_detail::exponent_in_range(state.consts.b_minus_one)) {}

  // Rows up to this width are held in registers through a step.
  static constexpr std::size_t kHeldDim = 4;

  // One step of every lane (`cells`, lane by lane), each as the scalar code
  // performs it. A lane outside `active` (its sign bits, a vector per group
  // of four lanes) computes on its cell's row and writes nothing. A group's
  // step is one long dependent chain; the groups go through it phase by
  // phase, side by side, since the processor overlaps chains only that close
  // together in the instruction stream.
  TARNWICK_LANES_INLINE void step_lanes(const std::uint32_t* cells, const __m256d (&active)[kGroups]) {
    double* const x = state_.x;
    const double* rows[kGroups][4];
    double* writes[kGroups][4];
    __m256d attract[kGroups];
#pragma GCC unroll 4
    for (std::size_t g = 0; g < kGroups; ++g) {
      std::uint32_t step[4];
#pragma GCC unroll 4
      for (std::size_t q = 0; q < 4; ++q) {
        step[q] = cells[4 * g + q];
        double* row = x + static_cast<std::size_t>(PlannedRun::row_of(step[q])) * kDim;
        rows[g][q] = row;
        // Only an attraction writes its row; the others write scratch.
        writes[g][q] = PlannedRun::attracts(step[q]) ? row : scratch_[4 * g + q];
      }
      // Masks are read by their sign bits.
      attract[g] = _mm256_castsi256_pd(
          _mm256_slli_epi64(_mm256_set_epi64x(step[3], step[2], step[1], step[0]), 63));
    }

    __m256d s[kGroups], c[kGroups], pushed[kGroups];
    if constexpr (kDim <= kHeldDim) {
      // The rows stay in registers from the distance to the update.
      __m256d other[kGroups][kDim], head[kGroups][kDim], diff[kGroups][kDim];
#pragma GCC unroll 4
      for (std::size_t g = 0; g < kGroups; ++g) {
        gather_rows<kDim>(rows[g], other[g]);
#pragma GCC unroll 4
        for (std::size_t d = 0; d < kDim; ++d) {
          head[g][d] = _mm256_load_pd(&head_[d][4 * g]);
          diff[g][d] = _mm256_sub_pd(head[g][d], other[g][d]);
        }
        // 0.0 + d0 * d0 is d0 * d0 exactly: a square is never -0.0.
        s[g] = _mm256_mul_pd(diff[g][0], diff[g][0]);
#pragma GCC unroll 4
        for (std::size_t d = 1; d < kDim; ++d) {
          s[g] = _mm256_add_pd(s[g], _mm256_mul_pd(diff[g][d], diff[g][d]));
        }
      }
      coefficients(s, attract, active, c, pushed);
      const bool any_pushed = this->any(pushed);
#pragma GCC unroll 4
      for (std::size_t g = 0; g < kGroups; ++g) {
        if (!any_pushed) [[likely]] {
          update<false>(4 * g, c[g], diff[g], head[g], other[g], pushed[g], active[g]);
        } else {
          update<true>(4 * g, c[g], diff[g], head[g], other[g], pushed[g], active[g]);
        }
        scatter_rows<kDim>(writes[g], other[g]);
      }
    } else {
      // Wider rows are read twice, a chunk at a time, rather than held
      // across pow, which would spill them: the differences come out the
      // same the second time, as nothing has written the rows in between.
#pragma GCC unroll 4
      for (std::size_t g = 0; g < kGroups; ++g) {
        s[g] = squared_distance<0>(rows[g], 4 * g, _mm256_setzero_pd());
      }
      coefficients(s, attract, active, c, pushed);
      const bool any_pushed = this->any(pushed);
#pragma GCC unroll 4
      for (std::size_t g = 0; g < kGroups; ++g) {
        if (!any_pushed) [[likely]] {
          update_in_chunks<0, false>(rows[g], writes[g], 4 * g, rates(), c[g], pushed[g], active[g]);
        } else {
          update_in_chunks<0, true>(rows[g], writes[g], 4 * g, rates(), c[g], pushed[g], active[g]);
        }
      }
    }
  }

  // Whether any lane's sign bit is set.
  TARNWICK_LANES_INLINE static bool any(const __m256d (&masks)[kGroups]) {
    __m256d all = masks[0];
#pragma GCC unroll 4
    for (std::size_t g = 1; g < kGroups; ++g) all = _mm256_or_pd(all, masks[g]);
    return _mm256_movemask_pd(all) != 0;
  }

  // The coefficient c of each lane's step, and the lanes whose repulsion
  // pushes instead (distance 0 or NaN; their sign bit set).
  TARNWICK_LANES_INLINE void coefficients(const __m256d (&s)[kGroups], const __m256d (&attract)[kGroups],
                                          const __m256d (&active)[kGroups], __m256d (&c)[kGroups],
                                          __m256d (&pushed)[kGroups]) const {
    __m256d positive[kGroups], pow_b[kGroups], pow_b_minus_one[kGroups];
#pragma GCC unroll 4
    for (std::size_t g = 0; g < kGroups; ++g) {
      positive[g] = _mm256_cmp_pd(s[g], _mm256_setzero_pd(), _CMP_GT_OQ);
    }
    if constexpr (kUnitB) {
#pragma GCC unroll 4
      for (std::size_t g = 0; g < kGroups; ++g) {
        pow_b[g] = s[g];
        pow_b_minus_one[g] = _mm256_set1_pd(1.0);
      }
    } else {
      powers(s, positive, active, attract, pow_b, pow_b_minus_one);
    }
    // attraction: (attract_factor * pow(s, b - 1)) / (a * pow(s, b) + 1)
    // repulsion:  repel_factor / ((s + 0.001) * (pow(s, b) * a + 1))
    const GradientConstants& k = consts();
    const __m256d a = _mm256_set1_pd(k.a);
    const __m256d one = _mm256_set1_pd(1.0);
#pragma GCC unroll 4
    for (std::size_t g = 0; g < kGroups; ++g) {
      const __m256d attract_den = _mm256_add_pd(_mm256_mul_pd(a, pow_b[g]), one);
      const __m256d repel_den = _mm256_mul_pd(_mm256_add_pd(s[g], _mm256_set1_pd(0.001)),
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
  // Lanes whose s is not used (not positive, or no step) take x = 2, which
  // needs no slow path. Both powers share one log, and computing both every
  // time beats a branch on whether a lane attracts, which the processor
  // cannot predict.
  TARNWICK_LANES_INLINE void powers(const __m256d (&s)[kGroups], const __m256d (&positive)[kGroups],
                                    const __m256d (&active)[kGroups], const __m256d (&attract)[kGroups],
                                    __m256d (&pow_b)[kGroups], __m256d (&pow_b_minus_one)[kGroups]) const {
    const GradientConstants& k = consts();
    __m256d x[kGroups], live[kGroups];
#pragma GCC unroll 4
    for (std::size_t g = 0; g < kGroups; ++g) {
      live[g] = _mm256_and_pd(positive[g], active[g]);
      x[g] = _mm256_blendv_pd(_mm256_set1_pd(2.0), s[g], live[g]);
    }
    if (in_range_pow_) [[likely]] {
      pow_pairs4<true>(x, _mm256_set1_pd(k.b), _mm256_set1_pd(k.b_minus_one), pow_b, pow_b_minus_one);
    } else if (vector_pow_) {
      pow_pairs4(x, _mm256_set1_pd(k.b), _mm256_set1_pd(k.b_minus_one), pow_b, pow_b_minus_one);
    } else {
      for (std::size_t g = 0; g < kGroups; ++g) {
        alignas(32) double xs[4], r0[4], r1[4];
        _mm256_store_pd(xs, x[g]);
        const bool pair = _mm256_movemask_pd(_mm256_and_pd(live[g], attract[g])) != 0;
        library_powers(xs, k.b, k.b_minus_one, pair, r0, r1);
        pow_b[g] = _mm256_load_pd(r0);
        pow_b_minus_one[g] = pair ? _mm256_load_pd(r1) : pow_b[g];  // else no lane uses it
      }
    }
  }

  const GradientConstants& consts() const { return state_.consts; }

  EpochState& state_;
  const bool vector_pow_;
  // The vector pow, with exponents in its range.
  const bool in_range_pow_;
  // The head row of the run in each lane, coordinate by coordinate.
  alignas(32) double head_[kDim][kLanes] = {};
  double scratch_[kLanes][kDim];
};

// ---- booking runs onto ticks -----------------------------------------------

// Lanes are booked this many ticks ahead before a tick runs, so that later
// runs whose rows are free can still take a lane at it.
inline constexpr std::uint32_t kBookAhead = 16;

// Rows and row ticks up to this size stay in the second-level cache: the
// planner does not fetch them ahead.
inline constexpr std::size_t kCachedBytes = 256 * 1024;


template <std::size_t kDim, bool kUnitB>
class BookingExecutor : LaneSteps<kDim, kUnitB> {
  using Base = LaneSteps<kDim, kUnitB>;
  using Base::kGroups;
  using Base::kLanes;
  using Base::kIdleStep;
  using Base::kPlanAhead;
  using Base::head_;
  using Base::state_;

 public:
  // row_ticks: zeroed, one entry per vertex.
  BookingExecutor(EpochState& state, RowTicks* row_ticks, bool vector_pow)
      : Base(state, vector_pow),
        planner_(state, row_ticks, sizeof(RowTicks), &draw_indices4,
                 state.n_vertices * (kDim * sizeof(double) + sizeof(RowTicks)) > kCachedBytes),
        rows_(row_ticks),
        n_rows_(state.n_vertices) {}

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
    const auto in_lanes = static_cast<std::uint32_t>(events & kLaneMask);
    if (in_lanes != 0) {
      __m256d active[kGroups];
#pragma GCC unroll 4
      for (std::size_t g = 0; g < kGroups; ++g) {
        active[g] = _mm256_castsi256_pd(_mm256_slli_epi64(
            _mm256_srlv_epi64(_mm256_set1_epi64x((in_lanes >> (4 * g)) & 0xf), _mm256_set_epi64x(3, 2, 1, 0)),
            63));
      }
      this->step_lanes(cells_[slot], active);
    }
    for (std::uint64_t s = (events >> kEnds) & kLaneMask; s != 0; s &= s - 1) {
      const auto l = static_cast<std::size_t>(__builtin_ctzll(s));
      double* xj = x + static_cast<std::size_t>(lane_head_[l]) * kDim;
      for (std::size_t d = 0; d < kDim; ++d) xj[d] = head_[d][l];
    }
    events_[slot] = 0;
    for (std::size_t l = 0; l < kLanes; ++l) cells_[slot][l] = kIdleStep;
  }


  // ---- state ----

  // Bits of an events_ entry: lanes with a step, lanes whose run starts,
  // lanes whose run ends.
  static constexpr int kStarts = 16;
  static constexpr int kEnds = 32;

  RunPlanner planner_;
  RowTicks* const rows_;
  const std::size_t n_rows_;

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

  // The head row of the run in each lane.
  std::uint32_t lane_head_[kLanes] = {};

  PlannedRun plans_[kPlanAhead + 1];
  std::size_t first_planned_ = 0;
  std::size_t n_planned_ = 0;
};


// One word per vertex: bit s (s < kSlots) is set while slot s's run writes
// the row, bit kSlots + s while it reads it.
using RowUsers = std::uint32_t;
inline constexpr std::size_t kSlots = 16;

// The scheduler for graphs whose rows and bookkeeping outgrow the
// second-level cache: a run enters a free lane once every earlier run it
// shares a row with has finished, and steps until it is done. Its table is
// half the size of the booking scheduler's, and its ticks carry no
// bookkeeping, which counts more there than lanes the booking would fill.
template <std::size_t kDim, bool kUnitB>
class QueueExecutor : LaneSteps<kDim, kUnitB> {
  using Base = LaneSteps<kDim, kUnitB>;
  using Base::kGroups;
  using Base::kLanes;
  using Base::kIdleStep;
  using Base::kPlanAhead;
  using Base::head_;
  using Base::state_;

 public:
  // row_users: zeroed, one word per vertex.
  QueueExecutor(EpochState& state, RowUsers* row_users, bool vector_pow)
      : Base(state, vector_pow),
        planner_(state, row_users, sizeof(RowUsers), &draw_indices4, true),
        row_users_(row_users) {
    for (std::size_t l = 0; l < kLanes; ++l) make_idle(l);
  }

  TARNWICK_LANES void run_epoch() {
    planner_.begin_epoch();
    for (;;) {
      fill_lanes();
      if (running_ == 0) {
        // Nothing planned or waiting: the plans stopped at an edge that
        // needs the checked path, or at the end of the epoch.
        const std::size_t i = planner_.stop_edge();
        if (i >= state_.edges.n_edges) return;
        state_.template process_edge<kUnitB>(i);
        planner_.resume_after(i);
        if (++checked_since_poll_ == kCheckedPerPoll) {
          checked_since_poll_ = 0;
          poll_interrupt();
        }
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
  // A poll reads the clock; some thousands of steps lie between two (or
  // a thousand edges of the checked path).
  static constexpr unsigned kRunsPerPoll = 64;
  static constexpr unsigned kCheckedPerPoll = 1024;

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
    for (; ticks > 0; --ticks) tick();
    std::uint32_t finished = 0;
    for (std::size_t l = 0; l < kLanes; ++l) {
      finished |= static_cast<std::uint32_t>(cursor_[l] == end_[l]) << l;
    }
    return finished;
  }

  // The next step of every lane; idle lanes step on kIdleStep.
  TARNWICK_LANES_INLINE void tick() {
    std::uint32_t step[kLanes];
    __m256d active[kGroups];
#pragma GCC unroll 8
    for (std::size_t l = 0; l < kLanes; ++l) {
      step[l] = *cursor_[l];
      cursor_[l] += advance_[l];
    }
#pragma GCC unroll 4
    for (std::size_t g = 0; g < kGroups; ++g) {
      active[g] = _mm256_load_pd(reinterpret_cast<const double*>(active_ + 4 * g));
    }
    this->step_lanes(step, active);
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
    if (planner_.stopped() || free_slots_ == 0) return false;
    const auto s = static_cast<std::uint32_t>(__builtin_ctz(free_slots_));
    if (!planner_.plan(slots_[s])) return false;
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
    // Indexed by the step's attraction bit: the users a step waits for (a
    // reader only for writers) and the bit it sets.
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
    const double* xj = state_.x + static_cast<std::size_t>(run.head_row) * kDim;
    for (std::size_t d = 0; d < kDim; ++d) head_[d][l] = xj[d];
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
    double* xj = state_.x + static_cast<std::size_t>(slots_[s].head_row) * kDim;
    for (std::size_t d = 0; d < kDim; ++d) xj[d] = head_[d][l];
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

  RunPlanner planner_;
  static constexpr RowUsers kWriters = (RowUsers{1} << kSlots) - 1;
  static constexpr RowUsers kReaders = kWriters << kSlots;

  RowUsers* const row_users_;
  unsigned until_poll_ = kRunsPerPoll;
  unsigned checked_since_poll_ = 0;

  // Lanes. An idle lane steps on kIdleStep without advancing.
  alignas(32) std::uint64_t active_[kLanes];
  const std::uint32_t* cursor_[kLanes];
  const std::uint32_t* end_[kLanes];
  std::size_t advance_[kLanes];
  std::uint32_t lane_slot_[kLanes];
  std::uint32_t free_lanes_ = 0;
  std::uint32_t running_ = 0;

  // Slots. The planned queue and the waiting list are in plan order.
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
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// The executor and its table of one entry per vertex (zeroed).
template <class Executor, class Entry>
bool run_with(EpochState& state, std::uint64_t n_epochs) {
  // calloc: untouched pages cost nothing until a row is used.
  std::unique_ptr<Entry, FreeDeleter> table(
      static_cast<Entry*>(std::calloc(state.n_vertices == 0 ? 1 : state.n_vertices, sizeof(Entry))));
  if (!table) return false;
  std::unique_ptr<Executor> executor(
      new (std::nothrow) Executor(state, table.get(), exact_pow_vector_enabled()));
  if (!executor) return false;
  for (std::uint64_t e = 0; e < n_epochs; ++e) {
    state.begin_epoch(e);
    executor->run_epoch();
  }
  return true;
}

template <std::size_t kDim, bool kUnitB>
bool run_lanes(EpochState& state, std::uint64_t n_epochs) {
  if (state.n_vertices <= kBookingBytes / (kDim * sizeof(double) + sizeof(RowTicks))) {
    return run_with<BookingExecutor<kDim, kUnitB>, RowTicks>(state, n_epochs);
  }
  return run_with<QueueExecutor<kDim, kUnitB>, RowUsers>(state, n_epochs);
}

using LaneRun = bool (*)(EpochState&, std::uint64_t);

template <bool kUnitB, std::size_t... kDimLess1>
constexpr std::array<LaneRun, sizeof...(kDimLess1)> lane_runs(std::index_sequence<kDimLess1...>) {
  return {&run_lanes<kDimLess1 + 1, kUnitB>...};
}

constexpr auto kRunsGeneralB = lane_runs<false>(std::make_index_sequence<kMaxLaneDim>());
constexpr auto kRunsUnitB = lane_runs<true>(std::make_index_sequence<kMaxLaneDim>());

}  // namespace
#endif  // __x86_64__

bool run_epochs_in_lanes(EpochState& state, std::uint64_t n_epochs) {
#if defined(__x86_64__)
  if (!has_avx2_fma() || state.dim == 0 || state.dim > kMaxLaneDim ||
      state.n_vertices > RunPlanner::kMaxVertices) {
    return false;
  }
  const auto& runs = state.consts.b == 1.0 ? kRunsUnitB : kRunsGeneralB;
  return runs[state.dim - 1](state, n_epochs);
#else
  (void)state;
  (void)n_epochs;
  return false;
#endif
}

}  // namespace tarnwick::layout
