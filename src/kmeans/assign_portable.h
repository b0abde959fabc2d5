// The portable vector type of the assignment kernel: lanes as plain arrays
// and one fmaf per lane, for CPUs without a vector path of their own. The C
// library's fmaf rounds once there too, in software where the CPU has no FMA.
#pragma once

#include <cstddef>

#include "kmeans/assign.h"

namespace tarnwick::assign_detail {
// Internal to each file that includes it, as the kernel templates are.
namespace {

struct Portable {
  static constexpr std::size_t kWidth = 4;
  // Rows in lanes: AVX2's tile, the x86-64 baseline having sixteen vector
  // registers too. Centroids in lanes: four accumulators a tile (four rows by
  // one vector, two by two), since each fmaf here is a scalar operation of
  // its own and a wider tile would only grow the code. Narrow rows: two
  // vectors.
  static constexpr TileShape kTiles{2, 5, 4, 2, 2, 0};
  struct F {
    float v[kWidth];
  };
  struct I {
    Label v[kWidth];
  };
  struct Mask {
    bool v[kWidth];
  };
  template <class R, class Op>
  static R lanewise(Op op) {
    R r;
    for (std::size_t i = 0; i < kWidth; ++i) r.v[i] = op(i);
    return r;
  }
  static F zero() { return set1(0.0f); }
  static F load(const float* p) { return lanewise<F>([&](std::size_t i) { return p[i]; }); }
  static F set1(float x) { return lanewise<F>([&](std::size_t) { return x; }); }
  static F fma(F a, F b, F c) {
    return lanewise<F>([&](std::size_t i) { return __builtin_fmaf(a.v[i], b.v[i], c.v[i]); });
  }
  static F add(F a, F b) { return lanewise<F>([&](std::size_t i) { return a.v[i] + b.v[i]; }); }
  static F sub(F a, F b) { return lanewise<F>([&](std::size_t i) { return a.v[i] - b.v[i]; }); }
  static Mask less(F a, F b) { return lanewise<Mask>([&](std::size_t i) { return a.v[i] < b.v[i]; }); }
  static F select(Mask m, F a, F b) {
    return lanewise<F>([&](std::size_t i) { return m.v[i] ? a.v[i] : b.v[i]; });
  }
  static I select(Mask m, I a, I b) {
    return lanewise<I>([&](std::size_t i) { return m.v[i] ? a.v[i] : b.v[i]; });
  }
  static I set1_label(Label j) { return lanewise<I>([&](std::size_t) { return j; }); }
  static I add_labels(I a, I b) { return lanewise<I>([&](std::size_t i) { return a.v[i] + b.v[i]; }); }
  static void store(float* p, F v) {
    for (std::size_t i = 0; i < kWidth; ++i) p[i] = v.v[i];
  }
  static void store_labels(Label* p, I v) {
    for (std::size_t i = 0; i < kWidth; ++i) p[i] = v.v[i];
  }
  static I load_labels(const Label* p) { return lanewise<I>([&](std::size_t i) { return p[i]; }); }
};


}  // namespace
}  // namespace tarnwick::assign_detail
