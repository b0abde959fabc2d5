// Raising and reporting faults. No Python here: native tests link it without
// the interpreter.
#include "support/fault.h"

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
  throw Fault(std::move(text), where);
}

void index_fault(std::uint64_t len, std::uint64_t index, std::source_location where) {
  raise_fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                  std::to_string(index),
              where);
}

void capacity_fault(std::source_location where) { raise_fault("capacity overflow", where); }

void remainder_by_zero_fault(std::source_location where) {
  raise_fault("attempt to calculate the remainder with a divisor of zero", where);
}

}  // namespace tarnwick
