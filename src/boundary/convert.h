// Scalar conversions of arguments and the text of Python objects in messages.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "boundary/call_frame.h"

namespace tarnwick {

// int (and bool) or anything with __index__, in [0, 2^64); throws PendingError.
std::uint64_t extract_u64(PyObject* object);
// Anything with a float value; -1.0 is a value like any other.
double extract_f64(PyObject* object);

// A TypeError (exactly) gains the argument's name; anything else passes unchanged.
PendingError wrap_argument_error(const char* name, PendingError error);

// str(object) as UTF-8, never failing: unprintable objects and lone
// surrogates get stand-ins.
std::string display_object(PyObject* object);

// The qualified name of an object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* object);

// Converts with f, naming the argument in a TypeError.
template <class F>
auto convert_argument(const char* name, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (PendingError& e) {
    throw wrap_argument_error(name, std::move(e));
  }
}

}  // namespace tarnwick
