// The instruction set the layout's lane code is compiled for, as function
// attributes: the lanes run only where the processor has AVX2 and FMA, so
// the rest of the module keeps to the baseline instruction set. A file may
// name a wider set first, to compile the same lanes for it.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>

#ifndef TARNWICK_LANE_ISA
#define TARNWICK_LANE_ISA "avx2,fma"
#endif
#define TARNWICK_LANES [[gnu::target(TARNWICK_LANE_ISA)]]
#define TARNWICK_LANES_INLINE [[gnu::target(TARNWICK_LANE_ISA), gnu::always_inline]] inline
#endif
