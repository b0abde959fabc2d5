#include "kmeans/gemm.h"

#include <cblas.h>

#include <climits>
#include <cstring>
#include <mutex>
#include <string>

#include "boundary/fault.h"

namespace tarnwick {
namespace {

constexpr std::size_t kIntMax = static_cast<std::size_t>(INT_MAX);

// Our pool already runs one block per worker; the library's own threads would
// only oversubscribe the cores.
void single_threaded_library() {
  static std::once_flag once;
  std::call_once(once, [] { openblas_set_num_threads(1); });
}

}  // namespace

void check_gemm_dims(std::size_t k, std::size_t d) {
  auto check = [](const char* what, std::size_t value) {
    if (value > kIntMax)
      raise_fault(std::string("matrix product dimension too large for the GEMM library: ") + what +
                  " = " + std::to_string(value));
  };
  // The leading dimensions equal d (both operands) and k (the result).
  check("k", k);
  check("d", d);
}

void gemm_block(const float* X_block, std::size_t rows, std::size_t d, const float* centroids,
                std::size_t k, float* G_block) {
  if (rows == 0 || k == 0) return;
  if (d == 0) {
    std::memset(G_block, 0, rows * k * sizeof(float));
    return;
  }
  check_gemm_dims(k, d);
  single_threaded_library();
  const int ik = static_cast<int>(k);
  const int id = static_cast<int>(d);
  // With beta = 0 the library first clears the block with a slow per-element
  // pass and then adds the products into it; clearing it here and passing
  // beta = 1 leaves the same additions onto the same zeros.
  std::memset(G_block, 0, rows * k * sizeof(float));
  // Result rows depend only on their own input row, so a block too tall for
  // an int is done in slices.
  for (std::size_t r0 = 0; r0 < rows; r0 += kIntMax) {
    std::size_t slice = rows - r0 < kIntMax ? rows - r0 : kIntMax;
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(slice), ik, id, 1.0f,
                X_block + r0 * d, id, centroids, id, 1.0f, G_block + r0 * k, ik);
  }
}

}  // namespace tarnwick
