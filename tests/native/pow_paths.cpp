// Test-only: pow_batch over the exact pow's vector path or the library.
#include "pow_paths.h"

#include <algorithm>
#include <cmath>

#include "support/exact_pow.h"

namespace tarnwick::pow_paths {
namespace {

#if defined(__x86_64__)
[[gnu::target("avx2,fma")]] void pow_batch_vector(const double* x, double y, double* out,
                                                  std::size_t n) {
  const __m256d yv = _mm256_set1_pd(y);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) _mm256_storeu_pd(out + i, pow4(_mm256_loadu_pd(x + i), yv));
  if (i < n) {
    // Padding with 2 keeps the unused lanes on the vector path.
    alignas(32) double xs[4] = {2, 2, 2, 2}, rs[4];
    std::copy(x + i, x + n, xs);
    _mm256_store_pd(rs, pow4(_mm256_load_pd(xs), yv));
    std::copy(rs, rs + (n - i), out + i);
  }
}
#endif

}  // namespace

void pow_batch(const double* x, double y, double* out, std::size_t n, bool vector) {
#if defined(__x86_64__)
  if (vector) {
    pow_batch_vector(x, y, out, n);
    return;
  }
#endif
  for (std::size_t i = 0; i < n; ++i) out[i] = std::pow(x[i], y);
}

}  // namespace tarnwick::pow_paths
