// The portable assignment kernel, and the widest kernel this CPU has,
// chosen once per process; which blocks take which arrangement.
#include "kmeans/assign.h"

#include "kmeans/assign_kernel.h"
#include "kmeans/assign_portable.h"
#include "kmeans/kmeans_path.h"

namespace tarnwick::assign_detail {

Kernel portable_kernel() { return make_kernel<Portable>(); }

namespace {

Kernel widest_kernel() {
#if defined(__x86_64__)
  if (kmeans_avx512()) return avx512_kernel();
  if (kmeans_avx2_fma()) return avx2_kernel();
#elif defined(__aarch64__)
  if (kKmeansNeon) return neon_kernel();
#endif
  return portable_kernel();
}

const Kernel& chosen_kernel() {
  static const Kernel k = widest_kernel();
  return k;
}

}  // namespace
}  // namespace tarnwick::assign_detail

namespace tarnwick {

namespace {

// Long rows with at most Kernel::centroid_lanes centroids are labelled with
// centroids in lanes: the rows then stream from memory straight into the
// fmas, where rearranging them costs as much as the fmas themselves. Below
// kCentroidLanesMinRow only where the centroids fill whole vectors, below
// kCentroidLanesAnyCountRow only with a full vector of centroids or more;
// elsewhere rows in lanes are faster.
constexpr std::size_t kCentroidLanesFullRow = 16;
constexpr std::size_t kCentroidLanesMinRow = 64;
constexpr std::size_t kCentroidLanesAnyCountRow = 256;

bool centroids_in_lanes(const assign_detail::Kernel& kernel, std::size_t d, std::size_t k) {
  const std::size_t lanes = kernel.centroid_lanes;
  if (k == 0 || k > lanes || d < kCentroidLanesFullRow) return false;
  if (k % (lanes / 2) == 0) return true;
  if (d < kCentroidLanesMinRow) return false;
  return d >= kCentroidLanesAnyCountRow || 2 * k >= lanes;
}

}  // namespace

std::size_t laid_out_centroid_floats(std::size_t d, std::size_t k) {
  const assign_detail::Kernel& kernel = assign_detail::chosen_kernel();
  if (!centroids_in_lanes(kernel, d, k)) return 0;
  if (assign_detail::few_centroid_rows(k, kernel.few_centroids)) return k * d;
  const std::size_t lanes = kernel.centroid_lanes;
  return (assign_detail::one_centroid_vector(k, lanes) ? lanes / 2 : lanes) * d;
}

void lay_out_centroids(const float* C, std::size_t d, std::size_t k, float* out) {
  assign_detail::chosen_kernel().lay_out_centroids(C, d, k, out);
}

std::size_t assign_scratch_floats(std::size_t rows, std::size_t d, std::size_t k,
                                  bool centroids_laid_out) {
  const assign_detail::Kernel& kernel = assign_detail::chosen_kernel();
  if (centroids_in_lanes(kernel, d, k)) return centroids_laid_out ? 0 : kernel.centroid_lanes * d;
  return (rows < kernel.scratch_rows ? rows : kernel.scratch_rows) * d;
}

void assign_rows(const AssignBlock& b, Label* out, float* scratch) {
  // Every product and norm is 0, so the first centroid wins: no need to
  // look at the other k - 1, however many.
  if (b.d == 0) {
    for (std::size_t i = 0; i < b.rows; ++i) out[i] = 0;
    return;
  }
  const assign_detail::Kernel& kernel = assign_detail::chosen_kernel();
  if (centroids_in_lanes(kernel, b.d, b.k)) {
    kernel.centroid_labels(b, out, scratch);
  } else {
    kernel.labels(b, out, scratch);
  }
}

}  // namespace tarnwick
