// The instruction set the layout's lane code is compiled for, as function
// attributes: the lanes run only where the processor has AVX2 and FMA, so
// the rest of the module keeps to the baseline instruction set.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>

#define TARNWICK_LANES [[gnu::target("avx2,fma")]]
#define TARNWICK_LANES_INLINE [[gnu::target("avx2,fma"), gnu::always_inline]] inline
#endif
