// The machine's own limits for the kmeans benchmark: the fma peak (twelve
// independent chains of vector fmas per thread, no loads) and the best
// streaming read (threads summing their parts of an array far past the
// last-level cache, with and without software prefetch), on T threads.
// Built by kmeans_vs_peers.py with -O3 and the flags of one instruction set;
// PROBE_WIDTH is the floats in one of its vectors (1: scalar fmas).
//
//   limits_probe fma THREADS    prints GFLOP/s
//   limits_probe read THREADS   prints GB/s
//   limits_probe serve THREADS  prints GB/s for each line read from stdin, the
//                               buffer kept: a read beside each timed round
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>
#include <unistd.h>
#include <sys/mman.h>

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

// Sums a part with four 64-byte accumulators, so that the adds keep up with
// memory. AHEAD > 0 also prefetches that many bytes ahead, as our kernels do:
// the probe must not lose to a kernel merely by fetching better.
template <std::size_t AHEAD>
[[gnu::noinline]] float sum_part(const float* p, std::size_t n) {
  constexpr int kW = 64 / sizeof(float);
  typedef float Line __attribute__((vector_size(64), aligned(4)));
  Line acc[4] = {};
  std::size_t i = 0;
  for (; i + 4 * kW <= n; i += 4 * kW) {
    if constexpr (AHEAD > 0)
      for (int a = 0; a < 4; ++a) __builtin_prefetch(p + i + a * kW + AHEAD / sizeof(float), 0, 3);
    for (int a = 0; a < 4; ++a) acc[a] += *reinterpret_cast<const Line*>(p + i + a * kW);
  }
  float out = 0.0f;
  for (int a = 0; a < 4; ++a)
    for (int l = 0; l < kW; ++l) out += acc[a][l];
  for (; i < n; ++i) out += p[i];
  return out;
}

// Bytes to stream: at least 1 GiB and four times the last-level cache.
std::size_t read_bytes() {
  std::size_t llc = 0;
#ifdef _SC_LEVEL3_CACHE_SIZE
  const long l3 = sysconf(_SC_LEVEL3_CACHE_SIZE);
  if (l3 > 0) llc = static_cast<std::size_t>(l3);
#endif
  return std::max<std::size_t>(std::size_t{1} << 30, 4 * llc);
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
  if (std::strcmp(argv[1], "fma") == 0) {
    double best = 1e30;
    for (int r = 0; r < 7; ++r)
      best = std::min(best, seconds_on(threads, [&](int t) { sink = sink + fma_chains(1e-3f * (t + 1)); }));
    std::printf("%.2f\n", 2.0 * kChains * PROBE_WIDTH * kSteps * threads / best / 1e9);
  } else {
    // Huge pages where the kernel grants them: the fewest TLB misses, so the
    // best read this machine does.
    const std::size_t bytes = read_bytes(), n = bytes / sizeof(float);
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    float* data = static_cast<float*>(std::aligned_alloc(kHuge, (bytes + kHuge - 1) / kHuge * kHuge));
    if (data == nullptr) return 1;
    madvise(data, bytes, MADV_HUGEPAGE);
    const std::size_t part = n / threads / 16 * 16;
    seconds_on(threads, [&](int t) { std::fill_n(data + t * part, part, 1.0f); });
    float (*const variants[])(const float*, std::size_t) = {sum_part<0>, sum_part<1024>, sum_part<4096>};
    auto best_read = [&](int reps) {
      double best = 1e30;
      for (int r = 0; r < reps; ++r)
        for (auto* sum : variants)
          best = std::min(best, seconds_on(threads, [&](int t) { sink = sink + sum(data + t * part, part); }));
      return part * threads * sizeof(float) / best / 1e9;
    };
    if (std::strcmp(argv[1], "serve") == 0) {
      // This memory's bandwidth moves with the host's other tenants, by up
      // to twice over minutes: the caller measures it beside each round.
      for (int c; (c = std::getchar()) != EOF;)
        if (c == '\n') {
          std::printf("%.2f\n", best_read(1));
          std::fflush(stdout);
        }
    } else {
      std::printf("%.2f\n", best_read(7));
    }
    std::free(data);
  }
  return 0;
}
