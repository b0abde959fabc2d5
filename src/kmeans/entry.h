#pragma once
#include <Python.h>
namespace tarnwick {
PyObject* kmeans_entry(PyObject* self, PyObject* args, PyObject* kwargs);
}
