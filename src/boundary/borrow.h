// Read borrows of NumPy arrays, recorded in the borrow registry that every
// cooperating extension in the process shares through a capsule on NumPy's
// multiarray module.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tarnwick {

// The wire format other extensions read: do not reorder.
struct SharedBorrowRecord {
  std::uint64_t version;
  void* registry;
  int (*acquire_read)(void* registry, PyObject* array);
  int (*acquire_write)(void* registry, PyObject* array);
  void (*release_read)(void* registry, PyObject* array);
  void (*release_write)(void* registry, PyObject* array);
};

inline constexpr const char kBorrowCapsuleName[] = "_RUST_NUMPY_BORROW_CHECKING_API";

// Registers a read borrow through the shared record; faults when refused.
void acquire_read_borrow(PyObject* array);
// Ends it; does nothing harmful when the entry cannot be found.
void release_read_borrow(PyObject* array) noexcept;

struct ViewKey {
  std::uintptr_t start;
  std::uintptr_t end;
  std::uintptr_t data;
  std::uintptr_t stride_gcd;
  bool operator==(const ViewKey&) const = default;
};

ViewKey view_key(PyObject* array);
// The address of the object that owns the array's memory.
void* base_address(PyObject* array);
bool keys_conflict(const ViewKey& a, const ViewKey& b) noexcept;

}  // namespace tarnwick
