// The shared borrow record: found on NumPy's multiarray module or created there, with this module's registry.
#include "boundary/borrow.h"

#include <cstdlib>
#include <new>
#include <numeric>
#include <unordered_map>

#include "boundary/call_frame.h"
#include "boundary/convert.h"
#include "support/fault.h"
#include "boundary/numpy_api.h"

namespace tarnwick {
namespace {

struct ViewKeyHash {
  std::size_t operator()(const ViewKey& k) const noexcept {
    std::size_t h = k.start;
    for (std::uintptr_t w : {k.end, k.data, k.stride_gcd}) h = h * 0x9e3779b97f4a7c15ULL ^ (w + (h >> 29));
    return h;
  }
};

// Per base address: view -> count (> 0 readers, -1 one writer). Private to
// the record this module creates; other extensions only call through it.
using ViewCounts = std::unordered_map<ViewKey, std::int64_t, ViewKeyHash>;
using BorrowRegistry = std::unordered_map<void*, ViewCounts>;

// The record's return codes, shared with every extension that calls it.
constexpr int kBorrowGranted = 0;
constexpr int kBorrowConflict = -1;
constexpr int kBorrowNotWriteable = -2;
constexpr int kBorrowOutOfMemory = -3;  // ours: the registry could not grow

// Readers count up from 1; a writer is -1 and excludes every overlapping view.
int registry_acquire(void* raw, PyObject* array, bool writer) {
  auto& registry = *static_cast<BorrowRegistry*>(raw);
  try {
    void* base = base_address(array);
    ViewKey key = view_key(array);
    auto outer = registry.find(base);
    if (outer == registry.end()) {
      registry[base].emplace(key, writer ? -1 : 1);
      return kBorrowGranted;
    }
    ViewCounts& views = outer->second;
    if (auto it = views.find(key); it != views.end()) {
      if (writer || it->second < 0 || it->second == INT64_MAX) return kBorrowConflict;
      ++it->second;
      return kBorrowGranted;
    }
    for (const auto& [other, count] : views) {
      // A reader conflicts only with writers; a writer with every borrow.
      if ((writer ? count != 0 : count < 0) && keys_conflict(key, other)) return kBorrowConflict;
    }
    views.emplace(key, writer ? -1 : 1);
    return kBorrowGranted;
  } catch (const std::bad_alloc&) {
    return kBorrowOutOfMemory;
  }
}

int registry_acquire_read(void* raw, PyObject* array) { return registry_acquire(raw, array, false); }

int registry_acquire_write(void* raw, PyObject* array) {
  if ((array_fields(array)->flags & kArrayWriteable) == 0) return kBorrowNotWriteable;
  return registry_acquire(raw, array, true);
}

void remove_view(BorrowRegistry& registry, PyObject* array, bool reader) {
  auto outer = registry.find(base_address(array));
  if (outer == registry.end()) return;  // shape or data changed while borrowed
  ViewCounts& views = outer->second;
  auto it = views.find(view_key(array));
  if (it == views.end()) return;
  // A release of the other kind (the key now matches someone else's borrow)
  // must not end that borrow.
  if (reader ? it->second <= 0 : it->second >= 0) return;
  if (reader && it->second > 1) {
    --it->second;
    return;
  }
  if (views.size() > 1) {
    views.erase(it);
  } else {
    registry.erase(outer);
  }
}

void registry_release_read(void* raw, PyObject* array) {
  remove_view(*static_cast<BorrowRegistry*>(raw), array, true);
}

void registry_release_write(void* raw, PyObject* array) {
  remove_view(*static_cast<BorrowRegistry*>(raw), array, false);
}

void destroy_record(PyObject* capsule) {
  auto* record = static_cast<SharedBorrowRecord*>(PyCapsule_GetPointer(capsule, kBorrowCapsuleName));
  if (record == nullptr) {
    PyErr_Clear();
    return;
  }
  delete static_cast<BorrowRegistry*>(record->registry);
  delete record;
}

SharedBorrowRecord* g_record = nullptr;  // cached; the capsule lives for the process

SharedBorrowRecord* find_or_create_record() {
  OwnedRef module = OwnedRef::steal(PyImport_ImportModule(multiarray_module_path().c_str()));
  if (!module) throw fetch_error();
  OwnedRef capsule = OwnedRef::steal(PyObject_GetAttrString(module.get(), kBorrowCapsuleName));
  if (!capsule) {
    PyErr_Clear();
    auto* record = new SharedBorrowRecord{1, new BorrowRegistry(), registry_acquire_read,
                                          registry_acquire_write, registry_release_read,
                                          registry_release_write};
    capsule = OwnedRef::steal(PyCapsule_New(record, kBorrowCapsuleName, destroy_record));
    if (!capsule) {
      delete static_cast<BorrowRegistry*>(record->registry);
      delete record;
      throw fetch_error();
    }
    if (PyObject_SetAttrString(module.get(), kBorrowCapsuleName, capsule.get()) != 0) {
      throw fetch_error();
    }
  }
  auto* record = static_cast<SharedBorrowRecord*>(capsule_pointer(capsule.get(), "borrow checking"));
  if (record->version < 1) {
    throw PendingError::lazy(PyExc_TypeError,
                             "Version " + std::to_string(record->version) +
                                 " of borrow checking API is not supported by this module");
  }
  capsule.release();  // kept alive for the life of the process
  return record;
}

SharedBorrowRecord& shared_record() {
  if (g_record == nullptr) {
    try {
      g_record = find_or_create_record();
    } catch (PendingError& e) {
      raise_fault("Interal borrow checking API error: " + describe_error(e));
    }
  }
  return *g_record;
}

std::uintptr_t abs_diff(std::uintptr_t a, std::uintptr_t b) { return a > b ? a - b : b - a; }

}  // namespace

void* base_address(PyObject* array) {
  PyTypeObject* ndarray = numpy_api().array_type;
  PyObject* current = array;
  for (;;) {
    PyObject* base = array_fields(current)->base;
    if (base == nullptr) return current;
    if (Py_TYPE(base) != ndarray && !PyType_IsSubtype(Py_TYPE(base), ndarray)) return base;
    current = base;
  }
}

ViewKey view_key(PyObject* array) {
  const ArrayFields* a = array_fields(array);
  const auto data = reinterpret_cast<std::uintptr_t>(a->data);
  // A 0-d array still covers its one element.
  if (a->nd == 0) return ViewKey{data, data + static_cast<std::uintptr_t>(element_size(array)), data, 1};
  std::uintptr_t gcd = 0;
  bool empty = false;
  std::uintptr_t low = data, high = data;
  for (int i = 0; i < a->nd; ++i) {
    // Unsigned, wrapping arithmetic: exact for every view of real memory, and
    // no overflow for the made-up strides that as_strided allows.
    const auto dim = static_cast<std::uintptr_t>(a->dimensions[i]);
    const npy_intp stride = a->strides[i];
    const std::uintptr_t magnitude =
        stride < 0 ? std::uintptr_t{0} - static_cast<std::uintptr_t>(stride) : static_cast<std::uintptr_t>(stride);
    gcd = std::gcd(gcd, magnitude);
    if (dim == 0) {
      empty = true;
      continue;
    }
    if (stride < 0) {
      low -= (dim - 1) * magnitude;
    } else {
      high += (dim - 1) * magnitude;
    }
  }
  if (empty) return ViewKey{data, data, data, gcd};
  return ViewKey{low, high + static_cast<std::uintptr_t>(element_size(array)), data, gcd};
}

bool keys_conflict(const ViewKey& a, const ViewKey& b) noexcept {
  if (b.start >= a.end || a.start >= b.end) return false;
  const std::uintptr_t g = std::gcd(a.stride_gcd, b.stride_gcd);
  // Two overlapping all-zero-stride views: report a conflict, the safe answer.
  if (g == 0) return true;
  return abs_diff(a.data, b.data) % g == 0;
}

void acquire_read_borrow(PyObject* array) {
  SharedBorrowRecord& record = shared_record();
  const int rc = record.acquire_read(record.registry, array);
  if (rc == kBorrowGranted) return;
  if (rc == kBorrowConflict) raise_fault("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed");
  raise_fault("Unexpected return code " + std::to_string(rc) + " from borrow checking API");
}

void release_read_borrow(PyObject* array) noexcept {
  if (g_record != nullptr) g_record->release_read(g_record->registry, array);
}

}  // namespace tarnwick
