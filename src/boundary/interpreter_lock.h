// Running a computation with the interpreter lock released. The scope puts
// the lock (and this thread's lock depth) back on every way out, faults
// included, before anything else sees the exception.
#pragma once

#include <Python.h>

#include "boundary/call_frame.h"

namespace tarnwick {

class ReleasedInterpreterLock {
 public:
  ReleasedInterpreterLock() noexcept : saved_depth_(lock_depth()) {
    // Releases requested meanwhile are deferred to the next entry.
    lock_depth() = 0;
    state_ = PyEval_SaveThread();
  }
  ~ReleasedInterpreterLock() {
    lock_depth() = saved_depth_;
    PyEval_RestoreThread(state_);
    drain_deferred_releases();
  }
  ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
  ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;

 private:
  long saved_depth_;
  PyThreadState* state_;
};

// Nothing inside computation may touch a Python object.
template <class Computation>
decltype(auto) without_interpreter_lock(Computation&& computation) {
  ReleasedInterpreterLock released;
  return computation();
}

}  // namespace tarnwick
