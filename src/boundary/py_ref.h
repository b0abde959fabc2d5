// Owning Python references. Every reference the module holds is owned by an
// OwnedRef, whose destructor gives it back through release_reference (which
// defers the release when this thread does not hold the interpreter lock).
#pragma once

#include <Python.h>

#include <cassert>
#include <utility>

namespace tarnwick {

// Per-thread count of interpreter-lock holds known to the module.
long& lock_depth() noexcept;

// Drops one reference now, or queues it for the next entry from the
// interpreter when the lock is not held here.
void release_reference(PyObject* object) noexcept;
// Releases the references queued while the lock was not held here.
void drain_deferred_releases() noexcept;

class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  // Takes over a new reference (may be null).
  static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
  // Adds a reference to a borrowed object.
  static OwnedRef borrow(PyObject* object) noexcept {
    if (object != nullptr) {
      assert(lock_depth() >= 1 && "reference taken without the interpreter lock");
      Py_IncRef(object);
    }
    return OwnedRef(object);
  }

  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { reset(); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller (for APIs that steal it).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() noexcept {
    if (PyObject* o = std::exchange(object_, nullptr)) release_reference(o);
  }

 private:
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace tarnwick
