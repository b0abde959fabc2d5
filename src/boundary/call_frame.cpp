// The call frame: errors in flight, their hand-over to the interpreter, and argument binding.
#include "boundary/call_frame.h"

#include <cstdio>
#include <new>
#include <vector>

#include "boundary/convert.h"
#include "support/fault.h"
#include "boundary/panic_exception.h"

namespace tarnwick {
namespace {

constexpr const char kNoTextFault[] = "native code faulted without giving a reason";

}  // namespace

PyObject* PendingError::value() {
  if (is_lazy_) {
    OwnedRef message = OwnedRef::steal(
        PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    if (!message) throw fetch_error();
    OwnedRef instance = OwnedRef::steal(PyObject_CallFunctionObjArgs(type_.get(), message.get(), nullptr));
    if (!instance) throw fetch_error();
    value_ = std::move(instance);
    is_lazy_ = false;
    message_.clear();
    return value_.get();
  }
  PyObject* t = type_.release();
  PyObject* v = value_.release();
  PyObject* tb = traceback_.release();
  PyErr_NormalizeException(&t, &v, &tb);
  type_ = OwnedRef::steal(t);
  value_ = OwnedRef::steal(v);
  traceback_ = OwnedRef::steal(tb);
  return value_.get();
}

void restore_error(PendingError error) {
  if (!error.is_lazy_) {
    PyErr_Restore(error.type_.release(), error.value_.release(), error.traceback_.release());
    return;
  }
  OwnedRef message = OwnedRef::steal(PyUnicode_FromStringAndSize(
      error.message_.data(), static_cast<Py_ssize_t>(error.message_.size())));
  if (!message) return;  // the interpreter's MemoryError stands
  OwnedRef value;
  if (error.type_.get() == panic_exception_type()) {
    value = OwnedRef::steal(PyTuple_Pack(1, message.get()));
    if (!value) return;
  } else {
    value = std::move(message);
  }
  PyErr_SetObject(error.type_.get(), value.get());
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  PyErr_Restore(t, v, tb);
}

PendingError fetch_error() {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  if (t == nullptr) {
    Py_XDECREF(v);
    Py_XDECREF(tb);
    return PendingError::lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyObject* panic_type = nullptr;
  try {
    panic_type = panic_exception_type();
  } catch (...) {
    PyErr_Restore(t, v, tb);
    throw;
  }
  if (t != panic_type) {
    return PendingError::fetched(OwnedRef::steal(t), OwnedRef::steal(v), OwnedRef::steal(tb));
  }
  // A fault raised by Python code that we called: it goes on as our fault.
  PyErr_NormalizeException(&t, &v, &tb);
  std::string text = "Unwrapped panic from Python code";
  if (v != nullptr) {
    if (OwnedRef s = OwnedRef::steal(PyObject_Str(v))) {
      if (auto utf8 = utf8_view(s.get())) text = *utf8;
    } else {
      PyErr_Clear();
    }
  }
  std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
  std::fputs("Python stack trace below:\n", stderr);
  PyErr_Restore(t, v, tb);
  PyErr_PrintEx(0);
  throw Fault(std::move(text));
}

std::string describe_error(PendingError& error) {
  std::string text;
  if (OwnedRef name = OwnedRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(error.type())))) {
    text = display_object(name.get());
  } else {
    PyErr_Clear();
    text = "<unknown error>";
  }
  if (error.is_lazy()) return text + ": " + error.message();
  if (PyObject* value = error.value()) text += ": " + display_object(value);
  return text;
}

PendingError error_from_current_exception() {
  try {
    throw;
  } catch (PendingError& e) {
    return std::move(e);
  } catch (const Fault& f) {
    return PendingError::lazy(panic_exception_type(), f.text());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return fetch_error();
  } catch (const std::exception& e) {
    return PendingError::lazy(panic_exception_type(), e.what());
  } catch (...) {
    return PendingError::lazy(panic_exception_type(), kNoTextFault);
  }
}

void abort_uncaught_fault() noexcept {
  std::fputs("tarnwick_accel: uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

std::string format_name_list(const std::string_view* names, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) {
      if (count > 2) out += ',';
      out += (i + 1 == count) ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

void bind_arguments(const ArgumentSpec& signature, PyObject* args, PyObject* kwargs, PyObject** slots) {
  // Formatted only when an error is raised: binding allocates nothing on success.
  auto call_name_of = [&] { return std::string(signature.function_name) + "()"; };
  for (std::size_t i = 0; i < signature.count; ++i) slots[i] = nullptr;

  const std::size_t given = static_cast<std::size_t>(PyTuple_Size(args));
  for (std::size_t i = 0; i < given && i < signature.count; ++i) {
    slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }
  if (given > signature.count) {
    throw PendingError::lazy(PyExc_TypeError,
                             call_name_of() + " takes " + std::to_string(signature.count) +
                                 " positional arguments but " + std::to_string(given) +
                                 (given == 1 ? " was" : " were") + " given");
  }

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::size_t found = signature.count;
      if (auto key_text = utf8_view(key)) {
        for (std::size_t i = 0; i < signature.count; ++i) {
          if (*key_text == signature.names[i]) {
            found = i;
            break;
          }
        }
      }
      if (found == signature.count) {
        throw PendingError::lazy(PyExc_TypeError, call_name_of() + " got an unexpected keyword argument '" +
                                                      display_object(key) + "'");
      }
      if (slots[found] != nullptr) {
        throw PendingError::lazy(PyExc_TypeError, call_name_of() + " got multiple values for argument '" +
                                                      signature.names[found] + "'");
      }
      slots[found] = value;
    }
  }

  if (given < signature.required) {
    std::size_t empty = 0;
    for (std::size_t i = 0; i < signature.required; ++i) empty += slots[i] == nullptr;
    if (empty != 0) {
      std::vector<std::string_view> missing;
      for (std::size_t i = 0; i < signature.required; ++i) {
        if (slots[i] == nullptr) missing.emplace_back(signature.names[i]);
      }
      throw PendingError::lazy(
          PyExc_TypeError, call_name_of() + " missing " + std::to_string(missing.size()) +
                               " required positional " +
                               (missing.size() == 1 ? "argument" : "arguments") + ": " +
                               format_name_list(missing.data(), missing.size()));
    }
  }
}

}  // namespace tarnwick
