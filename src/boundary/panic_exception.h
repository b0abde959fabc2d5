// The PanicException type: what a fault becomes in Python.
#pragma once

#include <Python.h>

namespace tarnwick {

// The process-wide type, created on first need (a fault if that fails).
// Borrowed: the module keeps it for the life of the process.
PyObject* panic_exception_type();

}  // namespace tarnwick
