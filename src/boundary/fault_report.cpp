// Fault reporting, kept apart from the Python-facing half of fault handling
// so that native tests can link it without the interpreter.
#include "boundary/fault.h"

#include <pthread.h>

#include <cstdio>

namespace tarnwick {

void report_fault(const std::string& text, const std::source_location& where) noexcept {
  char name[64] = "<unnamed>";
  pthread_getname_np(pthread_self(), name, sizeof name);
  // One fprintf call so that reports from concurrent threads do not interleave.
  std::fprintf(stderr, "tarnwick_accel: fault on thread '%s' at %s:%u:\n%s\n", name,
               where.file_name(), static_cast<unsigned>(where.line()), text.c_str());
}

void raise_fault(std::string text, std::source_location where) {
  report_fault(text, where);
  throw Fault(std::move(text), true, where);
}

}  // namespace tarnwick
