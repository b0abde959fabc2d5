// NumPy reached through its C API table and a minimal mirror of the ndarray
// and descriptor fields we read; NumPy's headers are not needed to build.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

namespace tarnwick {

using npy_intp = std::intptr_t;

inline constexpr int kNpyLong = 7;     // int64 on 64-bit Linux
inline constexpr int kNpyDouble = 12;  // float64

inline constexpr int kArrayCContiguous = 0x0001;
inline constexpr int kArrayFContiguous = 0x0002;
inline constexpr int kArrayWriteable = 0x0400;

// The leading fields of NumPy's ndarray object, the same in 1.x and 2.x.
struct ArrayFields {
  PyObject_HEAD
  char* data;
  int nd;
  npy_intp* dimensions;
  npy_intp* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

// Byte offsets of the element size in the two descriptor layouts.
inline constexpr std::size_t kDescrElsizeOffsetV1 = 32;  // int
inline constexpr std::size_t kDescrElsizeOffsetV2 = 40;  // npy_intp
inline constexpr unsigned kFeatureVersionV2 = 0x12;

inline ArrayFields* array_fields(PyObject* array) { return reinterpret_cast<ArrayFields*>(array); }

// The API table, fetched on first use; faults if NumPy cannot be reached.
struct NumpyApi {
  PyTypeObject* array_type;
  PyObject* (*descr_from_type)(int);
  PyObject* (*new_from_descr)(PyTypeObject*, PyObject*, int, npy_intp*, npy_intp*, void*, int,
                              PyObject*);
  unsigned char (*equiv_types)(PyObject*, PyObject*);
  unsigned (*feature_version)();
  int (*set_base_object)(PyObject*, PyObject*);
};
const NumpyApi& numpy_api();

// "numpy.core.multiarray" or "numpy._core.multiarray" for the running NumPy.
const std::string& multiarray_module_path();

// The element size of an array's descriptor, read in the layout of the running NumPy.
npy_intp element_size(PyObject* array);

}  // namespace tarnwick
