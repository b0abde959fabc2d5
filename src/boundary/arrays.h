// Arrays across the boundary: typed read borrows of inputs, flat views of
// their data, and results over module buffers owned by a PySliceContainer.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "boundary/numpy_api.h"
#include "boundary/py_ref.h"
#include "support/checked.h"
#include "support/huge_pages.h"

namespace tarnwick {

// A read-borrowed ndarray: the reference and the registry entry are both
// given back by the destructor, on every path out of a call. It remembers the
// array as it was borrowed (at most two dimensions): Python code that runs
// later in the call, such as an argument's __index__, can reshape the array or
// swap its dtype or data, and only the array as borrowed may be read.
class ReadonlyArray {
 public:
  static constexpr int kMaxDims = 2;

  ReadonlyArray() noexcept = default;
  explicit ReadonlyArray(PyObject* owned_array) noexcept;
  ReadonlyArray(ReadonlyArray&& other) noexcept
      : array_(std::exchange(other.array_, nullptr)), borrowed_(other.borrowed_) {}
  ReadonlyArray& operator=(ReadonlyArray&&) = delete;
  ReadonlyArray(const ReadonlyArray&) = delete;
  ~ReadonlyArray();

  PyObject* get() const noexcept { return array_; }
  // The shape when borrowed.
  int ndim() const noexcept { return borrowed_.nd; }
  std::size_t dim(int i) const noexcept { return static_cast<std::size_t>(borrowed_.dims[i]); }
  // Whether shape, dtype and data are still those of the borrow.
  bool unchanged() const noexcept;

 private:
  struct State {
    int nd = 0;
    npy_intp dims[kMaxDims] = {};
    const char* data = nullptr;
    const PyObject* descr = nullptr;  // compared, never used
  };
  PyObject* array_ = nullptr;
  State borrowed_;
};

// Checks type, dimension count and dtype (no cast, no copy) and takes a read
// borrow. A mismatch throws the conversion TypeError; a refused borrow faults.
ReadonlyArray extract_readonly_array(PyObject* object, int type_num, int ndim);

template <class T>
struct FlatView {
  const T* data;
  std::size_t len;
  // Fortran-ordered without also being C-ordered: the elements lie column by column.
  bool column_major;
};

[[noreturn]] void throw_not_contiguous();
[[noreturn]] void throw_changed_while_borrowed();

// The data in memory order, or TypeError "The given array is not contiguous".
template <class T>
FlatView<T> as_contiguous_slice(const ReadonlyArray& array) {
  const ArrayFields* a = array_fields(array.get());
  if (!array.unchanged()) throw_changed_while_borrowed();
  if ((a->flags & (kArrayCContiguous | kArrayFContiguous)) == 0 || a->data == nullptr) {
    throw_not_contiguous();
  }
  std::size_t len = 1;
  for (int i = 0; i < a->nd; ++i) len *= static_cast<std::size_t>(a->dimensions[i]);
  const bool column_major = (a->flags & kArrayCContiguous) == 0;
  return FlatView<T>{reinterpret_cast<const T*>(a->data), len, column_major};
}
// Copies an n x d flat view into row-major order, converting each element.
template <class Src, class Dst>
void copy_row_major(const FlatView<Src>& view, std::size_t n, std::size_t d, Dst* out) {
  if (!view.column_major) {
    for (std::size_t i = 0; i < view.len; ++i) out[i] = static_cast<Dst>(view.data[i]);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t l = 0; l < d; ++l) out[i * d + l] = static_cast<Dst>(view.data[l * n + i]);
  }
}

// A 2-D array's elements as Dst in a new row-major buffer (the copy each
// entry works on, so the caller's array is never written). `huge_pages`: a
// copy streamed from memory again and again, on huge pages where granted.
template <class Dst, class Src>
Buffer<Dst> row_major_copy(const ReadonlyArray& matrix, bool huge_pages = false) {
  const FlatView<Src> view = as_contiguous_slice<Src>(matrix);
  Buffer<Dst> out = Buffer<Dst>::uninitialized(view.len);
  if (huge_pages) advise_huge_pages(out.data(), out.size() * sizeof(Dst));
  copy_row_major(view, matrix.dim(0), matrix.dim(1), out.data());
  return out;
}

// The PySliceContainer that will own a result buffer. Faults only.
OwnedRef new_slice_container();
// The container takes over `count` elements at `buffer` (freed with free()
// when count is non-zero). Cannot fail.
void give_to_container(PyObject* container, void* buffer, std::size_t count) noexcept;
// A new C-ordered, writeable ndarray over the container's buffer, with the
// container as its base. Faults only.
OwnedRef array_over_container(OwnedRef container, void* data, std::size_t item_size, int type_num,
                              const npy_intp* dims, int ndim);

// Hands a module buffer to a new ndarray whose base is a PySliceContainer
// that frees the buffer with the last view. The Buffer owns the memory until
// the container does, so every failure frees it exactly once.
template <class T>
OwnedRef new_owned_array(Buffer<T>&& buffer, int type_num, const npy_intp* dims, int ndim) {
  OwnedRef container = new_slice_container();
  T* data = buffer.data();
  const std::size_t count = buffer.size();
  give_to_container(container.get(), buffer.release(), count);
  return array_over_container(std::move(container), data, sizeof(T), type_num, dims, ndim);
}

}  // namespace tarnwick
