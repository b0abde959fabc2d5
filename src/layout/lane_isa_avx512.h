// What a file names before including the lane headers to compile them for
// AVX-512 (F, DQ and VL): the instruction set and the choices it affords.
// Included first, and only by files that run where the processor has it.
#pragma once

#if defined(__x86_64__)
#define TARNWICK_LANE_ISA "avx2,fma,avx512f,avx512dq,avx512vl"
#define TARNWICK_SECOND_POWER_WHERE_ATTRACTING 1
#define TARNWICK_LANE_MUL64 1  // AVX-512DQ multiplies 64-bit lanes
#endif
