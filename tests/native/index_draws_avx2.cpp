// Test-only: the sample draw of the AVX2 lanes (index_draws.h).
#include "index_draws.h"

#include "layout/index_lanes.h"

namespace tarnwick::layout::draw_test {

#if defined(__x86_64__)
void avx2_draw(SplitMix64& rng, const Remainder& remainder, std::size_t count, std::uint64_t* out) {
  draw_indices_in_lanes(rng, remainder, count, out);
}
#endif

}  // namespace tarnwick::layout::draw_test
