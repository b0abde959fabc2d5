#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "layout/epoch_state.h"
#include "layout/lane_dispatch.h"
#include "layout/sample_stream.h"
#include "layout/sgd.h"
#include "support/exact_pow.h"
#include "support/splitmix64.h"

namespace tarnwick::layout {
namespace {

TEST(LayoutRemainder, EqualsTheDivideForAwkwardDivisors) {
  SplitMix64 rng(7);
  for (unsigned long long d : {1ull, 2ull, 3ull, 7ull, 10ull, 1000003ull, (1ull << 20) + 7, (1ull << 31) - 1,
                          (1ull << 32) + 1, (1ull << 63) - 25, ~0ull}) {
    const Remainder r(d);
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

// The plain loop, edge by edge with every check: what the lanes must equal.
std::vector<double> plain_layout(const Graph& g, std::size_t dim, double b, std::uint64_t rate, std::uint64_t epochs) {
  std::vector<double> x = g.x;
  EdgeList edges{g.head.data(), g.head.size(), g.tail.data(), g.tail.size(), g.eps.data(), g.eps.size()};
  EdgeSchedule schedule = build_edge_schedule(g.eps.data(), g.eps.size(), rate);
  EpochState state(x.data(), x.size() / dim, dim, edges, schedule,
                   LayoutParams{epochs, 1.577, b, 1.0, 1.0, 3});
  for (std::uint64_t e = 0; e < epochs; ++e) {
    state.begin_epoch(e);
    for (std::size_t i = state.next_due(0); i < edges.n_edges; i = state.next_due(i + 1)) {
      state.process_edge<false>(i);
    }
  }
  return x;
}

std::vector<double> lanes_layout(const Graph& g, std::size_t dim, std::uint64_t rate, std::uint64_t epochs) {
  std::vector<double> x = g.x;
  EdgeList edges{g.head.data(), g.head.size(), g.tail.data(), g.tail.size(), g.eps.data(), g.eps.size()};
  EdgeSchedule schedule = build_edge_schedule(g.eps.data(), g.eps.size(), rate);
  run_epochs(x.data(), x.size() / dim, dim, edges, schedule, LayoutParams{epochs, 1.577, 0.895, 1.0, 1.0, 3});
  return x;
}

// Either side of the size at which runs stop being booked onto ticks and
// queue instead: both schedulers give the plain loop's bits.
TEST(LayoutPaths, BothSchedulersMatchThePlainLoop) {
  for (std::size_t dim : {2u, 3u, 10u, 16u}) {
    const std::size_t boundary = max_booked_vertices(dim);
    for (std::size_t n : {boundary, boundary + 1}) {
      const Graph g = knn_like(n, dim, 6);
      const std::vector<double> lanes = lanes_layout(g, dim, 5, 4);
      const std::vector<double> plain = plain_layout(g, dim, 0.895, 5, 4);
      ASSERT_EQ(std::memcmp(lanes.data(), plain.data(), plain.size() * sizeof(double)), 0) << n << " " << dim;
    }
  }
}

// Few vertices, many samples: most steps wait for a row that an earlier run
// writes, so the schedule packs runs around each other at every tick.
TEST(LayoutPaths, LanesMatchThePlainLoopOnCrowdedGraphs) {
  for (std::size_t n : {3u, 17u, 60u, 400u}) {
    for (std::size_t dim : {1u, 2u, 3u, 6u}) {
      const Graph g = knn_like(n, dim, 12);
      std::vector<double> lanes = g.x;
      EdgeList edges{g.head.data(), g.head.size(), g.tail.data(), g.tail.size(), g.eps.data(), g.eps.size()};
      EdgeSchedule schedule = build_edge_schedule(g.eps.data(), g.eps.size(), 11);
      run_epochs(lanes.data(), n, dim, edges, schedule, LayoutParams{9, 1.577, 0.895, 1.0, 1.0, 3});
      const std::vector<double> plain = plain_layout(g, dim, 0.895, 11, 9);
      ASSERT_EQ(std::memcmp(lanes.data(), plain.data(), plain.size() * sizeof(double)), 0) << n << " " << dim;
    }
  }
}

}  // namespace
}  // namespace tarnwick::layout
