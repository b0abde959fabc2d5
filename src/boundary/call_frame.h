// The call frame around every entry from the interpreter: the guard, argument
// binding, the pending-error value and its hand-over to the interpreter.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdlib>
#include <string>
#include <string_view>

#include "boundary/py_ref.h"

namespace tarnwick {

// An error decided but not yet handed to the interpreter. Thrown as a C++
// exception by binding, conversion and the entries; the guard catches it.
class PendingError {
 public:
  // Lazy: the exception is made from the message only when raised. type is a
  // process-lifetime type object (a builtin exception or PanicException).
  static PendingError lazy(PyObject* type, std::string message) {
    PendingError e;
    e.type_ = OwnedRef::borrow(type);
    e.message_ = std::move(message);
    e.is_lazy_ = true;
    return e;
  }
  static PendingError fetched(OwnedRef type, OwnedRef value, OwnedRef traceback) {
    PendingError e;
    e.type_ = std::move(type);
    e.value_ = std::move(value);
    e.traceback_ = std::move(traceback);
    return e;
  }

  PyObject* type() const noexcept { return type_.get(); }
  bool is_lazy() const noexcept { return is_lazy_; }
  const std::string& message() const noexcept { return message_; }

  // The normalised exception instance (made now for a lazy error). The error
  // becomes a fetched one holding that instance.
  PyObject* value();

  // Sets the interpreter's current exception from this error.
  friend void restore_error(PendingError error);

 private:
  PendingError() = default;
  OwnedRef type_, value_, traceback_;
  std::string message_;
  bool is_lazy_ = false;
};

// Takes the interpreter's current exception (a SystemError if none is set).
// A PanicException coming back from Python code resumes as a fault.
PendingError fetch_error();
void restore_error(PendingError error);

// "TypeName: message", the description used after a colon in fault texts.
std::string describe_error(PendingError& error);

class BoundaryGuard {
 public:
  BoundaryGuard() noexcept {
    ++lock_depth();
    drain_deferred_releases();
  }
  ~BoundaryGuard() { --lock_depth(); }
  BoundaryGuard(const BoundaryGuard&) = delete;
  BoundaryGuard& operator=(const BoundaryGuard&) = delete;
};

// Turns the exception in flight into the error to raise: PendingError as is,
// a Fault into PanicException, std::bad_alloc into MemoryError.
PendingError error_from_current_exception();

[[noreturn]] void abort_uncaught_fault() noexcept;

// Runs body under the guard. Whatever fails inside becomes a Python
// exception and NULL; a failure while doing so aborts the process.
template <class Body>
PyObject* guarded_call(Body&& body) noexcept {
  try {
    BoundaryGuard guard;
    try {
      return body();
    } catch (...) {
      restore_error(error_from_current_exception());
      return nullptr;
    }
  } catch (...) {
    abort_uncaught_fault();
  }
}

struct ArgumentSpec {
  const char* function_name;
  const char* const* names;
  std::size_t count;
  std::size_t required;
};

// Fills slots[0..count) with borrowed pointers, or throws the binding TypeError.
void bind_arguments(const ArgumentSpec& signature, PyObject* args, PyObject* kwargs, PyObject** slots);

// 'a', 'a' and 'b', 'a', 'b', and 'c'
std::string format_name_list(const std::string_view* names, std::size_t count);

}  // namespace tarnwick
