// Test-only: the sample draw of the AVX-512 lanes (index_draws.h), with the
// macros of src/layout/lanes_avx512.cpp.
#if defined(__x86_64__)
#define TARNWICK_LANE_ISA "avx2,fma,avx512f,avx512dq,avx512vl"
#define TARNWICK_LANE_MUL64 1
#endif
#include "index_draws.h"

#include "layout/index_lanes.h"

namespace tarnwick::layout::draw_test {

#if defined(__x86_64__)
void avx512_draw(SplitMix64& rng, const Remainder& remainder, std::size_t count, std::uint64_t* out) {
  draw_indices_in_lanes(rng, remainder, count, out);
}
#endif

}  // namespace tarnwick::layout::draw_test
