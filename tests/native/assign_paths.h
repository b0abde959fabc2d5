// Test-only: the products (rows×k, row stride k, the contract's chains) each
// arrangement of each assignment path computes, from the kernel templates
// themselves, instantiated in test-only files compiled for the path's
// instruction set (assign_products_*.cpp). Call a path's only where the CPU
// has it.
#pragma once

#include "kmeans/assign.h"

namespace tarnwick::assign_test {

struct Products {
  void (*rows)(const AssignBlock& b, float* G, float* scratch);
  void (*centroids)(const AssignBlock& b, float* G, float* scratch);
  // Centroids in one block of rows in lanes at row length d.
  std::size_t (*block_centroids)(std::size_t d);
};

Products portable_products();
Products avx2_products();
Products avx512_products();
Products neon_products();

}  // namespace tarnwick::assign_test
