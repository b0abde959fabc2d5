#include "boundary/convert.h"

namespace tarnwick {

std::uint64_t extract_u64(PyObject* object) {
  unsigned long long v;
  if (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_LONG_SUBCLASS) {
    v = PyLong_AsUnsignedLongLong(object);
  } else {
    OwnedRef index = OwnedRef::steal(PyNumber_Index(object));
    if (!index) throw fetch_error();
    v = PyLong_AsUnsignedLongLong(index.get());
  }
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw fetch_error();
  return v;
}

double extract_f64(PyObject* object) {
  double v = PyFloat_AsDouble(object);
  if (v == -1.0 && PyErr_Occurred()) throw fetch_error();
  return v;
}

PendingError wrap_argument_error(const char* name, PendingError error) {
  PyObject* value = error.value();
  if (error.type() != PyExc_TypeError || value == nullptr || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    return error;
  }
  PendingError wrapped = PendingError::lazy(
      PyExc_TypeError, std::string("argument '") + name + "': " + display_object(value));
  PyObject* new_value = wrapped.value();
  // PyException_SetCause steals the cause (a new reference, or null for none).
  PyException_SetCause(new_value, PyException_GetCause(value));
  return wrapped;
}

std::string type_qualname(PyObject* object) {
  OwnedRef name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (name) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
      return std::string(utf8, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

std::string display_object(PyObject* object) {
  OwnedRef text = OwnedRef::steal(PyObject_Str(object));
  if (!text) {
    PyErr_WriteUnraisable(object);
    OwnedRef name = OwnedRef::steal(PyType_GetName(Py_TYPE(object)));
    if (name) {
      Py_ssize_t size = 0;
      if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
        return "<unprintable " + std::string(utf8, static_cast<std::size_t>(size)) + " object>";
      }
    }
    PyErr_Clear();
    return "<unprintable object>";
  }
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  // Lone surrogates: encode them as they are, then read back with U+FFFD.
  PyErr_Clear();
  OwnedRef bytes = OwnedRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!bytes) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  OwnedRef decoded = OwnedRef::steal(
      PyUnicode_DecodeUTF8(PyBytes_AsString(bytes.get()), PyBytes_Size(bytes.get()), "replace"));
  if (decoded) {
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(decoded.get(), &size)) {
      return std::string(utf8, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return "<unprintable object>";
}

}  // namespace tarnwick
