// The module's link to the engine's library loader: NVIDIA's Python wheels
// for it to search, and what it found, for `python -m tesvan info`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tesvan::py {

// Hands the folders of the interpreter's `nvidia` namespace package to the
// loader (the report for `python -m tesvan info` is the exported C function
// tesvan_loader_report, reached through tesvan.loader).  0 on success.
int add_loader_info(PyObject* module);

}  // namespace tesvan::py
