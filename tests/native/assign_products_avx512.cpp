// Test-only: the avx512 path's products (assign_paths.h).
#include "assign_paths.h"

#if defined(__x86_64__)
#include "kmeans/assign_avx512.h"
#include "assign_products.h"

namespace tarnwick::assign_test {

Products avx512_products() { return assign_detail::ProductsOf<assign_detail::Avx512>::get(); }

}  // namespace tarnwick::assign_test
#endif
