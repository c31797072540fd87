#include "arguments.h"

#include <optional>
#include <string>

#include "engine_inner.h"

namespace tesvan::py {
namespace {

// Accumulates one call's arguments in the order the interpreter does for a
// Python function: positionals, then keywords, then the count check, then
// the missing ones.
class Binder {
 public:
  Binder(const Signature& sig, PyObject** out) : sig_(sig), out_(out) {
    for (int i = 0; i <= count(); ++i) out_[i] = nullptr;
  }

  void positional(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    given_ = nargs + 1;
    out_[0] = self;
    for (Py_ssize_t i = 0; i < nargs && i < positional_count(); ++i) out_[i + 1] = args[i];
  }

  bool keyword(PyObject* name, PyObject* value) {
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig_.qualname);
      return false;
    }
    // self is always bound already, as in a Python method.
    if (PyUnicode_CompareWithASCIIString(name, "self") == 0) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", sig_.qualname,
                   name);
      return false;
    }
    for (int i = 0; i < count(); ++i) {
      if (PyUnicode_CompareWithASCIIString(name, sig_.params[i].name) != 0) continue;
      if (out_[i + 1]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", sig_.qualname,
                     name);
        return false;
      }
      out_[i + 1] = value;
      return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig_.qualname,
                 name);
    return false;
  }

  bool finish() {
    if (given_ > positional_count() + 1) {
      too_many();
      return false;
    }
    const char* missing[kMaxParams];
    int n = 0;
    for (int i = 0; i < count(); ++i) {
      if (!out_[i + 1] && !sig_.params[i].default_text) missing[n++] = sig_.params[i].name;
    }
    if (n == 0) return true;
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    PyObject* list = PyUnicode_FromString("");
    for (int j = 0; j < n && list; ++j) {
      const char* sep = j == 0 ? "" : n == 2 ? " and " : j == n - 1 ? ", and " : ", ";
      PyObject* next = PyUnicode_FromFormat("%U%s'%s'", list, sep, missing[j]);
      Py_DECREF(list);
      list = next;
    }
    if (!list) return false;
    PyErr_Format(PyExc_TypeError, "%s() missing %d required positional argument%s: %U",
                 sig_.qualname, n, n == 1 ? "" : "s", list);
    Py_DECREF(list);
    return false;
  }

 private:
  int count() const { return static_cast<int>(sig_.params.size()); }
  int positional_count() const {
    int n = 0;
    for (const Param& p : sig_.params) n += p.keyword_only ? 0 : 1;
    return n;
  }
  int optional_positional() const {
    int n = 0;
    for (const Param& p : sig_.params) n += !p.keyword_only && p.default_text ? 1 : 0;
    return n;
  }

  // The interpreter's wording, keyword-only arguments given beside included.
  void too_many() {
    const int most = positional_count() + 1;
    const int atleast = most - optional_positional();
    int kwonly = 0;
    for (int i = 0; i < count(); ++i) kwonly += sig_.params[i].keyword_only && out_[i + 1] ? 1 : 0;
    PyObject* takes = atleast != most ? PyUnicode_FromFormat("from %d to %d", atleast, most)
                                      : PyUnicode_FromFormat("%d", most);
    PyObject* extra = kwonly ? PyUnicode_FromFormat(
                                   " positional argument%s (and %d keyword-only argument%s)",
                                   given_ != 1 ? "s" : "", kwonly, kwonly != 1 ? "s" : "")
                             : PyUnicode_FromString("");
    if (takes && extra) {
      PyErr_Format(PyExc_TypeError, "%s() takes %U positional argument%s but %zd%U %s given",
                   sig_.qualname, takes, atleast != most || most != 1 ? "s" : "", given_, extra,
                   given_ == 1 && !kwonly ? "was" : "were");
    }
    Py_XDECREF(takes);
    Py_XDECREF(extra);
  }

  const Signature& sig_;
  PyObject** out_;
  Py_ssize_t given_ = 0;
};

// Adds "while processing '<name>'" to the pending exception.  If add_note
// itself fails, the original exception stands without the note.
void note(const char* name) {
  const std::string text = std::string("while processing '") + name + "'";
#if PY_VERSION_HEX >= 0x030C0000 && (!defined(Py_LIMITED_API) || Py_LIMITED_API >= 0x030C0000)
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* r = PyObject_CallMethod(exc, "add_note", "s", text.c_str());
  if (r) {
    Py_DECREF(r);
  } else {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(exc);
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  PyObject* r = PyObject_CallMethod(value, "add_note", "s", text.c_str());
  if (r) {
    Py_DECREF(r);
  } else {
    PyErr_Clear();
  }
  PyErr_Restore(type, value, tb);
#endif
}

// "'<type>' object is not an instance of '<expected>'" ("'None' is ..." for None).
bool wrong_type(PyObject* value, const char* name, const char* expected) {
  if (value == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else {
    PyObject* type_name = PyType_GetQualName(Py_TYPE(value));
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", type_name, expected);
    Py_DECREF(type_name);
  }
  note(name);
  return false;
}

// An integer (or an object with __index__) in 0 .. 2^64 - 1, without note.
bool u64_of(PyObject* value, uint64_t* out) {
  PyObject* index = PyNumber_Index(value);
  if (!index) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

// NumPy's boolean scalar ("numpy.bool_" before NumPy 2, "numpy.bool" since).
// Any error looking the names up only means "not that type".
bool is_numpy_bool(PyObject* value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  PyObject* qualname = PyType_GetQualName(Py_TYPE(value));
  PyObject* module = qualname ? PyObject_GetAttrString(type, "__module__") : nullptr;
  const bool yes = module && PyUnicode_Check(module) &&
                   PyUnicode_CompareWithASCIIString(module, "numpy") == 0 &&
                   (PyUnicode_CompareWithASCIIString(qualname, "bool_") == 0 ||
                    PyUnicode_CompareWithASCIIString(qualname, "bool") == 0);
  Py_XDECREF(module);
  Py_XDECREF(qualname);
  if (PyErr_Occurred()) PyErr_Clear();
  return yes;
}

}  // namespace

std::string text_signature(const Signature& sig, bool method, std::string_view text) {
  const std::string_view qualname = sig.qualname;
  const std::string_view name = method ? qualname.substr(qualname.rfind('.') + 1)
                                       : qualname.substr(0, qualname.find('.'));
  std::string doc = std::string(name) + "(";
  bool first = true;
  const auto separate = [&] {
    if (!first) doc += ", ";
    first = false;
  };
  if (method) {
    separate();
    doc += "$self";
  }
  bool star = false;
  for (const Param& p : sig.params) {
    if (p.keyword_only && !star) {
      separate();
      doc += "*";
      star = true;
    }
    separate();
    doc += p.name;
    if (p.default_text) doc += std::string("=") + p.default_text;
  }
  doc += ")\n--\n\n";
  doc += text;
  return doc;
}

bool bind_fast(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out) {
  Binder b(sig, out);
  b.positional(self, args, nargs);
  const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    if (!b.keyword(PyTuple_GetItem(kwnames, i), args[nargs + i])) return false;
  }
  return b.finish();
}

bool bind_tuple(const Signature& sig, PyObject* self, PyObject* args, PyObject* kwargs,
                PyObject** out) {
  Binder b(sig, out);
  // The limited API gives no view of a tuple's item array; the binder reads
  // no more than the signature's positionals, so a copy of those will do.
  const Py_ssize_t nargs = PyTuple_Size(args);
  PyObject* items[kMaxParams];
  for (Py_ssize_t i = 0; i < nargs && i < kMaxParams; ++i) items[i] = PyTuple_GetItem(args, i);
  b.positional(self, items, nargs);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!b.keyword(key, value)) return false;
    }
  }
  return b.finish();
}

bool to_u64(PyObject* value, const char* name, uint64_t* out) {
  if (u64_of(value, out)) return true;
  note(name);
  return false;
}

bool to_bool(PyObject* value, const char* name, bool* out) {
  if (PyBool_Check(value)) {
    *out = value == Py_True;
    return true;
  }
  if (is_numpy_bool(value)) {
    const int truth = PyObject_IsTrue(value);
    if (truth >= 0) {
      *out = truth != 0;
      return true;
    }
    note(name);
    return false;
  }
  return wrong_type(value, name, "bool");
}

bool to_str(PyObject* value, const char* name, PyObject** out) {
  if (!PyUnicode_Check(value)) return wrong_type(value, name, "str");
  *out = value;
  return true;
}

bool to_u64_tuple(PyObject* value, const char* name, Py_ssize_t n, bool last_optional,
                  uint64_t* out) {
  if (!PyTuple_Check(value)) return wrong_type(value, name, "tuple");
  const Py_ssize_t len = PyTuple_Size(value);
  if (len != n) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd", n,
                 len);
    note(name);
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GetItem(value, i);
    if (last_optional && i == n - 1 && item == Py_None) {
      out[i] = 0;
    } else if (!u64_of(item, &out[i])) {
      note(name);
      return false;
    }
  }
  return true;
}

bool to_dims(PyObject* value, const char* name, Dims* out) {
  uint64_t v[3];
  if (!to_u64_tuple(value, name, 3, false, v)) return false;
  *out = Dims{v[0], v[1], v[2]};
  return true;
}

bool to_dtype(PyObject* str, DType* out) {
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &len);
  std::optional<DType> t;
  if (utf8) {
    t = parse_dtype(std::string_view(utf8, static_cast<size_t>(len)));
  } else {
    PyErr_Clear();  // not encodable (lone surrogates): certainly no dtype name
  }
  if (!t) {
    PyErr_Format(PyExc_RuntimeError,
                 "tesvan: unsupported dtype '%U' (expected float32, bfloat16, or float16)", str);
    return false;
  }
  *out = *t;
  return true;
}

}  // namespace tesvan::py
