// pow(x, y) four lanes at a time, with the C library's results bit for bit.
//
// On x86-64 with AVX2 and FMA, glibc (2.28 and later) computes pow as log(x)
// in extended precision (a 128-entry table and a degree-7 polynomial, giving
// hi + lo), the product with y split exactly, then exp of that (a second
// 128-entry table and a degree-5 polynomial). Its build of that routine fuses
// twenty multiply-adds, some across statements. The lanes here repeat the
// same operations in the same order, fused exactly where that build fuses
// them, so each lane rounds as the library does. Lanes outside the common
// case (x not a positive normal number, |y| outside [2^-65, 2^63), |y log x|
// outside [2^-54, 512)) are handed to the library's pow itself.
//
// Whether the running library is that build is not something the code can
// see, so the vector path is used only after a check, once per process,
// against the library on inputs where the fused and unfused builds differ.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tarnwick {

// True when the vector path is in use: the CPU has AVX2 and FMA and the
// check (run once per process, on the first call; thread-safe) found it equal
// to the library's pow.
bool exact_pow_vector_enabled();

// candidate(x, y0, y1, r0, r1, n) sets r0[i] = pow(x[i], y0[i]) and
// r1[i] = pow(x[i], y1[i]) for i < n.
using PowPairBatchFn = void (*)(const double* x, const double* y0, const double* y1, double* r0,
                                double* r1, std::size_t n);

// The check behind exact_pow_vector_enabled: `candidate` against the
// library's pow on the built-in list of inputs that separate the library's
// fused and unfused builds, then on `random_inputs` pseudo-random x (each
// with y = b and b - 1, b in [0.5, 1.5]). Equal means equal bits, or both NaN.
inline constexpr std::size_t kExactPowCheckRandomInputs = 2048;
bool exact_pow_matches_library(PowPairBatchFn candidate,
                               std::size_t random_inputs = kExactPowCheckRandomInputs);

namespace exact_pow_detail {

// Both tables have 2^kTableBits rows, picked by the top kTableBits bits of a
// mantissa (log) or by the low kTableBits bits of k (exp). Shifting a
// mantissa right by kTableShift leaves its top bits; shifting k left by it
// puts k / 2^kTableBits, the integer part, into the exponent field.
inline constexpr int kTableBits = 7;
inline constexpr std::size_t kTableRows = std::size_t{1} << kTableBits;
inline constexpr std::uint64_t kTableMask = kTableRows - 1;
inline constexpr int kMantissaBits = 52;
inline constexpr int kTableShift = kMantissaBits - kTableBits;

// The tables and coefficients of ARM's optimized-routines pow (MIT /
// Apache-2.0), as shipped in glibc's libm.
struct alignas(32) LogEntry {
  double invc;  // 1/c for the subinterval's centre c
  double logc;  // log(c) as logc + logctail
  double logctail;
  double unused = 0;  // pads a row to 32 bytes, so two 16-byte loads fetch it
};
struct alignas(16) ExpEntry {
  std::uint64_t tail;   // 2^(j/128) ~ scale * (1 + tail), tail as the bits of a double
  std::uint64_t sbits;  // the bits of scale, less j << kTableShift
};
// Values in exact_pow_tables.cpp.
extern const LogEntry kLogTable[kTableRows];
extern const ExpEntry kExpTable[kTableRows];

// A row's byte offset is its index shifted left by these.
inline constexpr int kLogRowShift = 5;
inline constexpr int kExpRowShift = 4;
static_assert(sizeof(LogEntry) == std::size_t{1} << kLogRowShift);
static_assert(sizeof(ExpEntry) == std::size_t{1} << kExpRowShift);

// The row at byte offset `offset` of `table`, as an array of T.
template <typename T, typename Row>
inline const T* table_row(const Row (&table)[kTableRows], long long offset) {
  return reinterpret_cast<const T*>(reinterpret_cast<const char*>(table) + offset);
}

// {x, b}, checked as pow(x, b) and pow(x, b - 1): inputs on which the
// library's unfused build (and a build fusing only the three multiply-adds
// its source writes out) rounds differently from the fused one.
struct CheckInput {
  double x;
  double b;
};
inline constexpr std::size_t kSeparatingInputCount = 64;
extern const CheckInput kSeparatingInputs[kSeparatingInputCount];

inline constexpr std::uint64_t kLogOffset = 0x3fe6955500000000;  // subintervals start near 1/sqrt(2)
inline constexpr double kLn2Hi = 0x1.62e42fefa38p-1;
inline constexpr double kLn2Lo = 0x1.ef35793c7673p-45;
inline constexpr double kA0 = -0x1p-1;
inline constexpr double kA1 = -0x1.555555555556p-1;
inline constexpr double kA2 = 0x1.0000000000006p-1;
inline constexpr double kA3 = 0x1.999999959554ep-1;
inline constexpr double kA4 = -0x1.555555529a47ap-1;
inline constexpr double kA5 = -0x1.2495b9b4845e9p0;
inline constexpr double kA6 = 0x1.0002b8b263fc3p0;
inline constexpr double kInvLn2N = 0x1.71547652b82fep7;  // 128 / ln 2
inline constexpr double kNegLn2HiN = -0x1.62e42fefap-8;
inline constexpr double kNegLn2LoN = -0x1.cf79abc9e3b3ap-47;
inline constexpr double kShift = 0x1.8p52;  // adding it rounds to an integer in the low bits
inline constexpr std::uint64_t kShiftBits = std::bit_cast<std::uint64_t>(kShift);
inline constexpr double kC2 = 0x1.ffffffffffdbdp-2;
inline constexpr double kC3 = 0x1.555555555543cp-3;
inline constexpr double kC4 = 0x1.55555cf172b91p-5;
inline constexpr double kC5 = 0x1.1111167a4d017p-7;

// The log's exponent k: with the sign bit of x - kLogOffset flipped, its top
// twelve bits are k + kExponentBias; the other bits are the mantissa's.
inline constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
inline constexpr std::uint64_t kSignAndExponent = 0xfffULL << kMantissaBits;
inline constexpr double kExponentBias = 2048;

// The bounds of the common path: positive normal x, and |y log x| where exp
// neither overflows nor underflows and the polynomial holds.
inline constexpr double kMinNormal = 0x1p-1022;
inline constexpr double kMaxFinite = 0x1.fffffffffffffp1023;
inline constexpr double kMinExpArgument = 0x1p-54;
inline constexpr double kMaxExpArgument = 512.0;

// The exponents whose powers the vector path computes itself, by magnitude;
// other lanes go to the library.
inline constexpr double kMinVectorExponent = 0x1p-65;
inline constexpr double kMaxVectorExponent = 0x1p63;

// Whether y is such an exponent (false for NaN).
inline bool exponent_in_range(double y) {
  const double m = y < 0 ? -y : y;
  return m >= kMinVectorExponent && m < kMaxVectorExponent;
}

// r[i] = pow(x[i], y[i]) for the lanes whose bit in `fast` is clear.
[[gnu::cold, gnu::noinline]] void library_lanes(const double* x, const double* y, double* r,
                                                unsigned fast);

#if defined(__x86_64__)

#define TARNWICK_POW_LANES [[gnu::target("avx2,fma"), gnu::always_inline]] inline

// Four 16-byte halves as (a0, a1, b0, b1) from two addresses.
TARNWICK_POW_LANES __m256d pair_rows(const double* a, const double* b) {
  return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(a)), _mm_load_pd(b), 1);
}

// log(x) = hi + lo (|lo| well below an ulp of hi). Meaningful for positive
// normal x; other lanes get garbage without faulting.
TARNWICK_POW_LANES void log4(__m256d x, __m256d& hi, __m256d& lo) {
  const __m256i ix = _mm256_castpd_si256(x);
  const __m256i tmp = _mm256_sub_epi64(ix, _mm256_set1_epi64x(static_cast<long long>(kLogOffset)));
  // The row's byte offset, formed in the vector so that no lane needs a
  // scalar shift after its extract.
  const __m256i i = _mm256_and_si256(_mm256_srli_epi64(tmp, kTableShift - kLogRowShift),
                                     _mm256_set1_epi64x(static_cast<long long>(kTableMask << kLogRowShift)));
  // k = tmp >> 52 (arithmetic). With the sign bit flipped, the top twelve bits
  // are k + kExponentBias; placed under the exponent of kShift they give k exactly.
  const __m256i k_biased = _mm256_srli_epi64(
      _mm256_xor_si256(tmp, _mm256_set1_epi64x(static_cast<long long>(kSignBit))), kMantissaBits);
  const __m256d kd = _mm256_sub_pd(
      _mm256_castsi256_pd(
          _mm256_or_si256(k_biased, _mm256_set1_epi64x(static_cast<long long>(kShiftBits)))),
      _mm256_set1_pd(kShift + kExponentBias));
  const __m256d z = _mm256_castsi256_pd(_mm256_sub_epi64(
      ix, _mm256_and_si256(tmp, _mm256_set1_epi64x(static_cast<long long>(kSignAndExponent)))));

  // Row loads beat gathers here: each lane's three entries are adjacent.
  const double* e0 = table_row<double>(kLogTable, _mm256_extract_epi64(i, 0));
  const double* e1 = table_row<double>(kLogTable, _mm256_extract_epi64(i, 1));
  const double* e2 = table_row<double>(kLogTable, _mm256_extract_epi64(i, 2));
  const double* e3 = table_row<double>(kLogTable, _mm256_extract_epi64(i, 3));
  const __m256d a = pair_rows(e0, e2), b = pair_rows(e1, e3);
  const __m256d c = pair_rows(e0 + 2, e2 + 2), d = pair_rows(e1 + 2, e3 + 2);
  const __m256d invc = _mm256_unpacklo_pd(a, b);
  const __m256d logc = _mm256_unpackhi_pd(a, b);
  const __m256d logctail = _mm256_unpacklo_pd(c, d);

  // z/c - 1 is exact: 1/c is a multiple of 2^-8 and |z/c - 1| < 2^-7.
  const __m256d r = _mm256_fmadd_pd(z, invc, _mm256_set1_pd(-1.0));
  // k ln2 + log c + r, as t2 plus the low parts lo1 and lo2.
  const __m256d t1 = _mm256_fmadd_pd(kd, _mm256_set1_pd(kLn2Hi), logc);
  const __m256d t2 = _mm256_add_pd(t1, r);
  const __m256d lo1 = _mm256_fmadd_pd(kd, _mm256_set1_pd(kLn2Lo), logctail);
  const __m256d lo2 = _mm256_add_pd(_mm256_sub_pd(t1, t2), r);
  // ... + A0 r^2, as hi plus the low parts lo3 and lo4.
  const __m256d ar = _mm256_mul_pd(_mm256_set1_pd(kA0), r);
  const __m256d ar2 = _mm256_mul_pd(r, ar);
  const __m256d ar3 = _mm256_mul_pd(r, ar2);
  const __m256d h = _mm256_add_pd(t2, ar2);
  const __m256d lo3 = _mm256_fmsub_pd(ar, r, ar2);
  const __m256d lo4 = _mm256_add_pd(_mm256_sub_pd(t2, h), ar2);
  // The rest of log1p(r), added into the low part.
  const __m256d q56 = _mm256_fmadd_pd(r, _mm256_set1_pd(kA6), _mm256_set1_pd(kA5));
  const __m256d q34 = _mm256_fmadd_pd(r, _mm256_set1_pd(kA4), _mm256_set1_pd(kA3));
  const __m256d q12 = _mm256_fmadd_pd(r, _mm256_set1_pd(kA2), _mm256_set1_pd(kA1));
  const __m256d q = _mm256_fmadd_pd(ar2, _mm256_fmadd_pd(ar2, q56, q34), q12);
  const __m256d l = _mm256_fmadd_pd(
      ar3, q, _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(lo1, lo2), lo3), lo4));
  hi = _mm256_add_pd(h, l);
  lo = _mm256_add_pd(_mm256_sub_pd(h, hi), l);
}

// exp(ehi + elo) for kMinExpArgument <= |ehi| < kMaxExpArgument.
TARNWICK_POW_LANES __m256d exp4(__m256d ehi, __m256d elo) {
  const __m256d shifted = _mm256_fmadd_pd(ehi, _mm256_set1_pd(kInvLn2N), _mm256_set1_pd(kShift));
  const __m256i ki = _mm256_castpd_si256(shifted);  // k in the low bits
  const __m256d kd = _mm256_sub_pd(shifted, _mm256_set1_pd(kShift));
  // ehi - k ln2/128, plus elo.
  __m256d r = _mm256_fmadd_pd(kd, _mm256_set1_pd(kNegLn2LoN),
                              _mm256_fmadd_pd(kd, _mm256_set1_pd(kNegLn2HiN), ehi));
  r = _mm256_add_pd(r, elo);

  const __m256i j = _mm256_and_si256(_mm256_slli_epi64(ki, kExpRowShift),
                                     _mm256_set1_epi64x(static_cast<long long>(kTableMask << kExpRowShift)));
  const double* e0 = table_row<double>(kExpTable, _mm256_extract_epi64(j, 0));
  const double* e1 = table_row<double>(kExpTable, _mm256_extract_epi64(j, 1));
  const double* e2 = table_row<double>(kExpTable, _mm256_extract_epi64(j, 2));
  const double* e3 = table_row<double>(kExpTable, _mm256_extract_epi64(j, 3));
  const __m256d a = pair_rows(e0, e2), b = pair_rows(e1, e3);
  const __m256d tail = _mm256_unpacklo_pd(a, b);
  // 2^(k/128) = scale * (1 + tail); the integer part of k/128 goes into the exponent.
  const __m256d scale = _mm256_castsi256_pd(_mm256_add_epi64(
      _mm256_castpd_si256(_mm256_unpackhi_pd(a, b)), _mm256_slli_epi64(ki, kTableShift)));

  const __m256d r2 = _mm256_mul_pd(r, r);
  const __m256d q23 = _mm256_fmadd_pd(r, _mm256_set1_pd(kC3), _mm256_set1_pd(kC2));
  const __m256d q45 = _mm256_fmadd_pd(r, _mm256_set1_pd(kC5), _mm256_set1_pd(kC4));
  __m256d t = _mm256_fmadd_pd(q23, r2, _mm256_add_pd(tail, r));
  t = _mm256_fmadd_pd(q45, _mm256_mul_pd(r2, r2), t);
  return _mm256_fmadd_pd(scale, t, scale);
}

// lo <= |v| < hi (false for NaN).
TARNWICK_POW_LANES __m256d magnitude_within(__m256d v, double lo, double hi) {
  const __m256d m = _mm256_andnot_pd(_mm256_set1_pd(-0.0), v);
  return _mm256_and_pd(_mm256_cmp_pd(m, _mm256_set1_pd(lo), _CMP_GE_OQ),
                       _mm256_cmp_pd(m, _mm256_set1_pd(hi), _CMP_LT_OQ));
}

// Lanes where x is a positive normal number (false for NaN).
TARNWICK_POW_LANES __m256d positive_normal(__m256d x) {
  return _mm256_and_pd(_mm256_cmp_pd(x, _mm256_set1_pd(kMinNormal), _CMP_GE_OQ),
                       _mm256_cmp_pd(x, _mm256_set1_pd(kMaxFinite), _CMP_LE_OQ));
}

// exp(y (hi + lo)) from log x = hi + lo, with no check of its range; ehi is
// the rounded product y hi, which the range checks read.
TARNWICK_POW_LANES __m256d exp_of_product(__m256d y, __m256d hi, __m256d lo, __m256d& ehi) {
  // y (hi + lo) as ehi + elo; the fmsub recovers the rounding error of y hi exactly.
  ehi = _mm256_mul_pd(y, hi);
  const __m256d elo = _mm256_fmadd_pd(y, lo, _mm256_fmsub_pd(hi, y, ehi));
  return exp4(ehi, elo);
}

// pow(x, y) from log x = hi + lo, for the lanes set in `ok` (a mask of x
// lanes the log is meant for); the others go to the library.
TARNWICK_POW_LANES __m256d pow_from_log(__m256d x, __m256d y, __m256d hi, __m256d lo, __m256d ok) {
  __m256d ehi;
  __m256d result = exp_of_product(y, hi, lo, ehi);
  ok = _mm256_and_pd(ok, magnitude_within(ehi, kMinExpArgument, kMaxExpArgument));
  ok = _mm256_and_pd(ok, magnitude_within(y, kMinVectorExponent, kMaxVectorExponent));
  const unsigned fast = static_cast<unsigned>(_mm256_movemask_pd(ok));
  if (fast != 0xf) [[unlikely]] {
    alignas(32) double xs[4], ys[4], rs[4];
    _mm256_store_pd(xs, x);
    _mm256_store_pd(ys, y);
    _mm256_store_pd(rs, result);
    library_lanes(xs, ys, rs, fast);
    result = _mm256_load_pd(rs);
  }
  return result;
}

#endif  // __x86_64__

}  // namespace exact_pow_detail

// For exponents y0 and y1 that stay fixed over many calls: a range of
// |log x| inside which both pow(x, y0) and pow(x, y1) keep to the vector
// path, so that one test of the log decides both powers. It is narrower
// than the exact bounds of |y log x| by a margin that covers the rounding of
// y log x, so lanes close to them go to the library, which gives the same
// results. Empty (lo >= hi) where either exponent is outside the vector range.
struct LogBounds {
  double lo, hi;
};
LogBounds pair_log_bounds(double y0, double y1);

#if defined(__x86_64__)

// Callable only from code compiled with target("avx2,fma"), and only when
// exact_pow_vector_enabled(). Results equal std::pow lane by lane.
TARNWICK_POW_LANES __m256d pow4(__m256d x, __m256d y) {
  __m256d hi, lo;
  exact_pow_detail::log4(x, hi, lo);
  return exact_pow_detail::pow_from_log(x, y, hi, lo, exact_pow_detail::positive_normal(x));
}

// pow(x[g], y0) and pow(x[g], y1) for G vectors of x, one log of each: the
// library's log part does not depend on y, so sharing it gives the same bits
// as two calls. Each vector's pow is one long dependent chain; computed phase
// by phase (every log, then every first power, then every second) the G
// chains lie side by side in the instruction stream, where the processor
// overlaps them.
//
// With `second`, pow(x[g], y1) only for the vectors whose bit g is set;
// r1[g] is unspecified for the others.
template <std::size_t G>
TARNWICK_POW_LANES void pow_pairs4(const __m256d (&x)[G], __m256d y0, __m256d y1, __m256d (&r0)[G],
                                   __m256d (&r1)[G], unsigned second = ~0u) {
  __m256d hi[G], lo[G], ok[G];
#pragma GCC unroll 4
  for (std::size_t g = 0; g < G; ++g) {
    exact_pow_detail::log4(x[g], hi[g], lo[g]);
    ok[g] = exact_pow_detail::positive_normal(x[g]);
  }
#pragma GCC unroll 4
  for (std::size_t g = 0; g < G; ++g) {
    r0[g] = exact_pow_detail::pow_from_log(x[g], y0, hi[g], lo[g], ok[g]);
  }
#pragma GCC unroll 4
  for (std::size_t g = 0; g < G; ++g) {
    if ((second >> g) & 1u) {
      r1[g] = exact_pow_detail::pow_from_log(x[g], y1, hi[g], lo[g], ok[g]);
    } else {
      r1[g] = r0[g];
    }
  }
}

// The same for fixed exponents y0 and y1 (every lane alike), with `bounds`
// = pair_log_bounds(y0, y1), and no call: one test of x and its log per
// vector decides which lanes the vector path serves, and the result says
// whether that is every lane the caller uses (those set in `used`, by sign
// bits). Where it is not, the results are unspecified: the caller computes
// them otherwise. Unused lanes may hold any x, which goes through the same
// arithmetic without faulting, so that x need not be replaced first.
template <std::size_t G>
TARNWICK_POW_LANES bool pow_pairs4_bounded(const __m256d (&x)[G], const __m256d (&used)[G], double y0, double y1,
                                           LogBounds bounds, __m256d (&r0)[G], __m256d (&r1)[G],
                                           unsigned second = ~0u) {
  using namespace exact_pow_detail;
  __m256d hi[G], lo[G], missed = _mm256_setzero_pd();
#pragma GCC unroll 4
  for (std::size_t g = 0; g < G; ++g) {
    log4(x[g], hi[g], lo[g]);
    const __m256d ok = _mm256_and_pd(positive_normal(x[g]), magnitude_within(hi[g], bounds.lo, bounds.hi));
    missed = _mm256_or_pd(missed, _mm256_andnot_pd(ok, used[g]));
  }
  const __m256d y0v = _mm256_set1_pd(y0), y1v = _mm256_set1_pd(y1);
  __m256d ehi;
#pragma GCC unroll 4
  for (std::size_t g = 0; g < G; ++g) r0[g] = exp_of_product(y0v, hi[g], lo[g], ehi);
#pragma GCC unroll 4
  for (std::size_t g = 0; g < G; ++g) {
    r1[g] = (second >> g) & 1u ? exp_of_product(y1v, hi[g], lo[g], ehi) : r0[g];
  }
  return _mm256_movemask_pd(missed) == 0;
}

// The same for one vector.
TARNWICK_POW_LANES void pow_pair4(__m256d x, __m256d y0, __m256d y1, __m256d& r0, __m256d& r1) {
  const __m256d xs[1] = {x};
  __m256d p[1], q[1];
  pow_pairs4(xs, y0, y1, p, q);
  r0 = p[0];
  r1 = q[0];
}

#undef TARNWICK_POW_LANES

#endif  // __x86_64__

}  // namespace tarnwick
