// optimize_layout, the module function (entry.cpp).
#pragma once
#include <Python.h>
namespace tarnwick {
PyObject* optimize_layout_entry(PyObject* self, PyObject* args, PyObject* kwargs);
}
