// Scalar arguments, and the text of Python objects in messages.
#include "boundary/convert.h"

namespace tarnwick {

std::optional<std::string_view> utf8_view(PyObject* text) noexcept {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
    return std::string_view(utf8, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  return std::nullopt;
}

void throw_cannot_convert(PyObject* object, const char* target) {
  throw PendingError::lazy(PyExc_TypeError, "'" + type_qualname(object) + "' object cannot be converted to '" +
                                                target + "'");
}

void* capsule_pointer(PyObject* capsule, const char* what) {
  if (Py_TYPE(capsule) != &PyCapsule_Type) throw_cannot_convert(capsule, "PyCapsule");
  const char* name = PyCapsule_GetName(capsule);
  if (name == nullptr) PyErr_Clear();
  void* pointer = PyCapsule_GetPointer(capsule, name);
  if (pointer == nullptr) {
    PyErr_Clear();
    throw PendingError::lazy(PyExc_ValueError, std::string("the ") + what + " capsule holds no pointer");
  }
  return pointer;
}

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
  if (!name) {
    PyErr_Clear();
  } else if (auto text = utf8_view(name.get())) {
    return std::string(*text);
  }
  return "<failed to extract type name>";
}

std::string display_object(PyObject* object) {
  OwnedRef text = OwnedRef::steal(PyObject_Str(object));
  if (!text) {
    PyErr_WriteUnraisable(object);
    OwnedRef name = OwnedRef::steal(PyType_GetName(Py_TYPE(object)));
    if (!name) {
      PyErr_Clear();
    } else if (auto utf8 = utf8_view(name.get())) {
      return "<unprintable " + std::string(*utf8) + " object>";
    }
    return "<unprintable object>";
  }
  if (auto utf8 = utf8_view(text.get())) return std::string(*utf8);
  // Lone surrogates: encode them as they are, then read back with U+FFFD.
  OwnedRef bytes = OwnedRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!bytes) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  OwnedRef decoded = OwnedRef::steal(
      PyUnicode_DecodeUTF8(PyBytes_AsString(bytes.get()), PyBytes_Size(bytes.get()), "replace"));
  if (!decoded) {
    PyErr_Clear();
  } else if (auto utf8 = utf8_view(decoded.get())) {
    return std::string(*utf8);
  }
  return "<unprintable object>";
}

}  // namespace tarnwick
