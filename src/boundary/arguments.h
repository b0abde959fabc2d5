// The arguments of one call, bound to their parameters and converted one at
// a time in the caller's order; every conversion error names its argument.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "boundary/arrays.h"
#include "boundary/call_frame.h"
#include "boundary/convert.h"

namespace tarnwick {

template <std::size_t kCount>
class BoundArguments {
 public:
  // Every parameter required. Throws the binding TypeError when the call
  // does not fit the signature.
  BoundArguments(const char* function_name, const char* const (&names)[kCount], PyObject* args,
                 PyObject* kwargs)
      : names_(names) {
    bind_arguments(ArgumentSpec{function_name, names, kCount, kCount}, args, kwargs, slots_);
  }

  ReadonlyArray array(std::size_t i, int type_num, int ndim) const {
    return convert_argument(names_[i], [&] { return extract_readonly_array(slots_[i], type_num, ndim); });
  }
  std::uint64_t u64(std::size_t i) const {
    return convert_argument(names_[i], [&] { return extract_u64(slots_[i]); });
  }
  double f64(std::size_t i) const {
    return convert_argument(names_[i], [&] { return extract_f64(slots_[i]); });
  }

 private:
  const char* const* names_;
  PyObject* slots_[kCount];  // borrowed from the call's arguments
};

}  // namespace tarnwick
