// The module's link to the engine's library loader: NVIDIA's Python wheels
// for it to search, and what it found, for `python -m tesvan info`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tesvan::py {

// Hands the folders of the interpreter's `nvidia` namespace package to the
// loader and adds the private function `_loader_report()` to the module.
// -1 with an exception set on failure.
int add_loader_info(PyObject* module);

}  // namespace tesvan::py
