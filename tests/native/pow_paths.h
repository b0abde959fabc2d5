// Test-only forms of the exact pow: a whole array through either path, for
// comparing the vector path's batch handling (tails, in place) with the
// library's pow.
#pragma once

#include <cstddef>

namespace tarnwick::pow_paths {

// out[i] = pow(x[i], y) for i < n (out may be x): through pow4 when
// `vector` (callable only where has_avx2_fma()), else the library's pow.
void pow_batch(const double* x, double y, double* out, std::size_t n, bool vector);

}  // namespace tarnwick::pow_paths
