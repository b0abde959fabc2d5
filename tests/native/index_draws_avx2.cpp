// Test-only: the sample draw of the AVX2 lanes (index_draws.h).
#include "index_draws.h"

#include "layout/index_lanes.h"

#if defined(__x86_64__)
const tarnwick::layout::IndexDraw tarnwick::layout::draw_test::avx2_draw = &tarnwick::layout::draw_indices_in_lanes;
#endif
