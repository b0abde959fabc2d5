// The matrix product of a row block with the centroids through OpenBLAS, and the library set up once at import.
#include "kmeans/gemm.h"

#include <cblas.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "support/fault.h"

// The library's kernel selection, run by its load-time constructor; called
// again only to redo the selection (see upgrade_fallback_kernel). Weak, since
// builds without run-time kernel selection do not have them: they are null
// there, and the kernel stays as the build fixed it.
extern "C" void gotoblas_dynamic_init(void) __attribute__((weak));
extern "C" void gotoblas_dynamic_quit(void) __attribute__((weak));

namespace tarnwick {
namespace {

constexpr std::size_t kIntMax = static_cast<std::size_t>(INT_MAX);
constexpr const char kCoreTypeVariable[] = "OPENBLAS_CORETYPE";
// The library's generic SSE3 kernel, which it falls back to for processor
// models newer than itself.
constexpr const char kFallbackKernel[] = "Prescott";

// The AVX-512 kernels' fast path for small products, which the general path
// (it pads a handful of centroid columns to its 16-wide tiles) trails by up
// to 1.6x for few centroids over long rows. Products of up to about this
// many result entries and multiply-adds take it (measured on the kernels of
// this library version).
constexpr std::size_t kSmallProductEntries = 1200;
constexpr std::size_t kSmallProductWork = 940000;
// Below this row length the general path is as fast or faster.
constexpr std::size_t kSmallProductMinD = 32;
constexpr std::size_t kSmallProductMinRows = 32;
// The library's kernels that have that path.
constexpr const char* kSmallProductKernels[] = {"SkylakeX", "Cooperlake", "SapphireRapids"};
// Otherwise: at most ~256 blocks, each big enough to run the library well.
constexpr std::size_t kMinBlockRows = 256;
constexpr std::size_t kMaxBlocks = 256;

[[noreturn, gnu::cold, gnu::noinline]] void dimension_fault(const char* what, std::size_t value) {
  raise_fault(std::string("matrix product dimension too large for the GEMM library: ") + what +
              " = " + std::to_string(value));
}

const char* library_core_name() { return openblas_get_corename(); }

}  // namespace

namespace gemm_detail {

const char* kernel_for_this_cpu() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  // The feature tests include the operating system's support for the wider
  // registers, so the chosen kernel cannot fault.
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512cd") &&
      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("avx512vl"))
    return "SkylakeX";
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return "Haswell";
#endif
  // Elsewhere the library's own choice stands: the names above are x86 kernels.
  return nullptr;
}

// The library picks its kernel from the processor model when it is loaded,
// and falls back to its generic kernel for models newer than itself, at
// about half the speed on processors with AVX2 or AVX-512. Then we pick by
// feature instead, through the library's own override (read once, while it
// selects), and restore the environment at once. A kernel chosen by the user
// through that variable is left alone.
const char* upgrade_fallback_kernel(const KernelSelection& library) {
  if (library.init == nullptr || library.quit == nullptr) return nullptr;
  if (std::getenv(kCoreTypeVariable) != nullptr) return nullptr;
  if (std::strcmp(library.core_name(), kFallbackKernel) != 0) return nullptr;
  const char* kernel = kernel_for_this_cpu();
  if (kernel == nullptr) return nullptr;
  if (setenv(kCoreTypeVariable, kernel, 0) != 0) return nullptr;
  library.quit();
  library.init();
  unsetenv(kCoreTypeVariable);
  return kernel;
}

}  // namespace gemm_detail

void setup_gemm_library() {
  static std::once_flag once;
  std::call_once(once, [] {
    gemm_detail::upgrade_fallback_kernel(
        {&library_core_name, gotoblas_dynamic_init, gotoblas_dynamic_quit});
    // Our pool already runs one block per worker; the library's own threads
    // would only oversubscribe the cores.
    openblas_set_num_threads(1);
  });
}

bool gemm_kernel_has_small_product_path() {
  const char* core = openblas_get_corename();
  for (const char* name : kSmallProductKernels)
    if (std::strcmp(core, name) == 0) return true;
  return false;
}

std::size_t gemm_block_rows(std::size_t n, std::size_t d, std::size_t k, bool small_product_path) {
  if (small_product_path && k != 0 && d >= kSmallProductMinD) {
    std::size_t rows = std::min(kSmallProductEntries / k, kSmallProductWork / k / d);
    if (rows >= kSmallProductMinRows) return rows;
  }
  return std::max(kMinBlockRows, n / kMaxBlocks + (n % kMaxBlocks != 0));
}

void check_gemm_dims(std::size_t k, std::size_t d) {
  // The leading dimensions equal d (both operands) and k (the result).
  if (k > kIntMax) [[unlikely]] dimension_fault("k", k);
  if (d > kIntMax) [[unlikely]] dimension_fault("d", d);
}

void gemm_block(const float* X_block, std::size_t rows, std::size_t d, const float* centroids,
                std::size_t k, float* G_block) {
  if (rows == 0 || k == 0) return;
  if (d == 0) {
    std::memset(G_block, 0, rows * k * sizeof(float));
    return;
  }
  check_gemm_dims(k, d);
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
