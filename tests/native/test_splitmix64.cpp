#include <gtest/gtest.h>

#include <cstdint>

#include "support/splitmix64.h"

using tarnwick::Fault;
using tarnwick::SplitMix64;

namespace {

struct StreamCase {
  SplitMix64 rng;
  std::uint64_t first[3];
};

class SplitMix64Stream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(SplitMix64Stream, MatchesPublishedOutputs) {
  StreamCase c = GetParam();
  for (std::uint64_t expected : c.first) EXPECT_EQ(c.rng.next_u64(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Seeds, SplitMix64Stream,
    ::testing::Values(
        StreamCase{SplitMix64::for_kmeans(0), {0x6e789e6aa1b965f4, 0x06c45d188009454f, 0xf88bb8a8724c81ec}},
        StreamCase{SplitMix64::for_layout(0), {0x157a3807a48faa9d, 0xd573529b34a1d093, 0x2f90b72e996dccbe}},
        StreamCase{SplitMix64::for_layout(42), {0x773b80f8c7837c8b, 0xf82984e3de23e69a, 0xe69933b01d1166ca}},
        // Both masks map these seeds to state 0: the plain published stream.
        StreamCase{SplitMix64::for_layout(0x0123456789abcdef), {0xe220a8397b1dcdaf, 0x6e789e6aa1b965f4, 0x06c45d188009454f}},
        StreamCase{SplitMix64::for_kmeans(0x9e3779b97f4a7c15), {0xe220a8397b1dcdaf, 0x6e789e6aa1b965f4, 0x06c45d188009454f}}));

TEST(SplitMix64, IndexIsPlainRemainder) {
  SplitMix64 kmeans = SplitMix64::for_kmeans(0);
  EXPECT_EQ(kmeans.next_index(10), 0u);
  EXPECT_EQ(kmeans.next_index(10), 9u);
  EXPECT_EQ(kmeans.next_index(10), 4u);
  SplitMix64 layout = SplitMix64::for_layout(0);
  EXPECT_EQ(layout.next_index(10), 5u);
  EXPECT_EQ(layout.next_index(10), 3u);
  EXPECT_EQ(layout.next_index(10), 6u);
}

TEST(SplitMix64, IndexOfOneStillAdvances) {
  SplitMix64 rng = SplitMix64::for_layout(7);
  const std::uint64_t before = rng.state();
  EXPECT_EQ(rng.next_index(1), 0u);
  EXPECT_NE(rng.state(), before);
}

TEST(SplitMix64, IndexOfZeroFaultsWithoutAdvancing) {
  SplitMix64 rng = SplitMix64::for_kmeans(3);
  const std::uint64_t before = rng.state();
  try {
    rng.next_index(0);
    FAIL() << "expected a fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.text(), "attempt to calculate the remainder with a divisor of zero");
  }
  EXPECT_EQ(rng.state(), before);
}

TEST(SplitMix64, UnitDrawAndItsFloatNarrowing) {
  SplitMix64 rng = SplitMix64::for_kmeans(0);
  const double u = rng.next_unit_f64();
  EXPECT_NEAR(u, 0.43152799704851, 1e-14);
  EXPECT_EQ(static_cast<float>(u), 0.4315280020236969f);
}

TEST(SplitMix64, UnitDrawReachesOneOnlyAtTheTop) {
  // The largest outputs round up to 2^64 and so give exactly 1.0.
  EXPECT_EQ(static_cast<double>(UINT64_MAX) * 0x1p-64, 1.0);
  EXPECT_LT(static_cast<double>(UINT64_MAX - 1024) * 0x1p-64, 1.0);
  EXPECT_EQ(SplitMix64::for_layout(UINT64_MAX).state(), 0xfedcba9876543210u);
}

}  // namespace
