// The assignment kernel with NEON on 64-bit Arm.
#include "kmeans/assign.h"

#if defined(__aarch64__)
#include "kmeans/assign_neon.h"
#include "kmeans/assign_kernel.h"

namespace tarnwick::assign_detail {

Kernel neon_kernel() { return make_kernel<Neon>(); }

}  // namespace tarnwick::assign_detail
#endif
