#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "kmeans/nearest.h"

namespace tarnwick {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Products and norms from a small palette, so that ties, signed zeros, NaN
// and infinities (also as inf - inf) turn up often.
struct Block {
  std::size_t rows, k;
  std::vector<float> g, norms;
};

Block palette_block(std::mt19937& rng, std::size_t rows, std::size_t k) {
  static const float palette[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 2.0f, 3.0f, kInf, -kInf,
                                  kNaN, 1e30f, -1e30f, 1e-30f, 4.0f, 0.25f};
  std::uniform_int_distribution<std::size_t> pick(0, std::size(palette) - 1);
  std::uniform_int_distribution<int> rare(0, 9);
  Block b{rows, k, std::vector<float>(rows * k), std::vector<float>(k)};
  // Mostly ordinary values, so that rows are not all NaN.
  for (float& x : b.g) x = rare(rng) == 0 ? palette[pick(rng)] : static_cast<float>(rare(rng));
  for (float& x : b.norms) x = rare(rng) == 0 ? palette[pick(rng)] : static_cast<float>(rare(rng));
  return b;
}

std::vector<Label> by_scan(const Block& b) {
  std::vector<Label> out(b.rows);
  for (std::size_t i = 0; i < b.rows; ++i)
    out[i] = nearest_detail::scan(b.g.data() + i * b.k, b.norms.data(), b.k);
  return out;
}

TEST(Nearest, EveryPathAgreesWithTheScan) {
  std::mt19937 rng(5);
  // Every k up to past the lane widths, and around the edges of the one-row
  // scan's chains of 32 columns.
  std::vector<std::size_t> ks;
  for (std::size_t k = 1; k <= 41; ++k) ks.push_back(k);
  for (std::size_t k : {63u, 64u, 65u, 80u, 95u, 96u, 97u, 128u, 1000u}) ks.push_back(k);
  for (std::size_t k : ks) {
    for (std::size_t rows : {1u, 3u, 4u, 7u, 8u, 9u, 16u, 17u, 31u, 32u, 45u}) {
      for (int rep = 0; rep < 6; ++rep) {
        Block b = palette_block(rng, rows, k);
        std::vector<Label> expected = by_scan(b);
        std::vector<Label> got(rows, -1);
        nearest_rows(b.g.data(), rows, k, b.norms.data(), got.data());
        ASSERT_EQ(got, expected) << "k=" << k << " rows=" << rows;
#if defined(__SSE2__)
        for (std::size_t i = 0; i + 4 <= rows; i += 4) {
          Label four[4];
          nearest_detail::scan_lanes<1>(b.g.data() + i * k, k, b.norms.data(), four);
          for (std::size_t r = 0; r < 4; ++r) ASSERT_EQ(four[r], expected[i + r]) << k;
        }
#endif
#if defined(__x86_64__)
        if (has_avx2() && k >= 8) {
          for (std::size_t i = 0; i + 8 <= rows; i += 8) {
            Label eight[8];
            nearest_detail::scan8_avx2(b.g.data() + i * k, k, b.norms.data(), eight);
            for (std::size_t r = 0; r < 8; ++r) ASSERT_EQ(eight[r], expected[i + r]) << k;
          }
        }
        if (has_avx512() && k >= 8) {
          for (std::size_t i = 0; i + 16 <= rows; i += 16) {
            Label sixteen[16];
            nearest_detail::scan16_avx512(b.g.data() + i * k, k, b.norms.data(), sixteen);
            for (std::size_t r = 0; r < 16; ++r) ASSERT_EQ(sixteen[r], expected[i + r]) << k;
          }
        }
        if (has_avx512()) {
          for (std::size_t i = 0; i < rows; ++i)
            ASSERT_EQ(nearest_detail::scan_row_avx512(b.g.data() + i * k, k, b.norms.data()),
                      expected[i])
                << "k=" << k;
        }
#endif
      }
    }
  }
}

TEST(Nearest, SpecialRows) {
  const std::size_t k = 12, rows = 8;
  std::vector<float> norms(k, 0.0f);
  std::vector<float> g(rows * k, 0.0f);
  auto row = [&](std::size_t i) { return g.data() + i * k; };
  for (std::size_t j = 0; j < k; ++j) {
    row(0)[j] = kNaN;   // all NaN: 0
    row(1)[j] = -kInf;  // all scores +inf: 0
    row(2)[j] = 1.0f;   // all equal: the first
  }
  row(3)[5] = kInf;     // score -inf at 5 wins
  row(3)[9] = kInf;
  row(4)[11] = 0.5f;    // the last column
  row(5)[0] = kNaN;     // NaN first, then a tie at 3 and 7
  row(5)[3] = 2.0f;
  row(5)[7] = 2.0f;
  row(6)[1] = -0.0f;    // signed zeros tie with zeros: 0
  std::vector<Label> got(rows);
  nearest_rows(g.data(), rows, k, norms.data(), got.data());
  EXPECT_EQ(got, (std::vector<Label>{0, 0, 0, 5, 11, 3, 0, 0}));
#if defined(__x86_64__)
  if (has_avx512()) {
    for (std::size_t i = 0; i < rows; ++i)
      EXPECT_EQ(nearest_detail::scan_row_avx512(row(i), k, norms.data()), got[i]) << i;
  }
#endif
}

}  // namespace
}  // namespace tarnwick
