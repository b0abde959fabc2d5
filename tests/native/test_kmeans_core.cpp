#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "kmeans/assign.h"
#include "kmeans/kmeans_core.h"
#include "kmeans/sample_blocks.h"

namespace tarnwick {
namespace {

using Labels = std::vector<std::int64_t>;
using Data = std::vector<float>;
constexpr float kInf = std::numeric_limits<float>::infinity();

Labels run(Data X, std::size_t n, std::size_t d, std::uint64_t k, std::uint64_t iters,
           std::uint64_t seed = 0) {
  Buffer<std::int64_t> labels = kmeans_core(X.data(), n, d, k, iters, seed);
  return Labels(labels.begin(), labels.end());
}

std::string fault_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const Fault& fault) {
    return fault.text();
  }
  return "<no fault>";
}

// The update serially: sums in row order, each mean the sum times the
// reciprocal count; an empty cluster keeps its centroid.
void move_to_means(const Data& X, std::size_t n, std::size_t d, const Labels& labels, std::size_t k,
                   Data& C) {
  Data sums(k * d, 0.0f);
  std::vector<std::uint64_t> counts(k, 0);
  for (std::size_t i = 0; i < n; ++i) {
    counts[labels[i]] += 1;
    for (std::size_t l = 0; l < d; ++l) sums[labels[i] * d + l] = sums[labels[i] * d + l] + X[i * d + l];
  }
  for (std::size_t e = 0; e < k * d; ++e)
    if (counts[e / d] != 0) C[e] = (1.0f / float(counts[e / d])) * sums[e];
}

// Everything serially: sums in index order, naive dot products. On data where
// every intermediate is exact, neither the pool's reduction trees nor fused
// roundings can matter, so labels must agree exactly.
Labels reference(const Data& X, std::size_t n, std::size_t d, std::size_t k, std::uint64_t iters,
                 std::uint64_t seed) {
  SplitMix64 rng = SplitMix64::for_kmeans(seed);
  const std::size_t m = std::min<std::size_t>(n, 100000);
  Data S(X.begin(), X.begin() + m * d), C(k * d), md(m);
  for (std::size_t i = 0; n > m && i < m; ++i)
    std::copy_n(&X[rng.next_index(n) * d], d, &S[i * d]);
  for (std::size_t c = 0; c < k; ++c) {
    std::size_t pick = 0;
    float total = 0.0f, acc = 0.0f, u = c ? float(rng.next_unit_f64()) : 0.0f;
    for (float v : md) total = total + v;
    if (c == 0 || !(total > 0.0f)) pick = rng.next_index(m);
    else
      while (pick + 1 < m && !((acc = acc + md[pick]) >= total * u)) ++pick;
    std::copy_n(&S[pick * d], d, &C[c * d]);
    for (std::size_t i = 0; i < m; ++i) {
      float d2 = 0.0f;
      for (std::size_t l = 0; l < d; ++l)
        d2 = d2 + (S[i * d + l] - C[c * d + l]) * (S[i * d + l] - C[c * d + l]);
      if (c == 0 || d2 < md[i]) md[i] = d2;
    }
  }
  Labels labels(n, 0);
  for (std::uint64_t it = 0; it < iters; ++it) {
    std::size_t changed = 0;
    for (std::size_t i = 0; i < n; ++i) {
      float best = kInf;
      std::int64_t label = 0;
      for (std::size_t j = 0; j < k; ++j) {
        float norm = 0.0f, dot = 0.0f;
        for (std::size_t l = 0; l < d; ++l)
          norm = norm + C[j * d + l] * C[j * d + l], dot = dot + X[i * d + l] * C[j * d + l];
        if (norm - (dot + dot) < best) best = norm - (dot + dot), label = std::int64_t(j);
      }
      changed += label != std::exchange(labels[i], label);
    }
    if (changed <= n / 1000) break;
    move_to_means(X, n, d, labels, k, C);
  }
  return labels;
}

// Small integers. One-hot rows (one non-zero per row) keep every dot product
// a single rounded product, so even fractional centroids stay exact.
Data integer_data(std::mt19937_64& gen, std::size_t n, std::size_t d, bool one_hot) {
  Data X(n * d, 0.0f);
  for (std::size_t e = 0; e < n * d; ++e)
    if (!one_hot || e % d == 0) X[e + (one_hot ? gen() % d : 0)] = float(int(gen() % 7) - 3);
  return X;
}

TEST(KmeansWorkedExample, SeedingAndEachIterationCount) {
  const Data X = {0, 1, 2, 10};
  SplitMix64 rng = SplitMix64::for_kmeans(0);
  float C[2] = {-1, -1};
  seed_centroids(X.data(), 4, 1, 2, rng, C, 2);
  EXPECT_EQ(C[0], 0.0f);
  EXPECT_EQ(C[1], 2.0f);
  EXPECT_EQ(run(X, 4, 1, 2, 0), (Labels{0, 0, 0, 0}));
  EXPECT_EQ(run(X, 4, 1, 2, 1), (Labels{0, 0, 1, 1}));
  EXPECT_EQ(run(X, 4, 1, 2, 2), (Labels{0, 0, 0, 1}));
  EXPECT_EQ(run(X, 4, 1, 2, 5), (Labels{0, 0, 0, 1}));

  // A mean is the sum times the reciprocal count: for {0, 1, 4} one ulp above
  // the correctly rounded 5/3. An empty cluster keeps its centroid.
  float D[3] = {0, 100, 50};
  lloyd_iterations(Data{0, 1, 4, 100}.data(), 4, 1, 3, 1, D);
  EXPECT_EQ(D[0], (1.0f / 3.0f) * 5.0f);
  EXPECT_NE(D[0], 5.0f / 3.0f);
  EXPECT_EQ(D[2], 50.0f);
}

TEST(KmeansSeeding, BlocksGiveTheCentroidsOfRows) {
  std::mt19937_64 gen(9);
  std::normal_distribution<float> normal(0.0f, 2.0f);
  for (std::size_t d : {1u, 3u, 17u}) {
    for (std::size_t m : {17u, 100u, 1000u}) {
      Data X(m * d);
      for (float& x : X) x = normal(gen);
      for (std::uint64_t k : {1u, 5u, 20u}) {
        Data by_rows(k * d), by_blocks(k * d), blocked = X;
        SplitMix64 rows_rng = SplitMix64::for_kmeans(k), blocks_rng = SplitMix64::for_kmeans(k);
        seed_centroids(X.data(), m, d, k, rows_rng, by_rows.data(), by_rows.size());
        SampleBlocks blocks(blocked.data(), m, d);
        blocks.rearrange();
        seed_centroids(blocked.data(), m, d, k, blocks_rng, by_blocks.data(), by_blocks.size(),
                       SampleLayout::blocks);
        ASSERT_EQ(0, std::memcmp(by_rows.data(), by_blocks.data(), k * d * sizeof(float)))
            << "d=" << d << " m=" << m << " k=" << k;
        ASSERT_EQ(rows_rng.next_index(1u << 30), blocks_rng.next_index(1u << 30));
      }
    }
  }
}

TEST(KmeansSeeding, LeavesXAsItWas) {
  // Enough centroids to seed on X rearranged in place; rows past the blocks.
  std::mt19937_64 gen(10);
  Data X = integer_data(gen, 1003, 7, false);
  const Data original = X;
  kmeans_core(X.data(), 1003, 7, 40, 2, 1);
  EXPECT_EQ(0, std::memcmp(X.data(), original.data(), X.size() * sizeof(float)));
}

TEST(KmeansWorkedExample, StopsWhenChangesWithinTolerance) {
  // 1000 rows tolerate one change: the second pass moves only 47 across and
  // stops without updating; a third pass would have moved 46 too.
  Data X(1000, 0.0f);
  std::copy_n(Data{100, 100, 100, 27, 46, 47, 73}.begin(), 7, X.end() - 7);
  float C[2] = {0, 100};
  Buffer<std::int64_t> labels = lloyd_iterations(X.data(), 1000, 1, 2, 10, C);
  EXPECT_EQ(labels[997], 0);
  EXPECT_EQ(labels[998], 1);
  EXPECT_EQ(C[1], 93.25f);
}

TEST(KmeansDegenerate, Shapes) {
  EXPECT_EQ(run({3, 1, 4, 1, 5, 9}, 3, 2, 1, 10), Labels(3, 0));
  EXPECT_EQ(run(Data(12, 2.5f), 6, 2, 3, 10), Labels(6, 0));
  EXPECT_EQ(run({}, 5, 0, 3, 10), Labels(5, 0));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (std::uint64_t seed = 0; seed < 8; ++seed)  // the NaN row, whether picked or not
    EXPECT_EQ(run({0, 0, 10, 10, nan, 1, 10, 11}, 4, 2, 2, 10, seed)[2], 0) << seed;

  // More clusters than rows: each row ends on a centroid copied from itself.
  Labels own = run({0, 0, 5, 5, 9, 1}, 3, 2, 5, 10, 3);
  EXPECT_TRUE(own[0] != own[1] && own[1] != own[2] && own[0] != own[2]);
  for (std::int64_t label : own) EXPECT_TRUE(label >= 0 && label < 5);
}

TEST(KmeansFaults, DegenerateShapes) {
  EXPECT_EQ(fault_text([] { run({}, 0, 2, 2, 5); }),
            "attempt to calculate the remainder with a divisor of zero");
  EXPECT_EQ(fault_text([] { run(Data(6), 2, 3, 0, 5); }),
            "range end index 3 out of range for slice of length 0");
  EXPECT_EQ(fault_text([] { run({}, 4, 0, 0, 1); }), "chunk_size must not be zero");
  EXPECT_EQ(run({}, 4, 0, 0, 0), Labels(4, 0));
  EXPECT_EQ(fault_text([] { run({0, 1, 2, 10}, 4, 1, std::uint64_t{1} << 61, 1); }),
            "capacity overflow");
}

TEST(KmeansReference, AgreesExactlyWithSerialComputation) {
  std::mt19937_64 gen(11);
  for (bool one_hot : {false, true})
    for (int trial = 0; trial < 10; ++trial) {
      std::size_t n = 1 + gen() % 20000, d = 1 + gen() % 8, k = 1 + gen() % 9;
      // Dense integer rows stay exact through the first assignment only.
      std::uint64_t iters = one_hot ? 30 : 1;
      Data X = integer_data(gen, n, d, one_hot);
      ASSERT_EQ(run(X, n, d, k, iters, trial), reference(X, n, d, k, iters, trial))
          << "n=" << n << " d=" << d << " k=" << k << " one_hot=" << one_hot;
    }
  // Above 100000 rows the seeding runs on a drawn sample.
  Data X = integer_data(gen, 100037, 3, true);
  EXPECT_EQ(run(X, 100037, 3, 5, 8, 3), reference(X, 100037, 3, 5, 8, 3));
}

// The first assignment as the contract states it: one fma chain per
// product, plain float norms, a strict-< scan.
Labels scan_assignment(const Data& X, std::size_t n, std::size_t d, const Data& C, std::size_t k) {
  Data norms(k, 0.0f);
  for (std::size_t j = 0; j < k; ++j)
    for (std::size_t l = 0; l < d; ++l) norms[j] = norms[j] + C[j * d + l] * C[j * d + l];
  Labels labels(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    float best = kInf;
    for (std::size_t j = 0; j < k; ++j) {
      float g = 0.0f;
      for (std::size_t l = 0; l < d; ++l) g = std::fma(X[i * d + l], C[j * d + l], g);
      float score = norms[j] - (g + g);
      if (score < best) best = score, labels[i] = std::int64_t(j);
    }
  }
  return labels;
}

TEST(KmeansAssignment, FirstIndexOfSmallestScoreNaNNeverWins) {
  // Repeated centroids tie exactly; NaN, infinite and overflowing
  // coordinates give NaN, +inf and -inf scores; with every centroid infinite
  // no score is below +inf, and with every norm just under FLT_MAX the scores
  // of zero rows are finite but huge. Every k up to and past the widths the
  // assignment handles in lanes.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::mt19937_64 gen(21);
  std::normal_distribution<float> v(0.0f, 1.0f);
  for (int all : {0, 1, 2})  // 1: every centroid infinite, 2: every norm huge
  for (std::size_t k : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 23, 24, 25, 31, 32, 33, 64, 100})
    for (std::size_t n : {1, 6, 300, 2051})
      for (std::size_t d : {1, 3, 8, 300}) {
        if (d > 8 && (k > 33 || n > 300)) continue;  // long rows: centroids laid out in lanes
        Data X(n * d), C(k * d);
        for (float& x : X) x = v(gen);
        for (float& c : C) c = v(gen);
        for (std::size_t i = 0; i < n; ++i) {
          if (gen() % 13 == 0) std::fill_n(&X[i * d], d, 0.0f);
          if (gen() % 17 == 0) X[i * d] *= 1e25f;
          if (gen() % 53 == 0) X[i * d + gen() % d] = nan;
        }
        for (std::size_t j = 1; j < k; ++j) {
          std::size_t kind = gen() % 8;
          if (kind < 3) std::copy_n(&C[(gen() % j) * d], d, &C[j * d]);  // a tie
          if (kind == 3) C[j * d + gen() % d] = nan;
          if (kind == 4) C[j * d + gen() % d] = (gen() % 2 ? kInf : -kInf);
          if (kind == 5) C[j * d] *= 1e25f;
          if (kind == 6) std::fill_n(&C[j * d], d, 0.0f);
        }
        for (std::size_t j = 0; all == 1 && j < k; ++j)
          C[j * d + gen() % d] = (gen() % 2 ? kInf : -kInf);
        for (std::size_t j = 0; all == 2 && j < k; ++j) {
          std::fill_n(&C[j * d], d, 0.0f);
          C[j * d] = 1.75e19f + float(gen() % 1000) * 1e15f;  // norm in (3e38, FLT_MAX)
        }
        Labels expected = scan_assignment(X, n, d, C, k);
        for (auto schedule : {kmeans_detail::Schedule::separate, kmeans_detail::Schedule::fused}) {
          Data moved = C;
          Buffer<std::int64_t> got =
              kmeans_detail::lloyd_iterations(X.data(), n, d, k, 1, moved.data(), schedule);
          ASSERT_EQ(Labels(got.begin(), got.end()), expected)
              << "n=" << n << " d=" << d << " k=" << k << " fused=" << int(schedule);
        }
      }
}

TEST(KmeansSchedules, FusedAndSeparateAgreeBitForBit) {
  // Update pieces whose edges cut through row blocks (70001 rows), fall on
  // block edges (65536 rows: pieces of 4096, blocks of 256), or cut blocks
  // of long rows (d = 300); at d = 200 so many blocks that the separate
  // pass hands them out two at a time.
  std::mt19937_64 gen(5);
  std::normal_distribution<float> v(0.0f, 1.0f);
  for (auto [n, d] : {std::pair<std::size_t, std::size_t>{70001, 5}, {65536, 3}, {20011, 40},
                      {9001, 300}, {70001, 200}}) {
    Data X(n * d);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t l = 0; l < d; ++l) X[i * d + l] = v(gen) + float(i % 7) * 0.7f;
    for (std::size_t k : {6, 40})
      for (std::uint64_t iters : {1, 4, 15}) {
        if (d == 200 && (iters != 1 || k != 6)) continue;  // the same blocks every time
        Data C(k * d);
        for (float& c : C) c = 2.0f * v(gen);
        Data Cs = C, Cf = C;
        Buffer<std::int64_t> s = kmeans_detail::lloyd_iterations(X.data(), n, d, k, iters, Cs.data(),
                                                                 kmeans_detail::Schedule::separate);
        Buffer<std::int64_t> f = kmeans_detail::lloyd_iterations(X.data(), n, d, k, iters, Cf.data(),
                                                                 kmeans_detail::Schedule::fused);
        ASSERT_EQ(Labels(s.begin(), s.end()), Labels(f.begin(), f.end()))
            << "n=" << n << " k=" << k << " iters=" << iters;
        EXPECT_EQ(std::memcmp(Cs.data(), Cf.data(), Cs.size() * sizeof(float)), 0)
            << "n=" << n << " k=" << k;
      }
  }
}

TEST(KmeansBlocks, WholeGroupsGiveTheUnblockedLabelsAndSums) {
  // Blocks of 256 rows (whole groups of 64) and a last block of one row
  // short of, exactly and one past one and two groups; one iteration
  // against the first assignment and the row-by-row means written out.
  // Values over many magnitudes, so that any other order of additions shows.
  std::mt19937_64 gen(37);
  std::normal_distribution<float> v(0.0f, 1.0f);
  for (std::size_t d : {3, 16, 64})
    for (std::size_t past : {63, 64, 65, 127, 128, 129}) {
      const std::size_t n = 256 + past, k = 7;
      Data X(n * d), C(k * d);
      for (float& x : X) x = std::ldexp(v(gen), int(gen() % 21) - 10);
      for (float& c : C) c = v(gen);
      const Labels labels = scan_assignment(X, n, d, C, k);
      Data expected = C;
      move_to_means(X, n, d, labels, k, expected);
      for (auto schedule : {kmeans_detail::Schedule::separate, kmeans_detail::Schedule::fused}) {
        Data moved = C;
        Buffer<std::int64_t> got =
            kmeans_detail::lloyd_iterations(X.data(), n, d, k, 1, moved.data(), schedule);
        ASSERT_EQ(Labels(got.begin(), got.end()), labels) << "d=" << d << " n=" << n;
        ASSERT_EQ(std::memcmp(moved.data(), expected.data(), moved.size() * sizeof(float)), 0)
            << "d=" << d << " n=" << n << " fused=" << int(schedule);
      }
    }
}

TEST(KmeansRepeatability, SameLabelsEveryRun) {
  std::mt19937_64 gen(14);
  std::normal_distribution<float> v(0.0f, 4.0f);
  Data X(30011 * 7);
  for (float& x : X) x = v(gen);
  Labels first = run(X, 30011, 7, 12, 20, 99);
  for (int again = 0; again < 3; ++again) EXPECT_EQ(run(X, 30011, 7, 12, 20, 99), first);
}

}  // namespace
}  // namespace tarnwick
