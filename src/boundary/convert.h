// Scalar conversions of arguments and the text of Python objects in messages.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// The UTF-8 text of a str, valid while it lives; nullopt (the error cleared)
// when it has none.
std::optional<std::string_view> utf8_view(PyObject* text) noexcept;

// TypeError "'<type>' object cannot be converted to '<target>'".
[[noreturn, gnu::cold, gnu::noinline]] void throw_cannot_convert(PyObject* object, const char* target);

// The pointer a capsule holds under its own name: TypeError for anything but
// a capsule, ValueError "the <what> capsule holds no pointer" for an empty one.
void* capsule_pointer(PyObject* capsule, const char* what);

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
