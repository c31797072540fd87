// Argument binding and conversion for the Engine methods, with the
// interpreter's own error texts: binding fails as a Python function of the
// same signature would, conversions keep the interpreter's exception and
// carry the note "while processing '<name>'".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "types.h"

namespace tesvan::py {

// A Python-level signature: `self` first, then the parameters; the last
// `optional` parameters have defaults.
struct Signature {
  const char* qualname;      // as in the messages, e.g. "Engine.forward"
  const char* const* names;  // "self", then the parameter names
  int count;                 // including self
  int optional;
};

inline constexpr int kMaxParams = 6;

// Binds self, the positional arguments and the keyword arguments (values
// follow the positional ones in `args`, names in `kwnames`) to out[count]
// (borrowed; null for an omitted optional parameter).  False with a
// TypeError set on failure.
bool bind_fast(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out);
// The same for a call given as a tuple and a dict (the constructor).
bool bind_tuple(const Signature& sig, PyObject* self, PyObject* args, PyObject* kwargs,
                PyObject** out);

// Conversions; each returns false with the exception (and its note) set.
bool to_u64(PyObject* value, const char* name, uint64_t* out);
bool to_bool(PyObject* value, const char* name, bool* out);
// A str; *out is borrowed.
bool to_str(PyObject* value, const char* name, PyObject** out);
// A tuple of exactly n unsigned 64-bit integers; with `last_optional` the
// last item may be None, read as 0.
bool to_u64_tuple(PyObject* value, const char* name, Py_ssize_t n, bool last_optional,
                  uint64_t* out);
bool to_dims(PyObject* value, const char* name, Dims* out);

// The element type named by a dtype string, or a RuntimeError quoting it.
bool to_dtype(PyObject* str, DType* out);

}  // namespace tesvan::py
