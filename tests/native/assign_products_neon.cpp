// Test-only: the neon path's products (assign_paths.h).
#include "assign_paths.h"

#if defined(__aarch64__)
#include "kmeans/assign_neon.h"
#include "assign_products.h"

namespace tarnwick::assign_test {

Products neon_products() { return assign_detail::ProductsOf<assign_detail::Neon>::get(); }

}  // namespace tarnwick::assign_test
#endif
