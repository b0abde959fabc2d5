// Test-only: the four-lane sample draw as each lane file compiles it
// (x86-64 only).
#pragma once

#include "layout/sample_stream.h"

namespace tarnwick::layout::draw_test {

extern const IndexDraw avx2_draw;
extern const IndexDraw avx512_draw;

}  // namespace tarnwick::layout::draw_test
