// The one matrix product of the Lloyd step, behind a plain interface so that
// only gemm.cpp sees the BLAS headers.
#pragma once

#include <cstddef>

namespace tarnwick {

// G_block (rows×k, row stride k) = X_block (rows×d, row stride d) · centroidsᵀ
// (centroids k×d row-major). Rows are independent, so any row count is
// accepted; k and d must fit the library's int arguments (see
// check_gemm_dims). d == 0 yields zeros without calling the library.
void gemm_block(const float* X_block, std::size_t rows, std::size_t d, const float* centroids,
                std::size_t k, float* G_block);

// Rows per block for an n×d by k×d product: fixed by the shape and the
// library's kernel, never by the thread count, because the library's result
// for a row depends on the block's row count and the row's place in it (its
// kernels tile and split rows by the block's shape).
std::size_t gemm_block_rows(std::size_t n, std::size_t d, std::size_t k);

// Picks the library's kernel and sets it to one thread, once per process;
// gemm_block calls it too. The module calls it at import, while the
// interpreter lock keeps other Python threads from reading the environment,
// which the kernel choice briefly touches.
void prepare_gemm_library();

// Faults when k or d cannot be passed to the library. gemm_block checks this
// itself; callers that fan blocks out over workers check once beforehand so
// that the fault is raised (and reported) once, on the calling thread.
void check_gemm_dims(std::size_t k, std::size_t d);

}  // namespace tarnwick
