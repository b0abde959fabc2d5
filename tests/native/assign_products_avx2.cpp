// Test-only: the avx2 path's products (assign_paths.h).
#include "assign_paths.h"

#if defined(__x86_64__)
#include "kmeans/assign_avx2.h"
#include "assign_products.h"

namespace tarnwick::assign_test {

Products avx2_products() { return assign_detail::ProductsOf<assign_detail::Avx2>::get(); }

}  // namespace tarnwick::assign_test
#endif
