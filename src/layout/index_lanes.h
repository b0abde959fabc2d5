// The four-lane draw of the negative samples: the layout generator's outputs
// and their remainders in vector lanes, lane by lane exactly as the scalar
// code computes them, compiled for the lane instruction set of its file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "layout/lane_target.h"
#include "layout/sample_stream.h"
#include "support/splitmix64.h"

#if defined(__x86_64__)
namespace tarnwick::layout {
// Internal linkage, as in lane_steps.h: each lane file has its own copy.
namespace {

// 64-bit products. b_lo and b_hi hold b's halves in the low 32 bits of each
// lane; whole holds it all, for the instruction sets with a 64-bit multiply.
struct Factor {
  __m256i lo, hi, whole;
};

TARNWICK_LANES_INLINE Factor factor(std::uint64_t v) {
  return {_mm256_set1_epi64x(static_cast<long long>(v & 0xffffffff)),
          _mm256_set1_epi64x(static_cast<long long>(v >> 32)), _mm256_set1_epi64x(static_cast<long long>(v))};
}

TARNWICK_LANES_INLINE __m256i mul_low64(__m256i a, const Factor& b) {
#if defined(TARNWICK_LANE_MUL64)
  return _mm256_mullo_epi64(a, b.whole);
#else
  const __m256i cross = _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(a, 32), b.lo),
                                         _mm256_mul_epu32(a, b.hi));
  return _mm256_add_epi64(_mm256_mul_epu32(a, b.lo), _mm256_slli_epi64(cross, 32));
#endif
}

// No instruction set here has a 64-bit high product: four 32-bit ones.
TARNWICK_LANES_INLINE __m256i mul_high64(__m256i a, const Factor& b) {
  const __m256i a_hi = _mm256_srli_epi64(a, 32);
  const __m256i ll = _mm256_mul_epu32(a, b.lo);
  const __m256i lh = _mm256_mul_epu32(a, b.hi);
  const __m256i hl = _mm256_mul_epu32(a_hi, b.lo);
  const __m256i hh = _mm256_mul_epu32(a_hi, b.hi);
  const __m256i low32 = _mm256_set1_epi64x(0xffffffff);
  const __m256i mid = _mm256_add_epi64(
      _mm256_add_epi64(_mm256_srli_epi64(ll, 32), _mm256_and_si256(lh, low32)), _mm256_and_si256(hl, low32));
  return _mm256_add_epi64(_mm256_add_epi64(hh, _mm256_srli_epi64(lh, 32)),
                          _mm256_add_epi64(_mm256_srli_epi64(hl, 32), _mm256_srli_epi64(mid, 32)));
}

#if defined(TARNWICK_LANE_MUL64)
// Divisors whose remainders the lanes take through a quotient in doubles.
// From the lower bound on, the three roundings of z * (1 / d) (in any
// rounding mode) move the quotient by less than one, so the truncated
// quotient is off by at most one either way; up to the upper, the remainder
// before its correction, in [-d, 2d), fits a signed lane.
inline constexpr std::uint64_t kMinDivisorByDouble = std::uint64_t{1} << 14;
inline constexpr std::uint64_t kMaxDivisorByDouble = std::uint64_t{1} << 32;

// 1 / d beside d, in the lanes, for remainder_by_double.
struct DivisorByDouble {
  __m256d inverse;
  __m256i divisor;
};

TARNWICK_LANES_INLINE DivisorByDouble divisor_by_double(std::uint64_t d) {
  return {_mm256_set1_pd(1.0 / static_cast<double>(d)), _mm256_set1_epi64x(static_cast<long long>(d))};
}

// z % d for d in [kMinDivisorByDouble, kMaxDivisorByDouble], as the lanes
// of z: shorter than the multiply by the magic number, which needs four
// 32-bit products for its high half.
TARNWICK_LANES_INLINE __m256i remainder_by_double(__m256i z, const DivisorByDouble& d) {
  const __m256i q = _mm256_cvttpd_epu64(_mm256_mul_pd(_mm256_cvtepu64_pd(z), d.inverse));
  // Wraps where q * d passes 2^64; the difference is still right as signed.
  __m256i r = _mm256_sub_epi64(z, _mm256_mullo_epi64(q, d.divisor));
  r = _mm256_mask_add_epi64(r, _mm256_cmplt_epi64_mask(r, _mm256_setzero_si256()), r, d.divisor);
  return _mm256_mask_sub_epi64(r, _mm256_cmpge_epi64_mask(r, d.divisor), r, d.divisor);
}
#endif

// draw_indices, four lanes at a time: an IndexDraw. The generator's k-th
// state is its start plus k times its increment, so four consecutive draws
// are independent.
template <bool kByDouble>
TARNWICK_LANES_INLINE void draw_indices_as(SplitMix64& rng, const Remainder& remainder, std::size_t count,
                                           std::uint64_t* out) {
  const std::uint64_t d = remainder.divisor();
  const Factor mix1 = factor(SplitMix64::kMixMultiplier1);
  const Factor mix2 = factor(SplitMix64::kMixMultiplier2);
  const Factor magic = factor(remainder.magic());
  const Factor divisor = factor(d);
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
    z = mul_low64(_mm256_xor_si256(z, _mm256_srli_epi64(z, SplitMix64::kMixShift1)), mix1);
    z = mul_low64(_mm256_xor_si256(z, _mm256_srli_epi64(z, SplitMix64::kMixShift2)), mix2);
    z = _mm256_xor_si256(z, _mm256_srli_epi64(z, SplitMix64::kMixShift3));
    __m256i r;
#if defined(TARNWICK_LANE_MUL64)
    if constexpr (kByDouble) {
      r = remainder_by_double(z, divisor_by_double(d));  // loop-invariant, hoisted
    } else
#endif
    {
      // Remainder::of with the first shift 1.
      const __m256i t1 = mul_high64(z, magic);
      const __m256i q =
          _mm256_srl_epi64(_mm256_add_epi64(t1, _mm256_srli_epi64(_mm256_sub_epi64(z, t1), 1)), shift);
      r = _mm256_sub_epi64(z, mul_low64(q, divisor));
    }
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

TARNWICK_LANES void draw_indices_in_lanes(SplitMix64& rng, const Remainder& remainder, std::size_t count,
                                          std::uint64_t* out) {
  const std::uint64_t d = remainder.divisor();
  if (d < 2) {  // the remainder's shifts differ; every index is 0 anyway
    draw_indices(rng, remainder, count, out);
    return;
  }
#if defined(TARNWICK_LANE_MUL64)
  if (d >= kMinDivisorByDouble && d <= kMaxDivisorByDouble) {
    draw_indices_as<true>(rng, remainder, count, out);
    return;
  }
#endif
  draw_indices_as<false>(rng, remainder, count, out);
}

}  // namespace
}  // namespace tarnwick::layout
#endif  // __x86_64__
