// kmeans from Python: bind, convert, build the float32 copy, cluster
// without the interpreter lock, return the labels.
#include "kmeans/entry.h"

#include "boundary/arrays.h"
#include "boundary/call_frame.h"
#include "boundary/convert.h"
#include "kmeans/kmeans_core.h"
#include "boundary/interpreter_lock.h"

namespace tarnwick {
namespace {

constexpr const char* kNames[] = {"data", "n_clusters", "n_iter", "seed"};
constexpr ArgumentSpec kSpec{"kmeans", kNames, 4, 4};

}  // namespace

PyObject* kmeans_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    PyObject* slot[4];
    bind_arguments(kSpec, args, kwargs, slot);
    auto u64 = [&](int i) { return convert_argument(kNames[i], [&] { return extract_u64(slot[i]); }); };

    ReadonlyArray data =
        convert_argument(kNames[0], [&] { return extract_readonly_array(slot[0], kNpyDouble, 2); });
    const std::uint64_t n_clusters = u64(1);
    const std::uint64_t n_iter = u64(2);
    const std::uint64_t seed = u64(3);

    const std::size_t n = data.dim(0);
    const std::size_t d = data.dim(1);
    const FlatView<double> view = as_contiguous_slice<double>(data);
    Buffer<float> X = Buffer<float>::uninitialized(view.len);
    copy_row_major(view, n, d, X.data());

    Buffer<std::int64_t> labels =
        without_interpreter_lock([&] { return kmeans_core(X.data(), n, d, n_clusters, n_iter, seed); });

    const npy_intp dims[1] = {static_cast<npy_intp>(n)};
    return new_owned_array(std::move(labels), kNpyLong, dims, 1).release();
  });
}

}  // namespace tarnwick
