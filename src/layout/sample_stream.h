// The stream of negative samples: next_index(n_vertices) of the layout's
// generator, drawn by multiplication instead of a divide, one at a time a
// few ahead of their use, or in batches by a draw the caller picks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/splitmix64.h"

namespace tarnwick::layout {

// x % d for a fixed divisor d >= 1, by multiplication (Granlund and
// Montgomery, "Division by invariant integers using multiplication", 1994,
// figure 4.1): exact for every 64-bit x, without the latency of a divide.
class Remainder {
 public:
  explicit Remainder(std::uint64_t d) : d_(d) {
    const int l = d == 1 ? 0 : 64 - __builtin_clzll(d - 1);  // ceil(log2 d)
    const unsigned __int128 two_l = static_cast<unsigned __int128>(1) << l;
    magic_ = static_cast<std::uint64_t>(((two_l - d) << 64) / d + 1);
    shift1_ = l < 1 ? l : 1;
    shift2_ = l > 1 ? l - 1 : 0;
  }

  std::uint64_t of(std::uint64_t x) const {
    const auto t1 = static_cast<std::uint64_t>((static_cast<unsigned __int128>(magic_) * x) >> 64);
    const std::uint64_t q = (t1 + ((x - t1) >> shift1_)) >> shift2_;
    return x - q * d_;
  }

  // For vector versions of of(): with d >= 2 the first shift is 1.
  std::uint64_t divisor() const { return d_; }
  std::uint64_t magic() const { return magic_; }
  int final_shift() const { return shift2_; }

 private:
  std::uint64_t d_;
  std::uint64_t magic_ = 0;
  int shift1_ = 0;
  int shift2_ = 0;
};

// out[k] = remainder.of(rng.next_u64()) for k < count: the stream of
// next_index(d) for d > 0, without its divide.
using IndexDraw = void (*)(SplitMix64& rng, const Remainder& remainder, std::size_t count,
                           std::uint64_t* out);

inline void draw_indices(SplitMix64& rng, const Remainder& remainder, std::size_t count, std::uint64_t* out) {
  for (std::size_t k = 0; k < count; ++k) out[k] = remainder.of(rng.next_u64());
}

// The negative samples' vertices: the stream of next_index(n_vertices), in
// order. One at a time they are drawn a few ahead of their use, so that
// their rows can be fetched early; draws left over at the end are simply
// dropped.
class SampleQueue {
 public:
  static constexpr std::size_t kDepth = 8;

  SampleQueue(SplitMix64 rng, std::uint64_t n_vertices, const double* x, std::size_t dim)
      : rng_(rng), n_(n_vertices), remainder_(n_vertices == 0 ? 1 : n_vertices), x_(x), dim_(dim) {}

  std::uint64_t next() {
    if (n_ == 0) return rng_.next_index(0);  // faults
    if (n_ahead_ != kDepth) [[unlikely]] fill();
    const std::uint64_t v = ahead_[pos_];
    const std::uint64_t refill = remainder_.of(rng_.next_u64());
    ahead_[pos_] = refill;
    __builtin_prefetch(x_ + refill * dim_, 0, 3);
    pos_ = (pos_ + 1) % kDepth;
    return v;
  }

  // out[k] = next() for k < count (n_vertices > 0): those drawn ahead, then
  // `draw` for the rest, which are not fetched.
  void take(std::size_t count, std::uint64_t* out, IndexDraw draw) {
    std::size_t k = 0;
    for (; k < count && n_ahead_ > 0; ++k, --n_ahead_) {
      out[k] = ahead_[pos_];
      pos_ = (pos_ + 1) % kDepth;
    }
    if (k < count) draw(rng_, remainder_, count - k, out + k);
  }

 private:
  void fill() {
    for (; n_ahead_ < kDepth; ++n_ahead_) {
      const std::uint64_t v = remainder_.of(rng_.next_u64());
      ahead_[(pos_ + n_ahead_) % kDepth] = v;
      __builtin_prefetch(x_ + v * dim_, 0, 3);
    }
  }

  SplitMix64 rng_;
  std::uint64_t n_;
  Remainder remainder_;
  const double* x_;
  std::size_t dim_;
  std::uint64_t ahead_[kDepth] = {};
  std::size_t pos_ = 0;
  std::size_t n_ahead_ = 0;
};

}  // namespace tarnwick::layout
