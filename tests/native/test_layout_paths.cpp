#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "layout/epoch_state.h"
#include "layout/lane_dispatch.h"
#include "layout/run_planner.h"
#include "layout/sample_stream.h"
#include "layout/sgd.h"
#include "index_draws.h"
#include "support/cpu_features.h"
#include "support/splitmix64.h"

namespace tarnwick::layout {

// For the names of failed parametrised tests.
void PrintTo(PowChoice pow, std::ostream* out) { *out << (pow == PowChoice::kLibrary ? "library" : "vector"); }
void PrintTo(LaneSet set, std::ostream* out) { *out << (set == LaneSet::kAvx2 ? "AVX2" : "AVX-512"); }

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

bool has_lane_set(LaneSet set) { return set == LaneSet::kAvx2 ? has_avx2_fma() : has_avx512_dq_vl(); }

#if defined(__x86_64__)
// Each lane set's batch draw gives the one-by-one stream, and leaves the
// generator where it would be: every count modulo the four lanes, divisors
// at the remainder's edges (1 takes the scalar path).
TEST(LayoutDraws, LaneDrawsAreTheScalarStream) {
  struct Draw {
    LaneSet set;
    IndexDraw draw;
  };
  for (const Draw& lanes : {Draw{LaneSet::kAvx2, draw_test::avx2_draw}, Draw{LaneSet::kAvx512, draw_test::avx512_draw}}) {
    if (!has_lane_set(lanes.set)) continue;
    for (unsigned long long d : {1ull, 2ull, 3ull, (1ull << 14) - 1, 1ull << 14, 30000ull, (1ull << 31) - 1,
                                 1ull << 32, (1ull << 32) + 1, ~0ull}) {
      for (std::size_t count : {0u, 1u, 3u, 4u, 5u, 8u, 250u}) {
        SplitMix64 scalar = SplitMix64::for_layout(d + count);
        SplitMix64 vector = scalar;
        std::vector<std::uint64_t> want(count), got(count + 1, 7);
        draw_indices(scalar, Remainder(d), count, want.data());
        lanes.draw(vector, Remainder(d), count, got.data());
        EXPECT_EQ(got.back(), 7u) << "wrote past the end";
        got.pop_back();
        ASSERT_EQ(got, want) << d << " " << count;
        ASSERT_EQ(vector.state(), scalar.state()) << d << " " << count;
      }
    }
  }
}

// The quotient through doubles, at the divisors' bounds and the values of z
// where its roundings are largest (near 2^64, at multiples of d), in every
// rounding mode.
TEST(LayoutDraws, RemaindersThroughDoublesAreExact) {
  if (!has_lane_set(LaneSet::kAvx512)) GTEST_SKIP() << "no AVX-512";
  const std::uint64_t lo = draw_test::avx512_min_divisor_by_double;
  const std::uint64_t hi = draw_test::avx512_max_divisor_by_double;
  struct RestoreRounding {
    int mode = std::fegetround();
    ~RestoreRounding() { std::fesetround(mode); }
  } restore;  // a failed assertion returns early
  for (int mode : {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    std::fesetround(mode);
    SplitMix64 rng(5);
    for (std::uint64_t d : {lo, lo + 1, std::uint64_t{30000}, std::uint64_t{1000003}, (hi >> 1) - 1, hi - 1, hi}) {
      const std::uint64_t top = ~std::uint64_t{0} - ~std::uint64_t{0} % d;  // the largest multiple
      std::vector<std::uint64_t> z = {0, 1, d - 1, d, d + 1, top - 1, top, ~std::uint64_t{0},
                                      std::uint64_t{1} << 63, (std::uint64_t{1} << 53) + 1};
      for (std::uint64_t m = 1; m < 4; ++m) z.insert(z.end(), {top - m * d, top - m * d - 1, top - m * d + 1});
      for (int i = 0; i < 4000; ++i) z.push_back(rng.next_u64());
      while (z.size() % 4 != 0) z.push_back(rng.next_u64() >> 11);
      std::vector<std::uint64_t> got(z.size());
      for (std::size_t k = 0; k < z.size(); k += 4) draw_test::avx512_remainders(&z[k], d, &got[k]);
      for (std::size_t k = 0; k < z.size(); ++k) ASSERT_EQ(got[k], z[k] % d) << d << " " << z[k] << " mode " << mode;
    }
  }
}
#endif

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

// The same graph with every epochs_per_sample taken in turn from `periods`.
Graph with_periods(Graph g, const std::vector<double>& periods) {
  for (std::size_t i = 0; i < g.eps.size(); ++i) g.eps[i] = periods[i % periods.size()];
  return g;
}

struct Settings {
  double b;
  std::uint64_t negative_sample_rate;
  std::uint64_t epochs;
};

// run_epochs as the module calls it, with the pow of the lanes chosen.
std::vector<double> layout_with(PowChoice pow, const Graph& g, std::size_t dim, Settings run) {
  std::vector<double> x = g.x;
  EdgeList edges{g.head.data(), g.head.size(), g.tail.data(), g.tail.size(), g.eps.data(), g.eps.size()};
  EdgeSchedule schedule = build_edge_schedule(edges, g.x.size() / dim, run.negative_sample_rate);
  const LayoutParams params{run.epochs, 1.577, run.b, 1.0, 1.0, 3};
  run_epochs(x.data(), x.size() / dim, dim, edges, schedule, params, pow);
  return x;
}

// A copy of the graph's embedding after `body(state)` on the epoch state of
// that copy.
template <class Body>
std::vector<double> on_state(const Graph& g, std::size_t dim, Settings run, Body body) {
  std::vector<double> x = g.x;
  EdgeList edges{g.head.data(), g.head.size(), g.tail.data(), g.tail.size(), g.eps.data(), g.eps.size()};
  EdgeSchedule schedule = build_edge_schedule(edges, g.x.size() / dim, run.negative_sample_rate);
  EpochState state(x.data(), x.size() / dim, dim, edges, schedule,
                   LayoutParams{run.epochs, 1.577, run.b, 1.0, 1.0, 3});
  body(state);
  return x;
}

// run_epochs with the lanes of `set` (which this processor has) and `pow`.
std::vector<double> lanes_layout(LaneSet set, PowChoice pow, const Graph& g, std::size_t dim, Settings run) {
  return on_state(g, dim, run,
                  [&](EpochState& state) { EXPECT_TRUE(run_epochs_in_lanes(state, run.epochs, pow, set)); });
}

// The plain loop, edge by edge with every check: what the lanes must equal.
std::vector<double> plain_layout(const Graph& g, std::size_t dim, Settings run) {
  return on_state(g, dim, run, [&](EpochState& state) {
    for (std::uint64_t e = 0; e < run.epochs; ++e) {
      state.begin_epoch(e);
      for (std::size_t i = state.next_due(0); i < state.edges.n_edges; i = state.next_due(i + 1)) {
        state.process_edge<false>(i);
      }
    }
  });
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Whichever pow the lanes use, the bits are those of the library's pow.
TEST(LayoutPaths, LibraryPowAndVectorPowGiveTheSameBits) {
  const Settings run{0.895, 5, 12};
  for (std::size_t dim : {2u, 3u, 10u}) {
    const Graph g = knn_like(3000, dim, 8);
    const std::vector<double> library = layout_with(PowChoice::kLibrary, g, dim, run);
    EXPECT_FALSE(same_bits(library, g.x)) << dim;
    if (!has_avx2_fma()) continue;  // the lanes, and their vector pow, do not run
    const std::vector<double> vector = layout_with(PowChoice::kVector, g, dim, run);
    ASSERT_TRUE(same_bits(library, vector)) << dim;
  }
  if (!has_avx2_fma()) GTEST_SKIP() << "no AVX2+FMA: the vector pow was not compared";
}

// Each instruction set of the lanes that this processor has, with each pow.
class LayoutLanes : public ::testing::TestWithParam<std::tuple<LaneSet, PowChoice>> {
 protected:
  void SetUp() override {
    if (!has_lane_set(std::get<0>(GetParam()))) GTEST_SKIP() << "this processor lacks the instruction set";
  }
  std::vector<double> in_lanes(const Graph& g, std::size_t dim, Settings run) const {
    return lanes_layout(std::get<0>(GetParam()), std::get<1>(GetParam()), g, dim, run);
  }
};

// Either side of the size at which runs stop being booked onto ticks and
// queue instead: both schedulers give the plain loop's bits.
TEST_P(LayoutLanes, BothSchedulersMatchThePlainLoop) {
  const Settings run{0.895, 5, 4};
  for (std::size_t dim : {2u, 3u, 10u, 16u}) {
    const std::size_t boundary = max_booked_vertices(dim);
    for (std::size_t n : {boundary, boundary + 1}) {
      const Graph g = knn_like(n, dim, 6);
      const std::vector<double> lanes = in_lanes(g, dim, run);
      ASSERT_TRUE(same_bits(lanes, plain_layout(g, dim, run))) << n << " " << dim;
    }
  }
}

// Few vertices, many samples: most steps wait for a row that an earlier run
// writes, so the schedule packs runs around each other at every tick. One
// sample an edge gives runs of one or two steps, a lane's runs back to back;
// forty fill runs to their longest, cut short of an edge's samples.
TEST_P(LayoutLanes, MatchThePlainLoopOnCrowdedGraphs) {
  for (std::uint64_t rate : {1u, 11u, 40u}) {
    const Settings run{0.895, rate, 9};
    for (std::size_t n : {3u, 17u, 60u, 400u}) {
      for (std::size_t dim : {1u, 2u, 3u, 4u, 6u, 7u}) {
        const Graph g = knn_like(n, dim, 12);
        const std::vector<double> lanes = in_lanes(g, dim, run);
        ASSERT_TRUE(same_bits(lanes, plain_layout(g, dim, run))) << rate << " " << n << " " << dim;
      }
    }
  }
}

// Every edge of every third head attracts one hub row, so each such run
// waits on the last write of the hub by an earlier run, at whichever of its
// steps the hub falls; heads take 1 to 16 edges, giving runs of every length
// around a multiple of eight, while the other heads' runs fill the lanes.
TEST_P(LayoutLanes, MatchThePlainLoopWhereRunsWaitOnAHub) {
  for (std::uint64_t rate : {1u, 2u, 6u}) {
    const Settings run{0.895, rate, 6};
    for (std::size_t dim : {2u, 3u}) {
      Graph g = knn_like(500, dim, 16);
      for (std::size_t i = 0; i < g.head.size(); ++i) {
        const auto v = static_cast<std::size_t>(g.head[i]);
        if (i % 16 > v % 16) g.eps[i] = 1e300;  // never due: 1 + v % 16 edges a head
        if (v % 3 == 0 && v != 0) g.tail[i] = 0;
      }
      ASSERT_TRUE(same_bits(in_lanes(g, dim, run), plain_layout(g, dim, run))) << rate << " " << dim;
    }
  }
}

// Self-loops, which the planner leaves to the checked path, among the runs:
// the lanes empty, the edge is processed, and the lanes go on with the head
// rows they hold from tick to tick reloaded where runs start.
TEST_P(LayoutLanes, MatchThePlainLoopAroundCheckedEdges) {
  const Settings run{0.895, 5, 6};
  for (std::size_t dim : {1u, 2u, 4u, 7u}) {
    Graph g = knn_like(200, dim, 8);
    for (std::size_t i = 5; i < g.tail.size(); i += 37) g.tail[i] = g.head[i];
    ASSERT_TRUE(same_bits(in_lanes(g, dim, run), plain_layout(g, dim, run))) << dim;
  }
}

// Past the size cut-over, a dense schedule (every edge due every epoch) is
// still booked, a sparser one queued: both give the plain loop's bits.
TEST_P(LayoutLanes, DenseSchedulesAreBookedPastTheSizeCutOver) {
  const Settings run{0.895, 5, 4};
  for (std::size_t dim : {10u, 16u}) {
    const Graph knn = knn_like(max_booked_vertices(dim) + 1, dim, 7);
    for (double period : {1.0, 2.0}) {
      Graph g = with_periods(knn, {period});
      EdgeList edges{g.head.data(), g.head.size(), g.tail.data(), g.tail.size(), g.eps.data(), g.eps.size()};
      EdgeSchedule schedule = build_edge_schedule(edges, g.x.size() / dim, run.negative_sample_rate);
      const EpochState state(g.x.data(), g.x.size() / dim, dim, edges, schedule,
                             LayoutParams{run.epochs, 1.577, run.b, 1.0, 1.0, 3});
      EXPECT_EQ(books_runs(state), period == 1.0) << dim;
      const std::vector<double> lanes = in_lanes(g, dim, run);
      ASSERT_TRUE(same_bits(lanes, plain_layout(g, dim, run))) << period << " " << dim;
    }
  }
}

// Runs that crowd the lanes (a dense schedule on few vertices) are kept to
// the first group, which steps alone while the other idles, also where a
// step falls back to the library's pow (integer grid); a sparse schedule on
// the same graph is not crowded.
TEST_P(LayoutLanes, CrowdedSchedulesStepTheFirstGroupAlone) {
  const Settings run{0.895, 5, 5};
  for (std::size_t dim : {1u, 2u, 3u, 4u, 5u}) {
    for (const bool grid : {false, true}) {
      Graph knn = knn_like(300, dim, 8);
      if (grid) {
        for (double& v : knn.x) v = std::floor(v / 8.0);
      }
      for (double period : {1.0, 30.0}) {
        const Graph g = with_periods(knn, {period});
        on_state(g, dim, run, [&](EpochState& state) { EXPECT_EQ(crowds_lanes(state), period == 1.0) << dim; });
        ASSERT_TRUE(same_bits(in_lanes(g, dim, run), plain_layout(g, dim, run))) << dim << " " << grid << " " << period;
      }
    }
  }
}

// Steps with a lane the vector pow leaves to the library (squared distance
// exactly 1 on an integer grid, whose log is 0), and exponents outside its
// range (every step): such steps are redone out of line, with the same bits.
TEST_P(LayoutLanes, MatchThePlainLoopWhereStepsNeedTheLibrary) {
  for (const double b : {0.895, 0x1p-70}) {
    const Settings run{b, 5, 3};
    for (std::size_t dim : {2u, 3u, 10u}) {
      Graph g = knn_like(300, dim, 6);
      for (double& v : g.x) v = std::floor(v / 8.0);  // coordinates in {-2, -1, 0, 1}
      const std::vector<double> lanes = in_lanes(g, dim, run);
      ASSERT_TRUE(same_bits(lanes, plain_layout(g, dim, run))) << b << " " << dim;
    }
  }
}

// Epochs in which no edge is due, edges first due late in the run, and
// edges due in every epoch side by side; edges never due (and NaN periods,
// due every epoch) among them; booked and queued.
TEST_P(LayoutLanes, MatchThePlainLoopWhereFewEdgesAreDue) {
  const Settings run{0.895, 5, 60};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (std::size_t dim : {2u, 5u}) {
    for (std::size_t n : {std::size_t{300}, max_booked_vertices(dim) + 1}) {
      const Graph g = with_periods(knn_like(n, dim, 6), {7.25, 19.0, 45.5, 13.0, 30.0, 58.75});
      ASSERT_TRUE(same_bits(in_lanes(g, dim, run), plain_layout(g, dim, run))) << dim;
      const Graph mixed = with_periods(knn_like(n, dim, 6), {0.75, 1.0, 33.0, 50.0, 0.0, -inf, inf, 1e300, nan});
      ASSERT_TRUE(same_bits(in_lanes(mixed, dim, run), plain_layout(mixed, dim, run))) << dim;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(SetAndPow, LayoutLanes,
                         ::testing::Combine(::testing::Values(LaneSet::kAvx2, LaneSet::kAvx512),
                                            ::testing::Values(PowChoice::kLibrary, PowChoice::kVector)),
                         [](const ::testing::TestParamInfo<std::tuple<LaneSet, PowChoice>>& info) {
                           return std::string(std::get<0>(info.param) == LaneSet::kAvx2 ? "Avx2" : "Avx512") +
                                  (std::get<1>(info.param) == PowChoice::kLibrary ? "Library" : "Vector");
                         });

// The records keep no negative-sample period: each due epoch divides it out
// of epochs_per_sample again, and must land on the bits of the one division
// the schedule is defined by (periods and rates whose quotient is inexact).
TEST(LayoutSchedule, NegativeSamplesAdvanceByTheRateDivisionAtEveryDueEpoch) {
  const std::vector<std::int64_t> head{0, 1, 0};
  const std::vector<std::int64_t> tail{1, 2, 2};
  const std::vector<double> eps{0.1, 1.3, 2.9};
  for (std::uint64_t rate : {3u, 7u, 10u}) {
    std::vector<double> x{0.0, 1.0, 3.0};
    EdgeList edges{head.data(), head.size(), tail.data(), tail.size(), eps.data(), eps.size()};
    EdgeSchedule schedule = build_edge_schedule(edges, 3, rate);
    EpochState state(x.data(), 3, 1, edges, schedule, LayoutParams{40, 1.577, 0.895, 1.0, 1.0, 3});
    std::vector<double> expected(eps.size());
    for (std::size_t i = 0; i < eps.size(); ++i) expected[i] = eps[i] / static_cast<double>(rate);
    for (std::uint64_t e = 0; e < 40; ++e) {
      state.begin_epoch(e);
      for (std::size_t i = state.next_due(0); i < eps.size(); i = state.next_due(i + 1)) {
        const double period = eps[i] / static_cast<double>(rate);
        const double n_neg = std::floor((static_cast<double>(e) - expected[i]) / period);
        expected[i] = expected[i] + period * n_neg;
        state.process_edge<false>(i);
      }
      for (std::size_t i = 0; i < eps.size(); ++i) {
        ASSERT_EQ(schedule.times[i].next_neg_sample_epoch, expected[i]) << rate << " " << e << " " << i;
      }
    }
  }
}

// The queued lanes read the entry past a run's last step as the row to
// fetch next: every plan leaves a repulsion of row 0 there, runs of the
// most steps among them (one head's edges with five samples each).
TEST(LayoutPlanner, TheEntryPastARunsLastStepIsARepulsionOfRowZero) {
  const std::size_t n = 400;
  std::vector<std::int64_t> head(120, 7), tail;
  for (std::size_t i = 0; i < head.size(); ++i) tail.push_back(static_cast<std::int64_t>(8 + i));
  const std::vector<double> eps(head.size(), 1.0);
  std::vector<double> x(n, 0.5);
  EdgeList edges{head.data(), head.size(), tail.data(), tail.size(), eps.data(), eps.size()};
  EdgeSchedule schedule = build_edge_schedule(edges, n, 5);
  EpochState state(x.data(), n, 1, edges, schedule, LayoutParams{4, 1.577, 0.895, 1.0, 1.0, 3});
  std::vector<std::uint32_t> table(n);
  RunPlanner planner(state, table.data(), sizeof(std::uint32_t), &draw_indices, true);
  std::uint32_t longest = 0;
  for (std::uint64_t e = 1; e < 4; ++e) {
    state.begin_epoch(e);
    planner.begin_epoch();
    PlannedRun run;
    std::fill(std::begin(run.steps), std::end(run.steps), ~std::uint32_t{0});
    while (planner.plan(run)) {
      ASSERT_EQ(run.steps[run.n_steps], PlannedRun::repulsion(0)) << e;
      longest = std::max(longest, run.n_steps);
      std::fill(std::begin(run.steps), std::end(run.steps), ~std::uint32_t{0});
    }
  }
  EXPECT_GE(longest, PlannedRun::kMaxSteps - 5);
}

// The module's choice is the widest set the processor has, and a set it
// lacks is refused with the embedding untouched.
TEST(LayoutLaneSets, TheWidestAvailableIsChosenAndAMissingOneRefused) {
  const std::size_t dim = 2;
  const Graph g = knn_like(200, dim, 6);
  const Settings run{0.895, 5, 3};
  EXPECT_TRUE(same_bits(layout_with(PowChoice::kLibrary, g, dim, run),
                        has_avx2_fma() ? lanes_layout(widest_lane_set(), PowChoice::kLibrary, g, dim, run)
                                       : plain_layout(g, dim, run)));
  for (LaneSet set : {LaneSet::kAvx2, LaneSet::kAvx512}) {
    if (has_lane_set(set)) continue;
    const std::vector<double> x = on_state(g, dim, run, [&](EpochState& state) {
      EXPECT_FALSE(run_epochs_in_lanes(state, run.epochs, PowChoice::kVector, set));
    });
    EXPECT_TRUE(same_bits(x, g.x));
  }
}

}  // namespace
}  // namespace tarnwick::layout
