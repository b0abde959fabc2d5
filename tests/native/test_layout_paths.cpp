#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "layout/epoch_state.h"
#include "layout/sgd.h"
#include "support/exact_pow.h"
#include "support/splitmix64.h"

namespace tarnwick {
namespace {

TEST(LayoutRemainder, EqualsTheDivideForAwkwardDivisors) {
  SplitMix64 rng(7);
  for (unsigned long long d : {1ull, 2ull, 3ull, 7ull, 10ull, 1000003ull, (1ull << 20) + 7, (1ull << 31) - 1,
                          (1ull << 32) + 1, (1ull << 63) - 25, ~0ull}) {
    const layout::Remainder r(d);
    const std::uint64_t edges[] = {0, 1, d - 1, d, d + 1, ~std::uint64_t{0}, ~std::uint64_t{0} - 1};
    for (std::uint64_t x : edges) EXPECT_EQ(r.of(x), x % d) << d;
    for (int i = 0; i < 20000; ++i) {
      const std::uint64_t x = rng.next_u64();
      ASSERT_EQ(r.of(x), x % d) << d << " " << x;
    }
  }
}

// A kNN-like graph: each vertex's edges in a row, so runs form and overlap.
struct Graph {
  std::vector<double> x;
  std::vector<std::int64_t> head, tail;
  std::vector<double> eps;
};

Graph knn_like(std::size_t n, std::size_t dim, std::size_t k) {
  SplitMix64 rng(11);
  Graph g;
  for (std::size_t i = 0; i < n * dim; ++i) g.x.push_back(rng.next_unit_f64() * 20.0 - 10.0);
  for (std::size_t v = 0; v < n; ++v) {
    for (std::size_t j = 0; j < k; ++j) {
      g.head.push_back(static_cast<std::int64_t>(v));
      g.tail.push_back(static_cast<std::int64_t>(rng.next_index(n)));
      g.eps.push_back(1.0 + rng.next_unit_f64() * 3.0);
    }
  }
  return g;
}

std::vector<double> layout_with(ExactPowMode mode, const Graph& g, std::size_t dim, double b) {
  set_exact_pow_mode_for_testing(mode);
  std::vector<double> x = g.x;
  EdgeList edges{g.head.data(), g.head.size(), g.tail.data(), g.tail.size(), g.eps.data(), g.eps.size()};
  EdgeSchedule schedule = build_edge_schedule(g.eps.data(), g.eps.size(), 5);
  run_epochs(x.data(), x.size() / dim, dim, edges, schedule, LayoutParams{12, 1.577, b, 1.0, 1.0, 3});
  set_exact_pow_mode_for_testing(ExactPowMode::kAuto);
  return x;
}

// Whichever pow the lanes use, the bits are those of the library's pow.
TEST(LayoutPaths, LibraryPowAndVectorPowGiveTheSameBits) {
  for (std::size_t dim : {2u, 3u, 10u}) {
    const Graph g = knn_like(3000, dim, 8);
    const std::vector<double> library = layout_with(ExactPowMode::kLibrary, g, dim, 0.895);
    const std::vector<double> vector = layout_with(ExactPowMode::kVector, g, dim, 0.895);
    ASSERT_EQ(std::memcmp(library.data(), vector.data(), library.size() * sizeof(double)), 0) << dim;
    EXPECT_NE(std::memcmp(library.data(), g.x.data(), library.size() * sizeof(double)), 0);
  }
}

}  // namespace
}  // namespace tarnwick
