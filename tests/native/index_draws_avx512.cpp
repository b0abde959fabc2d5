// Test-only: the sample draw of the AVX-512 lanes (index_draws.h), compiled
// as src/layout/lanes_avx512.cpp compiles it.
#include "layout/lane_isa_avx512.h"
// (before any lane header)
#include "index_draws.h"

#include "layout/index_lanes.h"

#if defined(__x86_64__)
namespace tarnwick::layout {
namespace {
TARNWICK_LANES void remainders(const std::uint64_t* z, std::uint64_t d, std::uint64_t* out) {
  const __m256i r =
      remainder_by_double(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(z)), divisor_by_double(d));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), r);
}
}  // namespace
}  // namespace tarnwick::layout

const tarnwick::layout::IndexDraw tarnwick::layout::draw_test::avx512_draw = &tarnwick::layout::draw_indices_in_lanes;
const tarnwick::layout::draw_test::LaneRemainders tarnwick::layout::draw_test::avx512_remainders =
    &tarnwick::layout::remainders;
const std::uint64_t tarnwick::layout::draw_test::avx512_min_divisor_by_double =
    tarnwick::layout::kMinDivisorByDouble;
const std::uint64_t tarnwick::layout::draw_test::avx512_max_divisor_by_double =
    tarnwick::layout::kMaxDivisorByDouble;
#endif
