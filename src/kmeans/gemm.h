// The one matrix product of the Lloyd step, behind a plain interface so that
// only gemm.cpp sees the BLAS headers, and the library's setup.
#pragma once

#include <cstddef>

namespace tarnwick {

// Sets the library up for our use, once per process: picks its kernel (see
// gemm.cpp) and sets it to one thread, since our pool already runs one block
// per worker. The module runs it at import, while the interpreter lock keeps
// other Python threads from reading the environment, which the kernel choice
// briefly touches. Later calls do nothing. Products before it run on the
// library's own choice of kernel and threads.
void setup_gemm_library();

// Whether the library's kernel has a fast path for small products, which
// gemm_block_rows cuts blocks for.
bool gemm_kernel_has_small_product_path();

// G_block (rows×k, row stride k) = X_block (rows×d, row stride d) · centroidsᵀ
// (centroids k×d row-major). Rows are independent, so any row count is
// accepted; k and d must fit the library's int arguments (see
// check_gemm_dims). d == 0 yields zeros without calling the library.
void gemm_block(const float* X_block, std::size_t rows, std::size_t d, const float* centroids,
                std::size_t k, float* G_block);

// Rows per block for an n×d by k×d product on a kernel with or without the
// small-product path: fixed by the shape and the kernel, never by the thread
// count, because the library's result for a row depends on the block's row
// count and the row's place in it (its kernels tile and split rows by the
// block's shape).
std::size_t gemm_block_rows(std::size_t n, std::size_t d, std::size_t k, bool small_product_path);

// Faults when k or d cannot be passed to the library. gemm_block checks this
// itself; callers that fan blocks out over workers check once beforehand so
// that the fault is raised (and reported) once, on the calling thread.
void check_gemm_dims(std::size_t k, std::size_t d);

namespace gemm_detail {

// What the kernel upgrade needs from the library. init and quit are null in
// builds without run-time kernel selection.
struct KernelSelection {
  const char* (*core_name)();
  void (*init)();
  void (*quit)();
};

// The kernel a processor with these features runs well, in the library's own
// names; null when the generic kernel is as good as it gets.
const char* kernel_for_this_cpu();

// Redoes the library's kernel selection by processor features when it fell
// back to its generic kernel, leaving the environment as it was. Returns the
// kernel asked for, or null when nothing was done.
const char* upgrade_fallback_kernel(const KernelSelection& library);

}  // namespace gemm_detail
}  // namespace tarnwick
