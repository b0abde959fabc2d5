// Test-only: the sample draw of the AVX-512 lanes (index_draws.h), compiled
// as src/layout/lanes_avx512.cpp compiles it.
#include "layout/lane_isa_avx512.h"
// (before any lane header)
#include "index_draws.h"

#include "layout/index_lanes.h"

#if defined(__x86_64__)
const tarnwick::layout::IndexDraw tarnwick::layout::draw_test::avx512_draw = &tarnwick::layout::draw_indices_in_lanes;
#endif
