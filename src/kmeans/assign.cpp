// The portable assignment kernel and the choice of path, once per process.
#include "kmeans/assign.h"

#include "kmeans/assign_kernel.h"
#include "support/cpu_features.h"

namespace tarnwick::assign_detail {
namespace {

// Lanes as plain arrays and one fmaf per lane: what the vector paths do,
// for CPUs without a fused multiply-add of their own (the C library's fmaf
// rounds once there too, in software).
struct Portable {
  static constexpr std::size_t kWidth = 4;
  struct F {
    float v[kWidth];
  };
  struct I {
    Label v[kWidth];
  };
  struct Mask {
    bool v[kWidth];
  };
  template <class R, class Op>
  static R lanewise(Op op) {
    R r;
    for (std::size_t i = 0; i < kWidth; ++i) r.v[i] = op(i);
    return r;
  }
  static F zero() { return set1(0.0f); }
  static F load(const float* p) { return lanewise<F>([&](std::size_t i) { return p[i]; }); }
  static F set1(float x) { return lanewise<F>([&](std::size_t) { return x; }); }
  static F fma(F a, F b, F c) {
    return lanewise<F>([&](std::size_t i) { return __builtin_fmaf(a.v[i], b.v[i], c.v[i]); });
  }
  static F add(F a, F b) { return lanewise<F>([&](std::size_t i) { return a.v[i] + b.v[i]; }); }
  static F sub(F a, F b) { return lanewise<F>([&](std::size_t i) { return a.v[i] - b.v[i]; }); }
  static Mask less(F a, F b) { return lanewise<Mask>([&](std::size_t i) { return a.v[i] < b.v[i]; }); }
  static F select(Mask m, F a, F b) {
    return lanewise<F>([&](std::size_t i) { return m.v[i] ? a.v[i] : b.v[i]; });
  }
  static I select(Mask m, I a, I b) {
    return lanewise<I>([&](std::size_t i) { return m.v[i] ? a.v[i] : b.v[i]; });
  }
  static I set1_label(Label j) { return lanewise<I>([&](std::size_t) { return j; }); }
  static void store(float* p, F v) {
    for (std::size_t i = 0; i < kWidth; ++i) p[i] = v.v[i];
  }
  static void store_labels(Label* p, I v) {
    for (std::size_t i = 0; i < kWidth; ++i) p[i] = v.v[i];
  }
};


Path best_path() {
#if defined(__x86_64__)
  if (has_avx512()) return Path::avx512;
  if (has_avx2_fma()) return Path::avx2;
#elif defined(__aarch64__)
  return Path::neon;
#endif
  return Path::portable;
}

const Kernel& chosen_kernel() {
  static const Kernel k = kernel(best_path());
  return k;
}

}  // namespace

const char* path_name(Path path) {
  switch (path) {
    case Path::avx2: return "avx2";
    case Path::avx512: return "avx512";
    case Path::neon: return "neon";
    case Path::portable: break;
  }
  return "portable";
}

std::vector<Path> available_paths() {
  std::vector<Path> paths{Path::portable};
#if defined(__x86_64__)
  if (has_avx2_fma()) paths.push_back(Path::avx2);
  if (has_avx512()) paths.push_back(Path::avx512);
#elif defined(__aarch64__)
  paths.push_back(Path::neon);
#endif
  return paths;
}

Path chosen_path() { return best_path(); }

Kernel kernel(Path path) {
  switch (path) {
#if defined(__x86_64__)
    case Path::avx2: return avx2_kernel();
    case Path::avx512: return avx512_kernel();
#elif defined(__aarch64__)
    case Path::neon: return neon_kernel();
#endif
    default: break;
  }
  return make_kernel<Portable, 2, 5, 4, 2>();
}

}  // namespace tarnwick::assign_detail

namespace tarnwick {

namespace {

// Long rows with at most Kernel::centroid_lanes centroids are labelled with
// centroids in lanes: the rows then stream from memory straight into the
// fmas, where rearranging them costs as much as the fmas themselves. Below
// kCentroidLanesMinRow only where the centroids fill whole vectors, below
// kCentroidLanesAnyCountRow only with a full vector of centroids or more
// (measured with AVX2 against rows in lanes: 0.6-0.9x the time there, and
// 0.7-0.9x from 16 columns with 8 or 16 centroids; up to 1.3x elsewhere).
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
  return (rows < kernel.group_rows ? rows : kernel.group_rows) * d;
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
