// The module as the import system sees it: the init function, the function
// table and the process-wide state that makes a second import cheap.
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "boundary/call_frame.h"
#include "boundary/convert.h"
#include "support/fault.h"
#include "boundary/py_ref.h"
#include "kmeans/entry.h"
#include "layout/entry.h"

namespace tarnwick {
namespace {

constexpr const char kOptimizeLayoutDoc[] =
    "optimize_layout(embedding, head, tail, epochs_per_sample, n_epochs, a, b, gamma, "
    "negative_sample_rate, initial_alpha, seed)\n"
    "--\n"
    "\n"
    "Optimise `embedding` in place-style (a copy is returned) with the attract/repel SGD.\n"
    "\n"
    "Mirrors `optimize_layout` in the pure-numpy path, but does the true in-place walk.";

constexpr const char kKmeansDoc[] =
    "kmeans(data, n_clusters, n_iter, seed)\n"
    "--\n"
    "\n"
    "k-means (k-means++ seed + Lloyd), the compiled counterpart of `clustering.kmeans`.\n"
    "\n"
    "The assignment step is the O(n*k*d) wall. It's computed as a single GEMM\n"
    "`G = X @ centroids\u1d40` via matrixmultiply's SIMD kernel (nearest centroid = argmin over\n"
    "`\u2016c\u2016\u00b2 \u2212 2\u00b7G[i,\u00b7]`, since `\u2016x\u2016\u00b2` is constant per row), "
    "then argmin parallelised over rows with\n"
    "rayon. All in f32 for SIMD width \u2014 clustering tolerates it. Deterministic given `seed` (not\n"
    "identical to the numpy path: different init RNG and f32). Returns the `(n,)` integer labels.";

constexpr const char kSubinterpreterMessage[] =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "tarnwick_accel", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_init_interpreter_id{-1};
PyObject* g_cached_module = nullptr;  // one reference for the life of the process
// The function records, one per function, never freed. Kept here so that they
// stay reachable when the module's interpreter has been finalised (a
// sub-interpreter's, say), and so that an init retried after a failure reuses
// them instead of leaking more.
PyMethodDef* g_method_defs[2] = {};

void add_function(PyObject* module, std::size_t slot, const char* name, PyCFunctionWithKeywords entry,
                  const char* doc) {
  OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
  if (!module_name) throw fetch_error();
  // The function object refers to its record for the life of the process.
  PyMethodDef*& def = g_method_defs[slot];
  if (def == nullptr) {
    def = new PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
                          METH_VARARGS | METH_KEYWORDS, doc};
  }
  OwnedRef function = OwnedRef::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
  if (!function) throw fetch_error();
  module_name.reset();

  OwnedRef function_name = OwnedRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!function_name) throw fetch_error();
  if (!PyUnicode_Check(function_name.get())) throw_cannot_convert(function_name.get(), "PyString");

  OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PendingError error = fetch_error();
    if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError)) throw std::move(error);
    all = OwnedRef::steal(PyList_New(0));
    if (!all) throw fetch_error();
    if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw fetch_error();
  } else if (!PyList_Check(all.get())) {
    throw_cannot_convert(all.get(), "PyList");
  }
  if (PyList_Append(all.get(), function_name.get()) != 0) {
    PendingError error = fetch_error();
    raise_fault("could not append __name__ to __all__: " + describe_error(error));
  }
  if (PyObject_SetAttr(module, function_name.get(), function.get()) != 0) throw fetch_error();
}

PyObject* init_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw fetch_error();
  std::int64_t expected = -1;
  if (!g_init_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    throw PendingError::lazy(PyExc_ImportError, kSubinterpreterMessage);
  }
  if (g_cached_module != nullptr) return OwnedRef::borrow(g_cached_module).release();

  OwnedRef module = OwnedRef::steal(PyModule_Create2(&g_module_def, 3));
  if (!module) throw fetch_error();
  add_function(module.get(), 0, "optimize_layout", optimize_layout_entry, kOptimizeLayoutDoc);
  add_function(module.get(), 1, "kmeans", kmeans_entry, kKmeansDoc);

  if (g_cached_module == nullptr) g_cached_module = OwnedRef::borrow(module.get()).release();
  return OwnedRef::borrow(g_cached_module).release();
}

}  // namespace
}  // namespace tarnwick

PyMODINIT_FUNC PyInit_tarnwick_accel() {
  return tarnwick::guarded_call([] { return tarnwick::init_module(); });
}
