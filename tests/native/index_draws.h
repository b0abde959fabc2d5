// Test-only: the four-lane sample draw as each lane file compiles it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "layout/sample_stream.h"

namespace tarnwick::layout::draw_test {

void avx2_draw(SplitMix64& rng, const Remainder& remainder, std::size_t count, std::uint64_t* out);
void avx512_draw(SplitMix64& rng, const Remainder& remainder, std::size_t count, std::uint64_t* out);

}  // namespace tarnwick::layout::draw_test
