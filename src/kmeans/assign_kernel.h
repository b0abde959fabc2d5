// The fused assignment kernel, written once over a vector type V and
// compiled once per instruction set (assign_*.cpp). Included only by those
// files, each of which instantiates it inside an anonymous namespace: code
// compiled for a wider instruction set must never be shared, through the
// linker, with code that runs on any CPU. For the same reason it uses no
// library templates.
//
// Lanes are rows: a group of up to G vectors of W rows is first rearranged
// so that, for each l, the group's X[., l] lie side by side; then for each
// tile of M centroids and each l, one broadcast of C[j, l] per centroid and
// one fma per (row vector, centroid). So every lane performs exactly the
// chain of the contract in assign.h. The running best score and label of
// each row stay in registers across all k centroids.
//
// V provides: kWidth; types F (floats), I (int32 labels), Mask; zero,
// load, set1, fma(a, b, c) = a·b + c rounded once, add, sub, less (ordered
// a < b), select(mask, a, b) = mask ? a : b for F and I, set1_label,
// store, store_labels; optionally columns8 (see rearrange).
#pragma once

#include <cstddef>
#include <cstdint>

#include "kmeans/assign.h"

namespace tarnwick::assign_detail {
namespace {

constexpr float kPlusInf = __builtin_inff();

// The contract's chain and scan for one row: rows that do not fill a vector.
inline Label scalar_label(const float* x, const AssignBlock& b) {
  float best = kPlusInf;
  Label label = 0;
  for (std::size_t j = 0; j < b.k; ++j) {
    const float* c = b.C + j * b.d;
    float acc = 0.0f;
    for (std::size_t l = 0; l < b.d; ++l) acc = __builtin_fmaf(x[l], c[l], acc);
    const float score = b.norms[j] - (acc + acc);
    if (score < best) {
      best = score;
      label = static_cast<Label>(j);
    }
  }
  return label;
}

inline void scalar_products(const float* x, const AssignBlock& b, float* g) {
  for (std::size_t j = 0; j < b.k; ++j) {
    const float* c = b.C + j * b.d;
    float acc = 0.0f;
    for (std::size_t l = 0; l < b.d; ++l) acc = __builtin_fmaf(x[l], c[l], acc);
    g[j] = acc;
  }
}

template <class V, std::size_t G, std::size_t M>
struct FusedAssign {
  using F = typename V::F;
  using I = typename V::I;
  static constexpr std::size_t W = V::kWidth;
  static constexpr std::size_t kGroupRows = G * W;

  // Rows [0, NV·W) of X into `panel` lanes-first: X[r, l] goes to
  // panel[(l·NV + r / W)·W + r % W]. Eight columns at a time by register
  // transposes where V has them (V::columns8: columns 0-7 of W rows).
  template <std::size_t NV>
  static void rearrange(const float* X, std::size_t d, float* panel) {
    constexpr std::size_t kStride = NV * W;
    for (std::size_t g = 0; g < NV; ++g) {
      const float* rows = X + g * W * d;
      float* dst = panel + g * W;
      std::size_t l = 0;
      if constexpr (requires(F* column) { V::columns8(rows, d, column); }) {
        for (; l + 8 <= d; l += 8) {
          F column[8];
          V::columns8(rows + l, d, column);
#pragma GCC unroll 8
          for (std::size_t c = 0; c < 8; ++c) V::store(dst + (l + c) * kStride, column[c]);
        }
      }
      // Column by column: W stores side by side per column, with no loop
      // overhead per element (this is all of it for narrow rows).
      for (; l < d; ++l)
#pragma GCC unroll 16
        for (std::size_t r = 0; r < W; ++r) dst[l * kStride + r] = rows[r * d + l];
    }
  }

  // acc[g][m] = the chain of row vector g with centroid j0 + m.
  template <std::size_t NV, std::size_t MM>
  [[gnu::always_inline]] static inline void tile(const float* panel, const AssignBlock& b,
                                                 std::size_t j0, F (&acc)[NV][MM]) {
#pragma GCC unroll 8
    for (std::size_t g = 0; g < NV; ++g)
#pragma GCC unroll 8
      for (std::size_t m = 0; m < MM; ++m) acc[g][m] = V::zero();
    const std::size_t d = b.d;
    const float* c = b.C + j0 * d;
    for (std::size_t l = 0; l < d; ++l) {
      F x[NV];
#pragma GCC unroll 8
      for (std::size_t g = 0; g < NV; ++g) x[g] = V::load(panel + (l * NV + g) * W);
#pragma GCC unroll 8
      for (std::size_t m = 0; m < MM; ++m) {
        const F cm = V::set1(c[m * d + l]);
#pragma GCC unroll 8
        for (std::size_t g = 0; g < NV; ++g) acc[g][m] = V::fma(x[g], cm, acc[g][m]);
      }
    }
  }

  // Folds centroids j0 .. j0 + MM - 1 into each row's running best.
  template <std::size_t NV, std::size_t MM>
  static void fold(const float* panel, const AssignBlock& b, std::size_t j0, F (&best)[NV],
                   I (&label)[NV]) {
    F acc[NV][MM];
    tile<NV, MM>(panel, b, j0, acc);
#pragma GCC unroll 8
    for (std::size_t m = 0; m < MM; ++m) {
      const F norm = V::set1(b.norms[j0 + m]);
      const I index = V::set1_label(static_cast<Label>(j0 + m));
#pragma GCC unroll 8
      for (std::size_t g = 0; g < NV; ++g) {
        const F score = V::sub(norm, V::add(acc[g][m], acc[g][m]));
        const auto lt = V::less(score, best[g]);
        best[g] = V::select(lt, score, best[g]);
        label[g] = V::select(lt, index, label[g]);
      }
    }
  }

  template <std::size_t NV>
  static void label_group(const float* panel, const AssignBlock& b, Label* out) {
    F best[NV];
    I label[NV];
    for (std::size_t g = 0; g < NV; ++g) {
      best[g] = V::set1(kPlusInf);
      label[g] = V::set1_label(0);
    }
    std::size_t j = 0;
    for (; j + M <= b.k; j += M) fold<NV, M>(panel, b, j, best, label);
    with_count<M>(b.k - j, [&](auto mm) { fold<NV, decltype(mm)::value>(panel, b, j, best, label); });
    for (std::size_t g = 0; g < NV; ++g) V::store_labels(out + g * W, label[g]);
  }

  template <std::size_t NV>
  static void product_group(const float* panel, const AssignBlock& b, float* G_rows) {
    const auto store = [&](std::size_t j0, auto& acc, std::size_t mm) {
      alignas(64) float lanes[W];
      for (std::size_t g = 0; g < NV; ++g)
        for (std::size_t m = 0; m < mm; ++m) {
          V::store(lanes, acc[g][m]);
          for (std::size_t r = 0; r < W; ++r) G_rows[(g * W + r) * b.k + j0 + m] = lanes[r];
        }
    };
    std::size_t j = 0;
    for (; j + M <= b.k; j += M) {
      F acc[NV][M];
      tile<NV, M>(panel, b, j, acc);
      store(j, acc, M);
    }
    with_count<M>(b.k - j, [&](auto mm) {
      F acc[NV][decltype(mm)::value];
      tile<NV, decltype(mm)::value>(panel, b, j, acc);
      store(j, acc, decltype(mm)::value);
    });
  }

  // Calls f with an integral-constant-like value of `count`, 1 <= count < N;
  // nothing for 0.
  template <std::size_t N, class Fn>
  static void with_count(std::size_t count, Fn&& f) {
    if constexpr (N > 1) {
      if (count == N - 1) {
        f(Count<N - 1>{});
        return;
      }
      with_count<N - 1>(count, f);
    }
  }

  template <std::size_t N>
  struct Count {
    static constexpr std::size_t value = N;
  };

  // Whole groups of G vectors, then one group of the vectors left, then
  // the rows left one at a time.
  template <class Group, class Row>
  static void each_group(const AssignBlock& b, float* panel, Group&& group, Row&& row) {
    std::size_t i = 0;
    for (; i + kGroupRows <= b.rows; i += kGroupRows) {
      rearrange<G>(b.X + i * b.d, b.d, panel);
      group(Count<G>{}, i);
    }
    with_count<G>((b.rows - i) / W, [&](auto nv) {
      rearrange<decltype(nv)::value>(b.X + i * b.d, b.d, panel);
      group(nv, i);
      i += decltype(nv)::value * W;
    });
    for (; i < b.rows; ++i) row(i);
  }

  static void labels(const AssignBlock& b, Label* out, float* panel) {
    each_group(
        b, panel,
        [&](auto nv, std::size_t i) { label_group<decltype(nv)::value>(panel, b, out + i); },
        [&](std::size_t i) { out[i] = scalar_label(b.X + i * b.d, b); });
  }

  static void products(const AssignBlock& b, float* G_out, float* panel) {
    each_group(
        b, panel,
        [&](auto nv, std::size_t i) {
          product_group<decltype(nv)::value>(panel, b, G_out + i * b.k);
        },
        [&](std::size_t i) { scalar_products(b.X + i * b.d, b, G_out + i * b.k); });
  }

  static Kernel kernel() { return Kernel{kGroupRows, &labels, &products}; }
};

}  // namespace
}  // namespace tarnwick::assign_detail
