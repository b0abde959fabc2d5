// kmeans from Python: bind, convert, build the float32 copy, cluster
// without the interpreter lock, return the labels.
#include "kmeans/entry.h"

#include "boundary/arguments.h"
#include "boundary/arrays.h"
#include "boundary/call_frame.h"
#include "boundary/interpreter_lock.h"
#include "kmeans/kmeans_core.h"

namespace tarnwick {
namespace {

constexpr const char* kNames[] = {"data", "n_clusters", "n_iter", "seed"};

// A copy of X at least this large outgrows a last-level cache share, so every
// Lloyd iteration streams it from memory, and on 4 KiB pages that stream
// takes a TLB miss at every page: it asks for huge pages. Smaller copies stay
// in cache between iterations and keep ordinary pages.
constexpr std::size_t kStreamedBytes = std::size_t{32} << 20;

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
    Buffer<float> X = row_major_copy<float, double>(data, n * d * sizeof(float) >= kStreamedBytes);

    Buffer<std::int64_t> labels =
        without_interpreter_lock([&] { return kmeans_core(X.data(), n, d, n_clusters, n_iter, seed); });

    const npy_intp dims[1] = {static_cast<npy_intp>(n)};
    return new_owned_array(std::move(labels), kNpyLong, dims, 1).release();
  });
}

}  // namespace tarnwick
