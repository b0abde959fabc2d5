// The seeded generator behind every random choice of both functions.
#pragma once

#include <cstdint>

#include "support/fault.h"

namespace tarnwick {

class SplitMix64 {
 public:
  static constexpr std::uint64_t kGoldenGamma = 0x9e3779b97f4a7c15ULL;
  static constexpr std::uint64_t kKmeansSeedMask = 0x9e3779b97f4a7c15ULL;
  static constexpr std::uint64_t kLayoutSeedMask = 0x0123456789abcdefULL;
  // The output mix: z ^= z >> s, then z *= m, twice, then a final z ^= z >> s.
  // Vector versions of next_u64() take these rather than copies.
  static constexpr int kMixShift1 = 30;
  static constexpr std::uint64_t kMixMultiplier1 = 0xbf58476d1ce4e5b9ULL;
  static constexpr int kMixShift2 = 27;
  static constexpr std::uint64_t kMixMultiplier2 = 0x94d049bb133111ebULL;
  static constexpr int kMixShift3 = 31;

  explicit constexpr SplitMix64(std::uint64_t state) noexcept : state_(state) {}

  static constexpr SplitMix64 for_kmeans(std::uint64_t seed) noexcept {
    return SplitMix64(seed ^ kKmeansSeedMask);
  }
  static constexpr SplitMix64 for_layout(std::uint64_t seed) noexcept {
    return SplitMix64(seed ^ kLayoutSeedMask);
  }

  constexpr std::uint64_t next_u64() noexcept {
    state_ += kGoldenGamma;
    std::uint64_t z = state_;
    z = (z ^ (z >> kMixShift1)) * kMixMultiplier1;
    z = (z ^ (z >> kMixShift2)) * kMixMultiplier2;
    return z ^ (z >> kMixShift3);
  }

  // Plain remainder: the slight bias towards small indices is part of the stream.
  std::uint64_t next_index(std::uint64_t n) {
    if (n == 0) [[unlikely]] remainder_by_zero_fault();
    return next_u64() % n;
  }

  // The conversion rounds to nearest; the scaling by 2^-64 is exact.
  constexpr double next_unit_f64() noexcept {
    return static_cast<double>(next_u64()) * 0x1p-64;
  }

  constexpr std::uint64_t state() const noexcept { return state_; }

 private:
  std::uint64_t state_;
};

}  // namespace tarnwick
