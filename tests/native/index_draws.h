// Test-only: the four-lane sample draw as each lane file compiles it
// (x86-64 only).
#pragma once

#include <cstdint>

#include "layout/sample_stream.h"

namespace tarnwick::layout::draw_test {

extern const IndexDraw avx2_draw;
extern const IndexDraw avx512_draw;

// out[q] = z[q] % d for four lanes, as the AVX-512 draw takes remainders
// where d is in [kMinDivisorByDouble, kMaxDivisorByDouble].
using LaneRemainders = void (*)(const std::uint64_t* z, std::uint64_t d, std::uint64_t* out);
extern const LaneRemainders avx512_remainders;
extern const std::uint64_t avx512_min_divisor_by_double;
extern const std::uint64_t avx512_max_divisor_by_double;

}  // namespace tarnwick::layout::draw_test
