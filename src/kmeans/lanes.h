// x86 building blocks of the kernels that run one row per lane: the vector
// operations every width spells alike (LaneOps), column loads (a block of
// consecutive rows, row stride `stride`, brought into registers column by
// column, so that lane r of a column holds that column's element of row r)
// and the least of a vector's lanes. Included only by files compiled for
// AVX2 or AVX-512, whose flags the code here relies on.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>

namespace tarnwick::lanes {
// Internal to each file that includes it: a file compiled for a wider
// instruction set (assign_avx512.cpp) compiles these with its own flags, and
// the linker must not hand that copy to code that runs on any CPU.
namespace {

// The operations of a kernel's vector type that are the same at every width,
// for the register types of P (F floats, I int32 labels, Mask the result of
// a comparison): written with the compilers' vector arithmetic, which is
// what the intrinsics expand to.
template <class P>
struct LaneOps {
  using F = typename P::F;
  using I = typename P::I;
  using Mask = typename P::Mask;
  static constexpr std::size_t kWidth = sizeof(F) / sizeof(float);
  static F zero() { return F{}; }
  static F load(const float* p) {
    F v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
  }
  static void store(float* p, F v) { __builtin_memcpy(p, &v, sizeof v); }
  static void store_labels(std::int32_t* p, I v) { __builtin_memcpy(p, &v, sizeof v); }
  static I load_labels(const std::int32_t* p) {
    I v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
  }
  static F add(F a, F b) { return a + b; }
  static F sub(F a, F b) { return a - b; }
};

// Columns 0-7 of eight registers of rows: the 8×8 transpose within each
// 128-bit lane (two rounds of shuffles), then the halves of registers c and
// c + 4 joined. P gives the shuffles of one register width.
template <class P>
[[gnu::always_inline]] inline void transpose8(const typename P::F (&t)[8], typename P::F* column) {
  typename P::F u[8], v[8];
#pragma GCC unroll 8
  for (int i = 0; i < 8; i += 2) {
    u[i] = P::unpack_lo(t[i], t[i + 1]);
    u[i + 1] = P::unpack_hi(t[i], t[i + 1]);
  }
#pragma GCC unroll 8
  for (int i = 0; i < 8; i += 4) {
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
      v[i + 2 * h] = P::template shuffle<_MM_SHUFFLE(1, 0, 1, 0)>(u[i + h], u[i + h + 2]);
      v[i + 2 * h + 1] = P::template shuffle<_MM_SHUFFLE(3, 2, 3, 2)>(u[i + h], u[i + h + 2]);
    }
  }
#pragma GCC unroll 4
  for (int c = 0; c < 4; ++c) column[c] = P::join_lo(v[c], v[c + 4]);
#pragma GCC unroll 4
  for (int c = 0; c < 4; ++c) column[c + 4] = P::join_hi(v[c], v[c + 4]);
}

// The 256-bit registers: their types, and their shuffles for transpose8 (a
// join takes the low, or high, 128-bit halves of both).
struct Ymm {
  using F = __m256;
  using I = __m256i;
  using Mask = __m256;
  static F unpack_lo(F a, F b) { return _mm256_unpacklo_ps(a, b); }
  static F unpack_hi(F a, F b) { return _mm256_unpackhi_ps(a, b); }
  template <int kImm>
  static F shuffle(F a, F b) {
    return _mm256_shuffle_ps(a, b, kImm);
  }
  static F join_lo(F a, F b) { return _mm256_permute2f128_ps(a, b, 0x20); }
  static F join_hi(F a, F b) { return _mm256_permute2f128_ps(a, b, 0x31); }
};

// Columns 0-7 of eight rows.
inline void columns8x8(const float* rows, std::size_t stride, __m256 column[8]) {
  __m256 t[8];
#pragma GCC unroll 8
  for (std::size_t r = 0; r < 8; ++r) t[r] = _mm256_loadu_ps(rows + r * stride);
  transpose8<Ymm>(t, column);
}

// The least of eight floats (none NaN) in every lane: each lane against its
// partner half, a quarter and an eighth of the register away.
inline __m256 least_of8_everywhere(__m256 v) {
  v = _mm256_min_ps(v, _mm256_permute2f128_ps(v, v, 1));
  v = _mm256_min_ps(v, _mm256_permute_ps(v, _MM_SHUFFLE(1, 0, 3, 2)));
  return _mm256_min_ps(v, _mm256_permute_ps(v, _MM_SHUFFLE(2, 3, 0, 1)));
}

#if defined(__AVX512F__)
// GCC 12's AVX-512 intrinsics pass a deliberately undefined operand, which
// its own uninitialised-use analysis then reports once they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// The 512-bit registers: their types, and their shuffles for transpose8 (a
// join takes 128-bit lanes 0 and 2, or 1 and 3, of both).
struct Zmm {
  using F = __m512;
  using I = __m512i;
  using Mask = __mmask16;
  static F unpack_lo(F a, F b) { return _mm512_unpacklo_ps(a, b); }
  static F unpack_hi(F a, F b) { return _mm512_unpackhi_ps(a, b); }
  template <int kImm>
  static F shuffle(F a, F b) {
    return _mm512_shuffle_ps(a, b, kImm);
  }
  static F join_lo(F a, F b) { return _mm512_shuffle_f32x4(a, b, _MM_SHUFFLE(2, 0, 2, 0)); }
  static F join_hi(F a, F b) { return _mm512_shuffle_f32x4(a, b, _MM_SHUFFLE(3, 1, 3, 1)); }
};

// The low halves of lo and hi, in that order.
inline __m512 low_halves(__m512 lo, __m512 hi) {
  return _mm512_shuffle_f32x4(lo, hi, _MM_SHUFFLE(1, 0, 1, 0));
}

// The least of sixteen floats (none NaN) in every lane: each lane against
// its partner half, a quarter, an eighth and a sixteenth of the register
// away, with no broadcast after.
inline __m512 least_of16_everywhere(__m512 v) {
  v = _mm512_min_ps(v, _mm512_shuffle_f32x4(v, v, _MM_SHUFFLE(1, 0, 3, 2)));
  v = _mm512_min_ps(v, _mm512_shuffle_f32x4(v, v, _MM_SHUFFLE(2, 3, 0, 1)));
  v = _mm512_min_ps(v, _mm512_permute_ps(v, _MM_SHUFFLE(1, 0, 3, 2)));
  return _mm512_min_ps(v, _mm512_permute_ps(v, _MM_SHUFFLE(2, 3, 0, 1)));
}

// The 16×16 transpose in place: lane e of v[r] goes to lane r of v[e].
// Pairs of floats, then of doubles, interleaved within 128-bit lanes, then
// two rounds of 128-bit lane shuffles put the four row quarters in order.
inline void transpose16(__m512 (&v)[16]) {
  __m512 t[16];
#pragma GCC unroll 8
  for (int i = 0; i < 16; i += 2) {
    t[i] = _mm512_unpacklo_ps(v[i], v[i + 1]);
    t[i + 1] = _mm512_unpackhi_ps(v[i], v[i + 1]);
  }
  const auto lo = [](__m512 a, __m512 b) {
    return _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
  };
  const auto hi = [](__m512 a, __m512 b) {
    return _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
  };
  // u[4i + c]: in 128-bit lane L, column 4L + c of rows 4i .. 4i + 3.
  __m512 u[16];
#pragma GCC unroll 4
  for (int i = 0; i < 16; i += 4) {
    u[i] = lo(t[i], t[i + 2]);
    u[i + 1] = hi(t[i], t[i + 2]);
    u[i + 2] = lo(t[i + 1], t[i + 3]);
    u[i + 3] = hi(t[i + 1], t[i + 3]);
  }
  constexpr int kEven = _MM_SHUFFLE(2, 0, 2, 0), kOdd = _MM_SHUFFLE(3, 1, 3, 1);
#pragma GCC unroll 4
  for (int c = 0; c < 4; ++c) {
    const __m512 s0 = _mm512_shuffle_f32x4(u[c], u[4 + c], kEven);
    const __m512 s1 = _mm512_shuffle_f32x4(u[c], u[4 + c], kOdd);
    const __m512 r0 = _mm512_shuffle_f32x4(u[8 + c], u[12 + c], kEven);
    const __m512 r1 = _mm512_shuffle_f32x4(u[8 + c], u[12 + c], kOdd);
    v[c] = _mm512_shuffle_f32x4(s0, r0, kEven);
    v[8 + c] = _mm512_shuffle_f32x4(s0, r0, kOdd);
    v[4 + c] = _mm512_shuffle_f32x4(s1, r1, kEven);
    v[12 + c] = _mm512_shuffle_f32x4(s1, r1, kOdd);
  }
}

// Columns 0-7 of row r in the low half, of row r + 4 in the high half.
inline __m512 row_pair(const float* rows, std::size_t stride, std::size_t r) {
  return low_halves(_mm512_zextps256_ps512(_mm256_loadu_ps(rows + r * stride)),
                    _mm512_zextps256_ps512(_mm256_loadu_ps(rows + (r + 4) * stride)));
}

// Columns 0-7 of sixteen rows: transpose8 on the row pairs of rows 0-3
// (with 4-7) and 8-11 (with 12-15). 128-bit lane L of the in-lane result
// holds column c (L even) or c + 4 (L odd) of rows 0-3 (L < 2) or 4-7
// (L >= 2), and the same for rows 8-15; the joins put the sixteen rows in
// order.
inline void columns16x8(const float* rows, std::size_t stride, __m512 column[8]) {
  __m512 t[8];
#pragma GCC unroll 8
  for (std::size_t i = 0; i < 8; ++i) t[i] = row_pair(rows, stride, i < 4 ? i : i + 4);
  transpose8<Zmm>(t, column);
}

#pragma GCC diagnostic pop
#endif  // __AVX512F__

}  // namespace
}  // namespace tarnwick::lanes
#endif  // __x86_64__
