// The exact pow's decision, once per process, between its vector path and
// the library's pow: the check that compares the two on inputs where the
// library's builds differ, and the library fallback for uncommon lanes.
#include "support/exact_pow.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

#include "support/cpu_features.h"
#include "support/splitmix64.h"

namespace tarnwick {

namespace exact_pow_detail {

void library_lanes(const double* x, const double* y, double* r, unsigned fast) {
  for (unsigned lane = 0; lane < 4; ++lane) {
    if (((fast >> lane) & 1u) == 0) r[lane] = std::pow(x[lane], y[lane]);
  }
}

}  // namespace exact_pow_detail

LogBounds pair_log_bounds(double y0, double y1) {
  using namespace exact_pow_detail;
  LogBounds bounds{0.0, kMaxFinite};
  for (const double y : {y0, y1}) {
    if (!exponent_in_range(y)) return {1.0, 0.0};
    const double m = std::fabs(y);
    // Each quotient is within two roundings of the exact one: the factor on
    // lo and the unit off hi keep m |log x| strictly inside
    // [kMinExpArgument, kMaxExpArgument - 1], whose rounding stays inside the
    // exp's range.
    bounds.lo = std::max(bounds.lo, kMinExpArgument / m * (1.0 + 0x1p-40));
    bounds.hi = std::min(bounds.hi, (kMaxExpArgument - 1.0) / m);
  }
  return bounds;
}

namespace {

// x with a uniformly drawn exponent in [lo, hi] and mantissa.
double draw_x(SplitMix64& rng, int lo, int hi) {
  const std::uint64_t bits = rng.next_u64();
  const auto e = static_cast<std::uint64_t>(lo + static_cast<int>((bits >> 52) % (hi - lo + 1)));
  return std::bit_cast<double>(((e + 1023) << 52) | (bits & 0x000fffffffffffff));
}

bool same_result(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) ||
         (std::isnan(a) && std::isnan(b));
}

#if defined(__x86_64__)

// The check's view of the vector path: pairs and single calls alternate, so
// both forms are compared.
[[gnu::target("avx2,fma")]] void vector_pairs(const double* x, const double* y0,
                                              const double* y1, double* r0, double* r1,
                                              std::size_t n) {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256d xv = _mm256_loadu_pd(x + i);
    const __m256d a = _mm256_loadu_pd(y0 + i), b = _mm256_loadu_pd(y1 + i);
    __m256d p, q;
    if ((i / 4) % 2 == 0) {
      pow_pair4(xv, a, b, p, q);
    } else {
      p = pow4(xv, a);
      q = pow4(xv, b);
    }
    _mm256_storeu_pd(r0 + i, p);
    _mm256_storeu_pd(r1 + i, q);
  }
  if (i < n) {
    alignas(32) double xs[4] = {2, 2, 2, 2}, a[4] = {1, 1, 1, 1}, b[4] = {1, 1, 1, 1}, p[4], q[4];
    std::copy(x + i, x + n, xs);
    std::copy(y0 + i, y0 + n, a);
    std::copy(y1 + i, y1 + n, b);
    __m256d pv, qv;
    pow_pair4(_mm256_load_pd(xs), _mm256_load_pd(a), _mm256_load_pd(b), pv, qv);
    _mm256_store_pd(p, pv);
    _mm256_store_pd(q, qv);
    std::copy(p, p + (n - i), r0 + i);
    std::copy(q, q + (n - i), r1 + i);
  }
}

#endif  // __x86_64__

}  // namespace

bool exact_pow_matches_library(PowPairBatchFn candidate, std::size_t random_inputs) {
  using exact_pow_detail::kSeparatingInputs;
  constexpr std::size_t kFixed = exact_pow_detail::kSeparatingInputCount;
  const std::size_t n = kFixed + random_inputs;
  std::vector<double> buffer(5 * n);
  double* x = buffer.data();
  double* y0 = x + n;
  double* y1 = y0 + n;
  double* r0 = y1 + n;
  double* r1 = r0 + n;
  for (std::size_t i = 0; i < kFixed; ++i) {
    x[i] = kSeparatingInputs[i].x;
    y0[i] = kSeparatingInputs[i].b;
  }
  // A quarter over (nearly) all normal x, the rest over squared distances
  // from about 1e-8 to 1e6; b over [0.5, 1.5].
  SplitMix64 rng(0x5eed'0f'e1ac'70b1ULL);
  for (std::size_t i = kFixed; i < n; ++i) {
    x[i] = (i % 4 == 0) ? draw_x(rng, -1020, 1020) : draw_x(rng, -27, 19);
    y0[i] = 0.5 + rng.next_unit_f64();
  }
  for (std::size_t i = 0; i < n; ++i) y1[i] = y0[i] - 1.0;

  candidate(x, y0, y1, r0, r1, n);
  for (std::size_t i = 0; i < n; ++i) {
    if (!same_result(r0[i], std::pow(x[i], y0[i])) || !same_result(r1[i], std::pow(x[i], y1[i]))) {
      return false;
    }
  }
  return true;
}

bool exact_pow_vector_enabled() {
#if defined(__x86_64__)
  static const bool enabled = has_avx2_fma() && exact_pow_matches_library(&vector_pairs);
  return enabled;
#else
  return false;
#endif
}

}  // namespace tarnwick
