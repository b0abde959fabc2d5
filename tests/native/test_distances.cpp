#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "kmeans/distances.h"

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

}  // namespace
}  // namespace tarnwick
