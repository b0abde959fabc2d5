// optimize_layout from Python: bind, convert, copy the embedding, run the
// epochs without the interpreter lock, return the copy.
#include "layout/entry.h"

#include "boundary/arguments.h"
#include "boundary/arrays.h"
#include "boundary/call_frame.h"
#include "boundary/interpreter_lock.h"
#include "layout/sgd.h"
#include "support/exact_pow.h"

namespace tarnwick {
namespace {

constexpr const char* kNames[] = {"embedding", "head",  "tail",  "epochs_per_sample",
                                  "n_epochs",  "a",     "b",     "gamma",
                                  "negative_sample_rate", "initial_alpha", "seed"};

}  // namespace

PyObject* optimize_layout_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    const BoundArguments arg("optimize_layout", kNames, args, kwargs);
    // Declaration order is conversion order; destruction releases the
    // borrows in reverse, on every path.
    ReadonlyArray embedding = arg.array(0, kNpyDouble, 2);
    ReadonlyArray head = arg.array(1, kNpyLong, 1);
    ReadonlyArray tail = arg.array(2, kNpyLong, 1);
    ReadonlyArray epochs_per_sample = arg.array(3, kNpyDouble, 1);
    layout::LayoutParams params{};
    params.n_epochs = arg.u64(4);
    params.a = arg.f64(5);
    params.b = arg.f64(6);
    params.gamma = arg.f64(7);
    const std::uint64_t negative_sample_rate = arg.u64(8);
    params.initial_alpha = arg.f64(9);
    params.seed = arg.u64(10);

    const std::size_t n_vertices = embedding.dim(0);
    const std::size_t dim = embedding.dim(1);
    Buffer<double> working = row_major_copy<double, double>(embedding);

    const FlatView<std::int64_t> head_view = as_contiguous_slice<std::int64_t>(head);
    const FlatView<std::int64_t> tail_view = as_contiguous_slice<std::int64_t>(tail);
    const FlatView<double> eps_view = as_contiguous_slice<double>(epochs_per_sample);

    const layout::EdgeList edges{head_view.data, head_view.len, tail_view.data,
                                 tail_view.len, eps_view.data,  eps_view.len};
    layout::EdgeSchedule schedule = layout::build_edge_schedule(edges, n_vertices, negative_sample_rate);
    without_interpreter_lock([&] {
      const auto pow = exact_pow_vector_enabled() ? layout::PowChoice::kVector : layout::PowChoice::kLibrary;
      layout::run_epochs(working.data(), n_vertices, dim, edges, schedule, params, pow);
    });

    const npy_intp dims[2] = {static_cast<npy_intp>(n_vertices), static_cast<npy_intp>(dim)};
    return new_owned_array(std::move(working), kNpyDouble, dims, 2).release();
  });
}

}  // namespace tarnwick
