#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "kmeans/distances.h"
#include "kmeans/sample_blocks.h"

namespace tarnwick {
namespace {

std::vector<std::uint32_t> bits(const std::vector<float>& v) {
  std::vector<std::uint32_t> out;
  for (float x : v) out.push_back(std::bit_cast<std::uint32_t>(x));
  return out;
}

// Random rows with a few infinities and NaNs, where the order of additions
// shows in the last bits.
std::vector<float> random_rows(std::mt19937& rng, std::size_t count) {
  std::normal_distribution<float> normal(0.0f, 3.0f);
  std::uniform_int_distribution<int> rare(0, 499);
  std::vector<float> v(count);
  for (float& x : v) {
    int r = rare(rng);
    x = r == 0 ? std::numeric_limits<float>::infinity()
        : r == 1 ? std::numeric_limits<float>::quiet_NaN()
                 : normal(rng) * (r % 7 == 0 ? 1e4f : 1.0f);
  }
  return v;
}

TEST(Distances, EveryPathGivesTheSequentialSum) {
  std::mt19937 rng(3);
  for (std::size_t d : {1u, 3u, 4u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 64u, 100u, 784u}) {
    for (std::size_t rows : {1u, 7u, 8u, 15u, 16u, 17u, 31u, 32u, 33u, 61u, 100u}) {
      std::vector<float> sample = random_rows(rng, rows * d);
      std::vector<float> centre = random_rows(rng, d);
      std::vector<float> expected(rows), got(rows, -1.0f);
      for (std::size_t i = 0; i < rows; ++i)
        expected[i] = squared_distance(&sample[i * d], centre.data(), d);
      // A range that starts inside the sample, as the pool's pieces do.
      std::size_t begin = rows > 3 ? 3 : 0;
      distances_to(sample.data(), d, centre.data(), begin, rows,
                   [&](std::size_t i, float d2) { got[i] = d2; });
      for (std::size_t i = 0; i < begin; ++i) got[i] = expected[i];
      ASSERT_EQ(bits(got), bits(expected)) << "d=" << d << " rows=" << rows;
    }
  }
}

// The blocked layout of a row-major sample, element by element.
std::vector<float> blocked_copy(const std::vector<float>& rows, std::size_t m, std::size_t d) {
  std::vector<float> out(rows.size());
  for (std::size_t i = 0; i < m; ++i) {
    const RowPlace place = row_place(i, m, d);
    for (std::size_t l = 0; l < d; ++l) out[place.offset + l * place.stride] = rows[i * d + l];
  }
  return out;
}

TEST(Distances, BlockedSampleKeepsTheLeastSequentialSum) {
  std::mt19937 rng(5);
  // Rows short of a block, a block of four and one, and rows past the blocks.
  for (std::size_t d : {1u, 3u, 8u, 16u, 17u, 64u}) {
    for (std::size_t m : {1u, 15u, 16u, 17u, 64u, 65u, 100u, 129u}) {
      const std::vector<float> rows = random_rows(rng, m * d), centre = random_rows(rng, d);
      const std::vector<float> blocks = blocked_copy(rows, m, d);
      const std::size_t units = (m + kSampleBlockRows - 1) / kSampleBlockRows;
      std::vector<float> distance(m);
      for (std::size_t i = 0; i < m; ++i) distance[i] = squared_distance(&rows[i * d], centre.data(), d);
      // Earlier least distances: some equal, some NaN, some smaller or larger.
      std::vector<float> earlier = random_rows(rng, m);
      for (std::size_t i = 0; i < m; i += 5) earlier[i] = distance[i];
      for (bool first : {true, false}) {
        for (std::size_t begin : {0u, 1u}) {
          std::vector<float> expected = earlier, got = earlier;
          for (std::size_t i = begin * kSampleBlockRows; i < m; ++i) {
            keep_least(expected[i], distance[i], first);
          }
          keep_least_of_blocks(blocks.data(), m, d, centre.data(), begin, units, got.data(), first);
          ASSERT_EQ(bits(got), bits(expected))
              << "d=" << d << " m=" << m << " begin=" << begin << " first=" << first;
        }
      }
    }
  }
}

TEST(SampleBlocks, RearrangesInPlaceAndPutsBackOnEveryPath) {
  std::mt19937 rng(6);
  for (std::size_t d : {1u, 5u, 33u}) {
    for (std::size_t m : {7u, 16u, 50u, 1000u}) {
      const std::vector<float> original = random_rows(rng, m * d);
      std::vector<float> rows = original;
      {
        SampleBlocks blocks(rows.data(), m, d);
        blocks.rearrange();
        ASSERT_EQ(bits(rows), bits(blocked_copy(original, m, d))) << "d=" << d << " m=" << m;
        blocks.put_back();
        ASSERT_EQ(bits(rows), bits(original)) << "d=" << d << " m=" << m;
        blocks.rearrange();
      }  // left rearranged, as when seeding throws: the destructor puts it back
      ASSERT_EQ(bits(rows), bits(original)) << "d=" << d << " m=" << m;
    }
  }
}

}  // namespace
}  // namespace tarnwick
