// Test-only: the portable path's products (assign_paths.h).
#include "kmeans/assign_portable.h"
#include "assign_products.h"

namespace tarnwick::assign_test {

Products portable_products() { return assign_detail::ProductsOf<assign_detail::Portable>::get(); }

}  // namespace tarnwick::assign_test
