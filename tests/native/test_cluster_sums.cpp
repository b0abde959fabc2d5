#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "kmeans/cluster_runs.h"
#include "kmeans/cluster_sums.h"

namespace tarnwick {
namespace {

std::vector<std::uint32_t> bits(const std::vector<float>& v) {
  std::vector<std::uint32_t> out;
  for (float x : v) out.push_back(std::bit_cast<std::uint32_t>(x));
  return out;
}

// The update written out: each row into its cluster's sum, one rounding
// per addition, in ascending row order.
void add_one_by_one(const float* X, std::size_t d, const Label* labels, std::size_t begin,
                    std::size_t end, std::vector<float>& sums, std::vector<std::uint64_t>& counts) {
  for (std::size_t i = begin; i < end; ++i) {
    counts[labels[i]] += 1;
    for (std::size_t l = 0; l < d; ++l) {
      volatile float sum = sums[labels[i] * d + l] + X[i * d + l];  // one rounding each
      sums[labels[i] * d + l] = sum;
    }
  }
}

TEST(ClusterSums, EveryRowLengthGivesTheRowByRowSums) {
  // Values over many magnitudes, so that any other order of additions shows
  // in the last bits; sums start from earlier rows' partial sums, and the
  // range starts inside the data, as the update's pieces do.
  std::mt19937 rng(9);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_int_distribution<int> scale(-20, 20);
  for (std::size_t d : {1u, 2u, 3u, 4u, 5u, 8u, 15u, 16u, 17u, 31u, 32u, 33u, 64u, 100u})
    for (std::size_t k : {1u, 3u, 7u})
      // Ranges of many rows, of whole steps of four (the last row, which
      // ends the array, must not be read past), of fewer than a step, and
      // none.
      for (std::size_t n : {203u, 13u, 9u, 8u, 5u})
        // The range starting on an odd row and ending the array; or starting
        // on an even row of an X whose rows start between 8-byte boundaries,
        // and stopping one row short of the end (a NaN row, which no sum may
        // take in).
        for (std::size_t past : {0u, 1u}) {
          const std::size_t begin = 5 + past, end = std::max(begin, n - past);
          std::vector<float> storage(n * d + past), sums(k * d);
          const std::span<float> X(storage.data() + past, n * d);
          for (float& x : X) x = std::ldexp(normal(rng), scale(rng));
          for (float& s : sums) s = std::ldexp(normal(rng), scale(rng));
          X[7 % n * d] = std::numeric_limits<float>::infinity();
          for (std::size_t i = end; i < n; ++i)
            for (std::size_t l = 0; l < d; ++l) X[i * d + l] = std::numeric_limits<float>::quiet_NaN();
          std::vector<Label> labels(n);
          for (Label& l : labels) l = static_cast<Label>(rng() % k);

          std::vector<float> expected = sums, got = sums;
          std::vector<std::uint64_t> expected_counts(k, 1), got_counts(k, 1);
          add_one_by_one(X.data(), d, labels.data(), begin, end, expected, expected_counts);
          add_rows(X.data(), d, labels.data(), begin, end, got.data(), got_counts.data());
          ASSERT_EQ(bits(got), bits(expected)) << "d=" << d << " k=" << k << " n=" << n << " end=" << end;
          ASSERT_EQ(got_counts, expected_counts) << "d=" << d << " k=" << k << " n=" << n << " end=" << end;
        }
}

TEST(ClusterSums, BlocksAddedClusterByClusterGiveTheRowByRowSums) {
  // Rows long enough to be added cluster by cluster (whole slices, a
  // sixteen-float tail, a scalar tail), k at and beside the most clusters
  // that takes, ranges within one chunk of chained rows and across two, a
  // cluster left empty, and a range starting inside the data.
  std::mt19937 rng(11);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_int_distribution<int> scale(-20, 20);
  for (std::size_t d : {127u, 128u, 143u, 784u})
    for (std::size_t k : {1u, 10u, 16u, 17u})
      for (std::size_t rows : {1u, 62u, 256u, 300u}) {
        const std::size_t begin = 3, end = begin + rows;
        std::vector<float> X(end * d), sums(k * d);
        for (float& x : X) x = std::ldexp(normal(rng), scale(rng));
        for (float& s : sums) s = std::ldexp(normal(rng), scale(rng));
        std::vector<Label> labels(end);
        for (Label& l : labels) l = static_cast<Label>(rng() % (k > 1 ? k - 1 : 1));
        std::vector<float> expected = sums, got = sums;
        std::vector<std::uint64_t> expected_counts(k, 1), got_counts(k, 1);
        add_one_by_one(X.data(), d, labels.data(), begin, end, expected, expected_counts);
        add_block_rows(X.data(), d, k, labels.data(), begin, end, got.data(), got_counts.data());
        ASSERT_EQ(bits(got), bits(expected)) << "d=" << d << " k=" << k << " rows=" << rows;
        ASSERT_EQ(got_counts, expected_counts) << "d=" << d << " k=" << k << " rows=" << rows;
      }
}

}  // namespace
}  // namespace tarnwick
