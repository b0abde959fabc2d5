#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "assign_paths.h"
#include "kmeans/assign.h"
#include "support/cpu_features.h"

namespace tarnwick {
namespace {

// Every path this CPU can run: the module's kernel and the test-only products.
struct Path {
  const char* name;
  assign_detail::Kernel kernel;
  assign_test::Products products;
};

std::vector<Path> available_paths() {
  std::vector<Path> paths{{"portable", assign_detail::portable_kernel(), assign_test::portable_products()}};
#if defined(__x86_64__)
  if (has_avx2_fma()) paths.push_back({"avx2", assign_detail::avx2_kernel(), assign_test::avx2_products()});
  if (has_avx512()) paths.push_back({"avx512", assign_detail::avx512_kernel(), assign_test::avx512_products()});
#elif defined(__aarch64__)
  paths.push_back({"neon", assign_detail::neon_kernel(), assign_test::neon_products()});
#endif
  return paths;
}

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Case {
  std::size_t rows, d, k;
  std::vector<float> X, C, norms;
  AssignBlock block() const { return {X.data(), rows, d, C.data(), k, norms.data()}; }
};

// Normal values scaled by 2^-40 .. 2^60, small integers (exact ties), NaN,
// ±inf, ±0; every third centroid a copy of an earlier one.
Case make_case(std::mt19937_64& gen, std::size_t rows, std::size_t d, std::size_t k) {
  Case c{rows, d, k, std::vector<float>(rows * d), std::vector<float>(k * d), std::vector<float>(k)};
  std::normal_distribution<float> normal;
  const int style = int(gen() % 3);
  auto value = [&] {
    switch (gen() % 50) {
      case 0: return kNaN;
      case 1: return kInf;
      case 2: return -kInf;
      case 3: return -0.0f;
      case 4: return 0.0f;
    }
    if (style == 0) return float(int(gen() % 7) - 3);
    if (style == 1) return normal(gen);
    return std::ldexp(normal(gen), int(gen() % 101) - 40);
  };
  for (float& x : c.X) x = style == 0 && gen() % 4 ? float(int(gen() % 5) - 2) : value();
  for (float& x : c.C) x = value();
  for (std::size_t j = 2; j < k; j += 3) std::memcpy(&c.C[j * d], &c.C[(gen() % j) * d], d * 4);
  if (rows > 2) std::fill_n(&c.X[d], d, kNaN);  // an all-NaN row
  for (std::size_t j = 0; j < k; ++j)
    for (std::size_t l = 0; l < d; ++l) c.norms[j] = c.norms[j] + c.C[j * d + l] * c.C[j * d + l];
  return c;
}

// The contract, written out.
float chain(const Case& c, std::size_t i, std::size_t j) {
  float acc = 0.0f;
  for (std::size_t l = 0; l < c.d; ++l) acc = std::fma(c.X[i * c.d + l], c.C[j * c.d + l], acc);
  return acc;
}

// Every path's labels and products for c, against the contract written out.
void expect_every_path(const std::vector<Path>& paths, const Case& c) {
  const std::size_t rows = c.rows, d = c.d, k = c.k;
  std::vector<float> G(rows * k);
  std::vector<Label> expected(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    float best = kInf;
    expected[i] = 0;
    for (std::size_t j = 0; j < k; ++j) {
      G[i * k + j] = chain(c, i, j);
      const float score = c.norms[j] - (G[i * k + j] + G[i * k + j]);
      if (score < best) best = score, expected[i] = Label(j);
    }
  }
  for (const Path& p : paths) {
    const assign_detail::Kernel& kernel = p.kernel;
    struct Layout {
      const char* name;
      decltype(kernel.labels) labels;
      decltype(p.products.rows) products;
      std::size_t scratch_rows;
    };
    std::vector<Layout> layouts{{"rows", kernel.labels, p.products.rows, kernel.scratch_rows}};
    if (k <= kernel.centroid_lanes)
      layouts.push_back({"centroids", kernel.centroid_labels, p.products.centroids,
                         kernel.centroid_lanes});
    for (const Layout& layout : layouts) {
      std::vector<float> scratch(std::min(layout.scratch_rows, std::max<std::size_t>(rows, 32)) * d),
          got_G(rows * k, -1.0f);
      std::vector<Label> got(rows, -1);
      layout.labels(c.block(), got.data(), scratch.data());
      ASSERT_EQ(got, expected) << p.name << " " << layout.name << " rows=" << rows << " d=" << d
                               << " k=" << k;
      layout.products(c.block(), got_G.data(), scratch.data());
      ASSERT_EQ(std::memcmp(got_G.data(), G.data(), G.size() * 4), 0)
          << p.name << " " << layout.name << " rows=" << rows << " d=" << d << " k=" << k;
    }
  }
}

TEST(Assign, EveryPathIsTheFmaChainAndTheStrictScan) {
  std::mt19937_64 gen(17);
  const std::vector<Path> paths = available_paths();
  for (const Path& p : paths) std::printf("path %s\n", p.name);
  for (std::size_t d : {1, 2, 3, 4, 5, 16, 17, 64, 784})
    for (std::size_t k : {1, 3, 8, 10, 16, 17, 31, 100, 1000}) {
      // Whole groups of every path, groups short of vectors, rows short of a vector.
      const std::size_t rows = d * k > 20000 ? 83 : 64 * 3 + 16 + 8 + 5;
      expect_every_path(paths, make_case(gen, rows, d, k));
      if (HasFatalFailure()) return;
    }
}

// Around each path's blocks of centroids of the first-level cache rule: k
// one below, at and above one block and two; more rows than one chunk of
// groups shares (its last chunk short of a group), more than two (a middle
// chunk fetching a whole next one), and fewer than a vector.
TEST(Assign, BlocksOfCentroidsKeepTheScan) {
  std::mt19937_64 gen(29);
  const std::vector<Path> paths = available_paths();
  for (std::size_t d : {5, 32, 64}) {
    std::vector<std::size_t> ks;
    for (const Path& p : paths) {
      const std::size_t block = p.products.block_centroids(d);
      for (std::size_t k : {block - 1, block, block + 1, 2 * block + 1})
        if (std::find(ks.begin(), ks.end(), k) == ks.end()) ks.push_back(k);
    }
    for (std::size_t k : ks)
      for (std::size_t rows : {std::size_t{5}, paths[0].kernel.scratch_rows + 48 + 16 + 5,
                               2 * paths[0].kernel.scratch_rows + 37}) {
        expect_every_path(paths, make_case(gen, rows, d, k));
        if (HasFatalFailure()) return;
      }
  }
}

// Where rows transposed in registers give way to centroids in lanes: k one
// below, at and above the largest such k of each path; rows in whole
// transposes of eight columns or with a short last one; blocks short of a
// vector, with a last vector overlapping the one before, and of several.
TEST(Assign, FewCentroidsHandOverToCentroidLanes) {
  std::mt19937_64 gen(53);
  const std::vector<Path> paths = available_paths();
  for (const Path& p : paths) {
    const std::size_t few = p.kernel.few_centroids;
    if (few == 0) continue;
    for (std::size_t k : {few - 1, few, few + 1})
      for (std::size_t d : {8, 13, 300})
        for (std::size_t rows : {std::size_t{7}, std::size_t{21}, std::size_t{62}}) {
          expect_every_path(paths, make_case(gen, rows, d, k));
          if (HasFatalFailure()) return;
        }
  }
}

// Centroids in lanes at the row length fixed when compiled and beside it,
// with one vector of centroids and two: blocks ending in every count of
// rows short of a tile, tiles of exactly one vector (turned so that lanes
// are rows for the scan) and several.
TEST(Assign, CentroidLanesAtTheFixedRowLength) {
  std::mt19937_64 gen(61);
  const std::vector<Path> paths = available_paths();
  for (std::size_t d : {15, 16, 17})
    for (std::size_t k : {8, 16, 17, 32})
      for (std::size_t rows = 1; rows <= 2 * 16 + 1; ++rows) {
        expect_every_path(paths, make_case(gen, rows, d, k));
        if (HasFatalFailure()) return;
      }
}

// Square tiles of sixteen rows by sixteen centroids, turned so that lanes
// are rows for the scan (AVX-512), on planted values: exact ties at both
// ends and across the vector's halves, every centroid the same, NaN and
// infinite products, rows of ±0; plus a last tile short of sixteen rows.
TEST(Assign, SquareTilesScanPlantedValues) {
  std::mt19937_64 gen(71);
  const std::vector<Path> paths = available_paths();
  for (std::size_t d : {16, 17})
    for (int plant = 0; plant < 6; ++plant) {
      const std::size_t rows = 3 * 16 + 5, k = 16;
      Case c{rows, d, k, std::vector<float>(rows * d), std::vector<float>(k * d), std::vector<float>(k)};
      for (float& x : c.X) x = float(int(gen() % 5) - 2);
      for (float& x : c.C) x = float(int(gen() % 3) - 1);
      const auto copy = [&](std::size_t to, std::size_t from) {
        std::copy_n(&c.C[from * d], d, &c.C[to * d]);
      };
      if (plant == 0) copy(15, 0), copy(8, 7), copy(9, 7);          // ties at lanes 0/15 and 7/8/9
      if (plant == 1) for (std::size_t j = 1; j < k; ++j) copy(j, 0);  // every score ties
      if (plant == 2) c.C[5 * d + 3] = kNaN, c.C[11 * d] = kInf;     // NaN and +inf norms
      if (plant == 3) for (std::size_t j = 0; j < k; ++j) c.C[j * d + j % d] = j % 2 ? kInf : -kInf;
      for (std::size_t i = 0; i < rows; ++i) {
        float* x = &c.X[i * d];
        if (plant == 4) std::fill_n(x, d, i % 2 ? -0.0f : 0.0f);  // scores are the norms
        if (plant == 5 && i % 3 == 0) x[i % d] = i % 2 ? kInf : -kInf;  // inf times ±0, ±1
        if (i % 7 == 3) x[(i * 5) % d] = kNaN;
      }
      for (std::size_t j = 0; j < k; ++j)
        for (std::size_t l = 0; l < d; ++l) c.norms[j] = c.norms[j] + c.C[j * d + l] * c.C[j * d + l];
      expect_every_path(paths, c);
      if (HasFatalFailure()) return;
    }
}

// Rows of at most four columns, one centroid at a time: every count of row
// vectors a group of each path can end with, and k odd and even.
TEST(Assign, NarrowGroupsKeepTheScan) {
  std::mt19937_64 gen(41);
  const std::vector<Path> paths = available_paths();
  for (std::size_t d : {1, 2, 3, 4})
    for (std::size_t k : {1, 2, 9})
      for (std::size_t rows : {7, 8, 23, 24, 25, 40, 48, 56, 64 + 16 + 3, 128 + 48 + 15}) {
        expect_every_path(paths, make_case(gen, rows, d, k));
        if (HasFatalFailure()) return;
      }
}

TEST(Assign, ZeroColumnsLabelEveryRowZero) {
  const float norms[3] = {0.0f, 0.0f, 0.0f};
  std::vector<float> X(1), C(1);
  std::vector<Label> out(40, 7);
  assign_rows({X.data(), 40, 0, C.data(), 3, norms}, out.data(), nullptr);
  EXPECT_EQ(out, std::vector<Label>(40, 0));
}

TEST(Assign, ScratchIsBounded) {
  for (std::size_t rows : {1, 7, 64, 1000})
    for (std::size_t d : {5, 784})
      for (std::size_t k : {1, 10, 100}) EXPECT_LE(assign_scratch_floats(rows, d, k), std::max<std::size_t>(rows, 32) * d);
}

}  // namespace
}  // namespace tarnwick
