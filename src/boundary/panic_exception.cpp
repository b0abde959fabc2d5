// The Python side of faults: the PanicException type, made once per process.
#include "support/fault.h"

#include "boundary/call_frame.h"
#include "boundary/panic_exception.h"

namespace tarnwick {
namespace {

constexpr const char kPanicDoc[] =
    "\n"
    "The exception raised when native code, called from Python, faults.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and make the\n"
    "Python interpreter exit.\n";

PyObject* g_panic_type = nullptr;  // written once, under the interpreter lock

}  // namespace

PyObject* panic_exception_type() {
  if (g_panic_type != nullptr) return g_panic_type;
  PyObject* type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                             PyExc_BaseException, nullptr);
  if (type == nullptr) {
    // Describing the error must not need this type again.
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(tb);
    raise_fault("Failed to initialize new exception type.");
  }
  g_panic_type = type;
  return type;
}

}  // namespace tarnwick
