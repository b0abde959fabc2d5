// The assignment kernel with AVX2 and FMA. Compiled with -mavx2 -mfma;
// called only where the CPU and the operating system have both.
#include "kmeans/assign.h"

#if defined(__x86_64__)
#include "kmeans/assign_avx2.h"
#include "kmeans/assign_kernel.h"

namespace tarnwick::assign_detail {

Kernel avx2_kernel() { return make_kernel<Avx2>(); }

}  // namespace tarnwick::assign_detail
#endif
