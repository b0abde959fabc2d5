// The NEON vector type of the assignment kernel on 64-bit Arm: four rows (or
// centroids) to a register. vfmaq_f32 rounds once, like every other path.
#pragma once

#if defined(__aarch64__)
#include <arm_neon.h>

#include "kmeans/assign.h"

namespace tarnwick::assign_detail {
// Internal to each file that includes it, as the kernel templates are.
namespace {

struct Neon {
  static constexpr std::size_t kWidth = 4;
  // As AVX-512, with thirty-two registers too: four row vectors by five
  // centroids, twenty accumulators; centroids in lanes sixteen (sixteen rows
  // by one vector, eight by two); narrow rows four vectors.
  static constexpr TileShape kTiles{4, 5, 16, 8, 4, 0};
  using F = float32x4_t;
  using I = int32x4_t;
  using Mask = uint32x4_t;
  static F zero() { return vdupq_n_f32(0.0f); }
  static F load(const float* p) { return vld1q_f32(p); }
  static F set1(float x) { return vdupq_n_f32(x); }
  static F fma(F a, F b, F c) { return vfmaq_f32(c, a, b); }
  static F add(F a, F b) { return vaddq_f32(a, b); }
  static F sub(F a, F b) { return vsubq_f32(a, b); }
  static Mask less(F a, F b) { return vcltq_f32(a, b); }
  static F select(Mask m, F a, F b) { return vbslq_f32(m, a, b); }
  static I select(Mask m, I a, I b) { return vbslq_s32(m, a, b); }
  static I set1_label(Label j) { return vdupq_n_s32(j); }
  static I add_labels(I a, I b) { return vaddq_s32(a, b); }
  static void store(float* p, F v) { vst1q_f32(p, v); }
  static void store_labels(Label* p, I v) { vst1q_s32(p, v); }
  static I load_labels(const Label* p) { return vld1q_s32(p); }
  static float least_lane(F v) { return vminvq_f32(v); }
  static unsigned equal_bits(F a, F b) {
    const uint32x4_t lane_bit = {1, 2, 4, 8};
    return vaddvq_u32(vandq_u32(vceqq_f32(a, b), lane_bit));
  }
  // Columns of four rows of D floats: the deinterleaving loads.
  template <std::size_t D>
  static void columns(const float* rows, F (&column)[D]) {
    if constexpr (D == 1) {
      column[0] = vld1q_f32(rows);
    } else if constexpr (D == 2) {
      const float32x4x2_t v = vld2q_f32(rows);
      column[0] = v.val[0], column[1] = v.val[1];
    } else if constexpr (D == 3) {
      const float32x4x3_t v = vld3q_f32(rows);
      column[0] = v.val[0], column[1] = v.val[1], column[2] = v.val[2];
    } else {
      const float32x4x4_t v = vld4q_f32(rows);
      column[0] = v.val[0], column[1] = v.val[1], column[2] = v.val[2], column[3] = v.val[3];
    }
  }
};

}  // namespace
}  // namespace tarnwick::assign_detail
#endif
