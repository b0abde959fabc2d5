// Owning Python references. Every reference the module holds is owned by an
// OwnedRef, whose destructor gives it back through release_reference (which
// defers the release when this thread does not hold the interpreter lock).
#pragma once

#include <Python.h>

#include <utility>

namespace tarnwick {

// Drops one reference now, or queues it for the next entry from the
// interpreter when the lock is not held here (call_frame.cpp).
void release_reference(PyObject* object) noexcept;

class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  // Takes over a new reference (may be null).
  static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
  // Adds a reference to a borrowed object.
  static OwnedRef borrow(PyObject* object) noexcept {
    if (object != nullptr) Py_IncRef(object);
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
