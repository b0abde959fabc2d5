// Test-only: the products of each arrangement of the kernel templates, for
// Layouts<V> of a vector type V; included by assign_products_*.cpp. The
// same tiles and chains as the labels, stored instead of scanned.
#pragma once

#include "assign_paths.h"
#include "kmeans/assign_kernel.h"

namespace tarnwick::assign_detail {
namespace {

inline void scalar_products(const float* x, const AssignBlock& b, float* g) {
  for (std::size_t j = 0; j < b.k; ++j) {
    const float* c = b.C + j * b.d;
    float acc = 0.0f;
    for (std::size_t l = 0; l < b.d; ++l) acc = __builtin_fmaf(x[l], c[l], acc);
    g[j] = acc;
  }
}

// Lane r of acc[g][m] into G_rows[(g·W + r)·k + j0 + m], for m < mm.
template <class V, std::size_t NV, class Acc>
void store_chains(const Acc& acc, std::size_t mm, std::size_t j0, std::size_t k, float* G_rows) {
  constexpr std::size_t W = V::kWidth;
  alignas(64) float lanes[W];
  for (std::size_t g = 0; g < NV; ++g)
    for (std::size_t m = 0; m < mm; ++m) {
      V::store(lanes, acc[g][m]);
      for (std::size_t r = 0; r < W; ++r) G_rows[(g * W + r) * k + j0 + m] = lanes[r];
    }
}

template <class V>
struct ProductsOf {
  using L = Layouts<V>;
  using F = typename V::F;
  static constexpr std::size_t M = L::kTiles.centroids;

  template <std::size_t NV>
  static void rows_group(const float* panel, const AssignBlock& b, float* G_rows) {
    std::size_t j = 0;
    for (; j + M <= b.k; j += M) {
      F acc[NV][M];
      L::Rows::template tile<NV, M>(panel, b, j, acc);
      store_chains<V, NV>(acc, M, j, b.k, G_rows);
    }
    with_count<M>(b.k - j, [&](auto mm) {
      F acc[NV][decltype(mm)::value];
      L::Rows::template tile<NV, decltype(mm)::value>(panel, b, j, acc);
      store_chains<V, NV>(acc, decltype(mm)::value, j, b.k, G_rows);
    });
  }

  static void rows(const AssignBlock& b, float* G, float* panel) {
    L::Rows::each_group(
        b, panel,
        [&](auto nv, std::size_t i) { rows_group<decltype(nv)::value>(panel, b, G + i * b.k); },
        [&](std::size_t i) { scalar_products(b.X + i * b.d, b, G + i * b.k); });
  }

  template <std::size_t D, std::size_t NV>
  static void narrow_group(const float* rows, const AssignBlock& b, float* G_rows) {
    F x[NV][D];
    for (std::size_t g = 0; g < NV; ++g) L::Narrow::template load_columns<D>(rows + g * V::kWidth * D, x[g]);
    for (std::size_t j = 0; j < b.k; ++j) {
      F acc[NV][1];
      L::Narrow::template chains<D, NV, 1>(x, b.C, j, acc);
      store_chains<V, NV>(acc, 1, j, b.k, G_rows);
    }
  }

  static void narrow(const AssignBlock& b, float* G) {
    with_count<kNarrowMax + 1>(b.d, [&](auto dd) {
      constexpr std::size_t D = decltype(dd)::value;
      each_row_group<L::kTiles.narrow_vectors, V::kWidth>(
          b.rows,
          [&](auto nv, std::size_t i) {
            narrow_group<D, decltype(nv)::value>(b.X + i * D, b, G + i * b.k);
          },
          [&](std::size_t i) { scalar_products(b.X + i * D, b, G + i * b.k); });
    });
  }

  template <class Lanes>
  static void centroids_in(const AssignBlock& b, float* G, float* scratch) {
    const float* panel = Lanes::laid_out(b, scratch);
    Lanes::each_tile(b, panel, [&](auto rr, std::size_t i, auto& acc) {
      for (std::size_t r = 0; r < decltype(rr)::value; ++r) {
        alignas(64) float g[Lanes::kLanes];
        for (std::size_t q = 0; q < Lanes::kLanes / V::kWidth; ++q) V::store(g + q * V::kWidth, acc[r][q]);
        for (std::size_t j = 0; j < b.k; ++j) G[(i + r) * b.k + j] = g[j];
      }
    });
  }

  static void few(const AssignBlock& b, float* G, float* scratch) {
    using Few = typename L::Few;
    const float* panel = centroids_laid_out<Few>(b, scratch);
    with_count<L::kTiles.few_centroids + 1>(b.k, [&](auto kk) {
      Few::template each_vector<decltype(kk)::value>(
          b, panel,
          [&](std::size_t i, const auto& acc) { store_chains<V, 1>(acc, b.k, 0, b.k, G + i * b.k); },
          [&](std::size_t i) { scalar_products(b.X + i * b.d, b, G + i * b.k); });
    });
  }

  // Which arrangement a block takes is the kernel's own choice (Layouts).
  static assign_test::Products get() {
    return {
        [](const AssignBlock& b, float* G, float* panel) {
          L::narrow(b.d) ? narrow(b, G) : rows(b, G, panel);
        },
        [](const AssignBlock& b, float* G, float* panel) {
          if (L::few(b.k)) return few(b, G, panel);
          L::one_vector(b.k) ? centroids_in<typename L::One>(b, G, panel)
                             : centroids_in<typename L::Two>(b, G, panel);
        },
        [](std::size_t d) { return block_centroids(d, L::Rows::vectors(d) * V::kWidth, M); },
    };
  }
};

}  // namespace
}  // namespace tarnwick::assign_detail
