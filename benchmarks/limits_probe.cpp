// The machine's own limits for the kmeans benchmark: the fma peak (twelve
// independent chains of vector fmas per thread, no loads) and the read
// bandwidth (threads summing their parts of a large array), on T threads.
// Built by kmeans_vs_peers.py with -O3 and the flags of one instruction set;
// PROBE_WIDTH is the floats in one of its vectors (1: scalar fmas).
//
//   limits_probe fma THREADS   prints GFLOP/s
//   limits_probe read THREADS  prints GB/s
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#ifndef PROBE_WIDTH
#define PROBE_WIDTH 8
#endif

#if PROBE_WIDTH == 1
typedef float Vec;
inline float lane(Vec v, int) { return v; }
#else
typedef float Vec __attribute__((vector_size(PROBE_WIDTH * sizeof(float))));
inline float lane(Vec v, int i) { return v[i]; }
#endif
constexpr int kChains = 12;  // enough to cover the fma latency of every pipe
constexpr long kSteps = 50'000'000;

// One thread's fma chains; the sum keeps them alive. Contracted into fmas by
// -ffp-contract=fast; the script checks the assembly for loads or stores in
// the loop.
[[gnu::noinline]] float fma_chains(float seed) {
  Vec acc[kChains];
  for (int c = 0; c < kChains; ++c) acc[c] = Vec{} + seed * (c + 1);
  const Vec mul = Vec{} + 0.999999f, add = Vec{} + 1e-7f;
  for (long s = 0; s < kSteps; ++s)
#pragma GCC unroll 12
    for (int c = 0; c < kChains; ++c) acc[c] = acc[c] * mul + add;
  Vec total = Vec{};
  for (int c = 0; c < kChains; ++c) total += acc[c];
  float out = 0.0f;
  for (int i = 0; i < PROBE_WIDTH; ++i) out += lane(total, i);
  return out;
}

// Sums a part with eight vector accumulators, so that the adds keep up with memory.
[[gnu::noinline]] float sum_part(const float* p, std::size_t n) {
  constexpr int kW = 64 / sizeof(float);
  typedef float Line __attribute__((vector_size(64), aligned(4)));
  Line acc[4] = {};
  std::size_t i = 0;
  for (; i + 4 * kW <= n; i += 4 * kW)
    for (int a = 0; a < 4; ++a) acc[a] += *reinterpret_cast<const Line*>(p + i + a * kW);
  float out = 0.0f;
  for (int a = 0; a < 4; ++a)
    for (int l = 0; l < kW; ++l) out += acc[a][l];
  for (; i < n; ++i) out += p[i];
  return out;
}

template <class Fn>
double seconds_on(int threads, Fn&& fn) {
  std::vector<std::thread> pool;
  const auto t0 = std::chrono::steady_clock::now();
  for (int t = 0; t < threads; ++t) pool.emplace_back(fn, t);
  for (auto& th : pool) th.join();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const int threads = std::atoi(argv[2]);
  volatile float sink = 0.0f;
  double best = 1e30;
  if (std::strcmp(argv[1], "fma") == 0) {
    for (int r = 0; r < 5; ++r)
      best = std::min(best, seconds_on(threads, [&](int t) { sink = sink + fma_chains(1e-3f * (t + 1)); }));
    std::printf("%.2f\n", 2.0 * kChains * PROBE_WIDTH * kSteps * threads / best / 1e9);
  } else {
    const std::size_t n = std::size_t{1} << 28;  // 1 GiB of floats
    std::vector<float> data(n);
    const std::size_t part = n / threads;
    seconds_on(threads, [&](int t) { std::fill_n(data.data() + t * part, part, 1.0f); });
    for (int r = 0; r < 5; ++r)
      best = std::min(best, seconds_on(threads, [&](int t) { sink = sink + sum_part(data.data() + t * part, part); }));
    std::printf("%.2f\n", n * sizeof(float) / best / 1e9);
  }
  return 0;
}
