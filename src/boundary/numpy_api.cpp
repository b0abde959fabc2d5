// NumPy's C API table, found through its capsule, and the descriptor field we read.
#include "boundary/numpy_api.h"

#include <cstring>

#include "boundary/call_frame.h"
#include "boundary/convert.h"
#include "support/fault.h"

namespace tarnwick {
namespace {

// Positions in NumPy's C API table (stable across 1.x and 2.x).
constexpr int kApiSlotArrayType = 2;
constexpr int kApiSlotDescrFromType = 45;
constexpr int kApiSlotNewFromDescr = 94;
constexpr int kApiSlotEquivTypes = 182;
constexpr int kApiSlotFeatureVersion = 211;
constexpr int kApiSlotSetBaseObject = 282;

// Process-wide caches, filled under the interpreter lock and never reset.
std::string* g_multiarray_path = nullptr;
void** g_api_table = nullptr;
NumpyApi g_api{};
int g_feature_version = -1;

[[noreturn]] void capsule_fault(PendingError error) {
  raise_fault("Failed to access NumPy array API capsule: " + describe_error(error));
}

OwnedRef import_attribute(const char* module, const char* attribute) {
  OwnedRef mod = OwnedRef::steal(PyImport_ImportModule(module));
  if (!mod) throw fetch_error();
  OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(mod.get(), attribute));
  if (!value) throw fetch_error();
  return value;
}

std::string find_multiarray_path() {
  OwnedRef version = import_attribute("numpy", "__version__");
  OwnedRef numpy_version = import_attribute("numpy.lib", "NumpyVersion");
  OwnedRef parsed = OwnedRef::steal(PyObject_CallFunctionObjArgs(numpy_version.get(), version.get(), nullptr));
  if (!parsed) throw fetch_error();
  OwnedRef major_obj = OwnedRef::steal(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major_obj) throw fetch_error();
  long major = PyLong_AsLong(major_obj.get());
  if (major == -1 && PyErr_Occurred()) throw fetch_error();
  if (major < 0 || major > 255) {
    throw PendingError::lazy(PyExc_OverflowError, "NumPy major version out of range");
  }
  return std::string(major < 2 ? "numpy.core" : "numpy._core") + ".multiarray";
}

void** fetch_api_table() {
  const std::string& path = multiarray_module_path();
  OwnedRef capsule = import_attribute(path.c_str(), "_ARRAY_API");
  void* pointer = capsule_pointer(capsule.get(), "_ARRAY_API");
  // The capsule stays alive for the life of the process.
  capsule.release();
  return static_cast<void**>(pointer);
}

}  // namespace

const std::string& multiarray_module_path() {
  if (g_multiarray_path == nullptr) {
    try {
      g_multiarray_path = new std::string(find_multiarray_path());
    } catch (PendingError& e) {
      capsule_fault(std::move(e));
    }
  }
  return *g_multiarray_path;
}

const NumpyApi& numpy_api() {
  if (g_api_table == nullptr) {
    void** table;
    try {
      table = fetch_api_table();
    } catch (PendingError& e) {
      capsule_fault(std::move(e));
    }
    g_api.array_type = static_cast<PyTypeObject*>(table[kApiSlotArrayType]);
    g_api.descr_from_type = reinterpret_cast<decltype(g_api.descr_from_type)>(table[kApiSlotDescrFromType]);
    g_api.new_from_descr = reinterpret_cast<decltype(g_api.new_from_descr)>(table[kApiSlotNewFromDescr]);
    g_api.equiv_types = reinterpret_cast<decltype(g_api.equiv_types)>(table[kApiSlotEquivTypes]);
    g_api.feature_version = reinterpret_cast<decltype(g_api.feature_version)>(table[kApiSlotFeatureVersion]);
    g_api.set_base_object = reinterpret_cast<decltype(g_api.set_base_object)>(table[kApiSlotSetBaseObject]);
    g_api_table = table;
  }
  return g_api;
}

npy_intp element_size(PyObject* array) {
  if (g_feature_version < 0) g_feature_version = static_cast<int>(numpy_api().feature_version());
  const char* descr = reinterpret_cast<const char*>(array_fields(array)->descr);
  if (static_cast<unsigned>(g_feature_version) >= kFeatureVersionV2) {
    npy_intp size;
    std::memcpy(&size, descr + kDescrElsizeOffsetV2, sizeof size);
    return size;
  }
  int size;
  std::memcpy(&size, descr + kDescrElsizeOffsetV1, sizeof size);
  return size;
}

}  // namespace tarnwick
