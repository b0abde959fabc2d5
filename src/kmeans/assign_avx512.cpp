// The assignment kernel with AVX-512F. Compiled with -mavx512f -mfma;
// called only where the CPU and the operating system have it.
#include "kmeans/assign.h"

#if defined(__x86_64__)
#include "kmeans/assign_avx512.h"
#include "kmeans/assign_kernel.h"

namespace tarnwick::assign_detail {

Kernel avx512_kernel() { return make_kernel<Avx512>(); }

}  // namespace tarnwick::assign_detail
#endif
