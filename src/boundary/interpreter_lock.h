// Running a computation with the interpreter lock released. The scope puts
// the lock (and this thread's lock depth) back on every way out, faults
// included, before anything else sees the exception. On the interpreter's
// main thread it also lets the computation's polls run the signal handlers.
#pragma once

#include <Python.h>

#include <sys/types.h>
#include <unistd.h>

#include <optional>

#include "boundary/call_frame.h"
#include "support/interrupt.h"

namespace tarnwick {

class ReleasedInterpreterLock final : public InterruptCheck {
 public:
  ReleasedInterpreterLock() noexcept : saved_depth_(lock_depth()) { release(); }
  ~ReleasedInterpreterLock() {
    retake();
    drain_deferred_releases();
  }
  ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
  ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;

  // Retakes the lock just long enough to run Python's signal handlers. A
  // handler's exception (KeyboardInterrupt, say) ends the computation: it is
  // thrown from here, with the lock released again, and raised by the guard.
  void check() override {
    retake();
    std::optional<PendingError> error;
    try {
      if (PyErr_CheckSignals() != 0) error.emplace(fetch_error());
    } catch (...) {
      release();
      throw;
    }
    release();
    if (error) throw std::move(*error);
  }

  // Signal handlers run only on the process's main thread; other threads
  // never retake the lock for them.
  static bool on_main_thread() noexcept { return gettid() == getpid(); }

 private:
  void release() noexcept {
    // Releases requested meanwhile are deferred to the next entry.
    lock_depth() = 0;
    state_ = PyEval_SaveThread();
  }
  void retake() noexcept {
    lock_depth() = saved_depth_;
    PyEval_RestoreThread(state_);
  }

  long saved_depth_;
  PyThreadState* state_ = nullptr;
};

// Nothing inside computation may touch a Python object.
template <class Computation>
decltype(auto) without_interpreter_lock(Computation&& computation) {
  ReleasedInterpreterLock released;
  if (!ReleasedInterpreterLock::on_main_thread()) return computation();
  ScopedInterruptCheck signals(released);
  return computation();
}

}  // namespace tarnwick
