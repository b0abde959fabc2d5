// Read borrows of input arrays, their flat views, the row-major copies made of
// them (on huge pages where asked), and result arrays owned by PySliceContainer.
#include "boundary/arrays.h"

#include <cstdlib>

#include "boundary/borrow.h"
#include "boundary/call_frame.h"
#include "boundary/convert.h"
#include "support/fault.h"

namespace tarnwick {
namespace {

// Instance layout of PySliceContainer: the object header, then four words.
struct SliceContainer {
  PyObject_HEAD
  void (*release)(void* buffer, std::size_t count, std::size_t capacity);
  void* buffer;
  std::size_t count;
  std::size_t capacity;
};

void free_module_buffer(void* buffer, std::size_t, std::size_t capacity) {
  if (capacity != 0) std::free(buffer);
}

void slice_container_dealloc(PyObject* self) {
  auto* c = reinterpret_cast<SliceContainer*>(self);
  c->release(c->buffer, c->count, c->capacity);
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));  // instances of heap types hold their type
}

PyObject* slice_container_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for PySliceContainer");
  return nullptr;
}

char kSliceContainerDoc[] = "Utility type to safely store `Box<[_]>` or `Vec<_>` on the Python heap";

PyTypeObject* g_slice_container_type = nullptr;

PyTypeObject* slice_container_type() {
  if (g_slice_container_type != nullptr) return g_slice_container_type;
  static PyType_Slot slots[] = {
      {Py_tp_doc, kSliceContainerDoc},
      {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
      {Py_tp_new, reinterpret_cast<void*>(slice_container_new)},
      {0, nullptr},
  };
  static PyType_Spec spec = {"builtins.PySliceContainer", static_cast<int>(sizeof(SliceContainer)), 0,
                             Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) {
    PyErr_Print();
    raise_fault("failed to create type object for PySliceContainer");
  }
  g_slice_container_type = reinterpret_cast<PyTypeObject*>(type);
  return g_slice_container_type;
}

}  // namespace

ReadonlyArray::ReadonlyArray(PyObject* owned_array) noexcept : array_(owned_array) {
  const ArrayFields* a = array_fields(array_);
  borrowed_.nd = a->nd;
  for (int i = 0; i < a->nd && i < kMaxDims; ++i) borrowed_.dims[i] = a->dimensions[i];
  borrowed_.data = a->data;
  borrowed_.descr = a->descr;
}

ReadonlyArray::~ReadonlyArray() {
  if (array_ == nullptr) return;
  release_read_borrow(array_);
  release_reference(array_);
}

bool ReadonlyArray::unchanged() const noexcept {
  const ArrayFields* a = array_fields(array_);
  if (a->nd != borrowed_.nd || a->nd > kMaxDims || a->data != borrowed_.data || a->descr != borrowed_.descr) {
    return false;
  }
  for (int i = 0; i < a->nd; ++i) {
    if (a->dimensions[i] != borrowed_.dims[i]) return false;
  }
  return true;
}

void throw_not_contiguous() {
  throw PendingError::lazy(PyExc_TypeError, "The given array is not contiguous");
}

void throw_changed_while_borrowed() {
  throw PendingError::lazy(PyExc_TypeError, "The given array changed while it was borrowed");
}

ReadonlyArray extract_readonly_array(PyObject* object, int type_num, int ndim) {
  const NumpyApi& api = numpy_api();
  bool ok = Py_TYPE(object) == api.array_type || PyType_IsSubtype(Py_TYPE(object), api.array_type);
  if (ok) ok = array_fields(object)->nd == ndim;
  if (ok) {
    PyObject* descr = array_fields(object)->descr;
    Py_IncRef(descr);
    OwnedRef have = OwnedRef::steal(descr);
    OwnedRef want = OwnedRef::steal(api.descr_from_type(type_num));
    if (!want) {
      PyErr_Print();
      raise_fault("Python API call failed");
    }
    ok = have.get() == want.get() || api.equiv_types(have.get(), want.get()) != 0;
  }
  if (!ok) {
    throw_cannot_convert(object, "PyArray<T, D>");
  }
  OwnedRef array = OwnedRef::borrow(object);
  acquire_read_borrow(array.get());  // on a fault the reference is dropped by OwnedRef
  return ReadonlyArray(array.release());
}

OwnedRef new_slice_container() {
  PyTypeObject* type = slice_container_type();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  OwnedRef container = OwnedRef::steal(alloc(type, 0));
  if (!container) {
    PendingError error = fetch_error();
    raise_fault("Failed to create slice container: " + describe_error(error));
  }
  // Owns nothing until a buffer is given: a failure before that frees nothing.
  auto* c = reinterpret_cast<SliceContainer*>(container.get());
  c->release = free_module_buffer;
  c->buffer = nullptr;
  c->count = 0;
  c->capacity = 0;
  return container;
}

void give_to_container(PyObject* container, void* buffer, std::size_t count) noexcept {
  auto* c = reinterpret_cast<SliceContainer*>(container);
  c->buffer = buffer;
  c->count = count;
  c->capacity = count;
}

OwnedRef array_over_container(OwnedRef container, void* data, std::size_t item_size, int type_num,
                              const npy_intp* dims, int ndim) {
  const NumpyApi& api = numpy_api();
  PyObject* descr = api.descr_from_type(type_num);
  if (descr == nullptr) {
    PyErr_Print();
    raise_fault("Python API call failed");
  }
  npy_intp strides[32];
  npy_intp dims_copy[32];
  bool any_zero = false;
  for (int i = 0; i < ndim; ++i) {
    dims_copy[i] = dims[i];
    any_zero = any_zero || dims[i] == 0;
  }
  auto stride = static_cast<npy_intp>(item_size);
  for (int i = ndim - 1; i >= 0; --i) {
    strides[i] = any_zero ? 0 : stride;
    stride *= dims[i];
  }
  OwnedRef array = OwnedRef::steal(
      api.new_from_descr(api.array_type, descr, ndim, dims_copy, strides, data, kArrayWriteable, nullptr));
  if (!array) {
    PyErr_Print();
    raise_fault("Python API call failed");  // the container, and with it the buffer, goes here
  }
  if (api.set_base_object(array.get(), container.release()) != 0) {
    // NumPy dropped the container on failure, and with it the buffer.
    PyErr_Print();
    raise_fault("Python API call failed");
  }
  return array;
}

}  // namespace tarnwick
