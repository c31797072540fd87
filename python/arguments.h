// Argument binding and conversion for the Engine methods, with the
// interpreter's own error texts: binding fails as a Python function of the
// same signature would, conversions keep the interpreter's exception and
// carry the note "while processing '<name>'".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "types.h"

namespace tesvan::py {

// One parameter of an Engine method, as the text signature shows it.
struct Param {
  const char* name;
  const char* default_text = nullptr;  // the default as written; nullptr: required
  bool keyword_only = false;           // after the "*" of the signature
};

// A Python-level signature: `self`, then the parameters, declared once; the
// binding below and the documentation's text signature both come from it.
struct Signature {
  const char* qualname;          // as in the messages, e.g. "Engine.forward"
  std::span<const Param> params;  // after self
};

inline constexpr int kMaxParams = 6;  // self included

// The documentation string in the interpreter's text-signature form:
// "<name>(<self>, <params>)\n--\n\n<text>".  A method is named by the
// qualname's last part and takes "$self"; the constructor is named by the
// class and shows no self ("Engine(device)").
std::string text_signature(const Signature& sig, bool method, std::string_view text);

// Binds self, the positional arguments and the keyword arguments (values
// follow the positional ones in `args`, names in `kwnames`) to out[0] (self)
// and out[1 + i] for parameter i (borrowed; null for an omitted optional
// parameter).  False with a
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
