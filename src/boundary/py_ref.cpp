// Reference releases, and the queue for those made without the interpreter lock.
#include "boundary/py_ref.h"

#include <mutex>
#include <vector>

namespace tarnwick {
namespace {

thread_local long t_lock_depth = 0;

// References released on a thread without the interpreter lock wait here for
// the next entry. Every OwnedRef is made and dropped under the lock today
// (errors raised while it is released are caught only after it is retaken),
// so nothing reaches the queue; it keeps a future release on a worker thread
// or in a released scope from touching a reference count unlocked. Created
// on first use and never freed.
std::mutex g_deferred_mutex;
std::vector<PyObject*>* g_deferred = nullptr;

}  // namespace

long& lock_depth() noexcept { return t_lock_depth; }

void release_reference(PyObject* object) noexcept {
  if (object == nullptr) return;
  if (t_lock_depth >= 1) {
    Py_DecRef(object);
    return;
  }
  std::lock_guard<std::mutex> lock(g_deferred_mutex);
  if (g_deferred == nullptr) g_deferred = new std::vector<PyObject*>();
  g_deferred->push_back(object);
}

void drain_deferred_releases() noexcept {
  assert(t_lock_depth >= 1 && "references released without the interpreter lock");
  std::vector<PyObject*> pending;
  {
    std::lock_guard<std::mutex> lock(g_deferred_mutex);
    if (g_deferred == nullptr || g_deferred->empty()) return;
    pending.swap(*g_deferred);
  }
  for (PyObject* o : pending) Py_DecRef(o);
}

}  // namespace tarnwick
