// kmeans from Python: bind, convert, build the float32 copy, cluster
// without the interpreter lock, return the labels.
#include "kmeans/entry.h"

#include <cstdint>
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "boundary/arguments.h"
#include "boundary/arrays.h"
#include "boundary/call_frame.h"
#include "boundary/interpreter_lock.h"
#include "kmeans/kmeans_core.h"

namespace tarnwick {
namespace {

constexpr const char* kNames[] = {"data", "n_clusters", "n_iter", "seed"};

// A copy of X at least this large outgrows a last-level cache share, so every
// Lloyd iteration streams it from memory...
constexpr std::size_t kStreamedBytes = std::size_t{32} << 20;

// ...and on 4 KiB pages the stream takes a TLB miss at every page: such a
// buffer asks for huge pages over its whole 2 MiB pages, before its first
// write. Smaller copies stay in cache between iterations and keep ordinary
// pages. Advice only: where it is not granted, nothing changes.
void advise_huge_pages([[maybe_unused]] void* p, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes < kStreamedBytes) return;
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) / kHuge * kHuge;
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p) + bytes) / kHuge * kHuge;
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

}  // namespace

PyObject* kmeans_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    const BoundArguments arg("kmeans", kNames, args, kwargs);
    ReadonlyArray data = arg.array(0, kNpyDouble, 2);
    const std::uint64_t n_clusters = arg.u64(1);
    const std::uint64_t n_iter = arg.u64(2);
    const std::uint64_t seed = arg.u64(3);

    const std::size_t n = data.dim(0);
    const std::size_t d = data.dim(1);
    const FlatView<double> view = as_contiguous_slice<double>(data);
    Buffer<float> X = Buffer<float>::uninitialized(view.len);
    advise_huge_pages(X.data(), X.size() * sizeof(float));
    copy_row_major(view, n, d, X.data());

    Buffer<std::int64_t> labels =
        without_interpreter_lock([&] { return kmeans_core(X.data(), n, d, n_clusters, n_iter, seed); });

    const npy_intp dims[1] = {static_cast<npy_intp>(n)};
    return new_owned_array(std::move(labels), kNpyLong, dims, 1).release();
  });
}

}  // namespace tarnwick
