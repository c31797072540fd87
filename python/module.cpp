// The _tesvan extension module: one class, Engine, whose methods convert
// their arguments with the interpreter lock held, then release it, take the
// engine's mutex and hand the request to the engine.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>

#include "arguments.h"
#include "engine_inner.h"
#include "poison_mutex.h"

namespace tesvan::py {
namespace {

struct EngineObject {
  PyObject_HEAD
  PoisonMutex* lock;
  EngineInner* inner;
};

EngineObject* as_engine(PyObject* self) { return reinterpret_cast<EngineObject*>(self); }

// Raises RuntimeError("tesvan: " + the error's display text).  The text may
// carry bytes of a compiler log, so undecodable bytes are replaced.
void raise_error(const Error& e) {
  const std::string text = "tesvan: " + e.display();
  PyObject* message =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message) {
    PyErr_SetObject(PyExc_RuntimeError, message);
    Py_DECREF(message);
  }
}

// Runs op(EngineInner&) -> Status without the interpreter lock, under the
// engine's mutex; returns None or raises.
template <class Op>
PyObject* run_locked(PyObject* self, Op&& op) {
  EngineObject* engine = as_engine(self);
  std::optional<Status> status;
  std::string fault;
  PoisonMutex::Outcome outcome;
  Py_BEGIN_ALLOW_THREADS
  outcome = engine->lock->run([&] { status.emplace(op(*engine->inner)); }, &fault);
  Py_END_ALLOW_THREADS
  switch (outcome) {
    case PoisonMutex::Outcome::Poisoned:
      PyErr_SetString(PyExc_RuntimeError, "tesvan: engine mutex poisoned");
      return nullptr;
    case PoisonMutex::Outcome::Faulted:
      PyErr_Format(PyExc_RuntimeError, "tesvan: internal fault (%s); engine mutex poisoned",
                   fault.c_str());
      return nullptr;
    case PoisonMutex::Outcome::Ran:
      break;
  }
  if (!status->ok()) {
    raise_error(status->error());
    return nullptr;
  }
  Py_RETURN_NONE;
}

// ---- construction and destruction ------------------------------------------

const char* const kInitNames[] = {"self", "device"};
const Signature kInitSig = {"Engine.__init__", kInitNames, 2, 0};

// Binds `(device, *, batch_invariant=False)` with the interpreter's errors:
// the keyword-only flag is taken out of a copy of the keywords and the rest
// binds as `(device)`; too many positionals beside the flag get the
// interpreter's own wording for that case.
bool bind_init(PyObject* args, PyObject* kwargs, uint64_t* device, bool* batch_invariant) {
  PyObject* flag = kwargs ? PyDict_GetItemString(kwargs, "batch_invariant") : nullptr;
  PyObject* copy = flag ? PyDict_Copy(kwargs) : nullptr;
  if (flag && (!copy || PyDict_DelItemString(copy, "batch_invariant") < 0)) {
    Py_XDECREF(copy);
    return false;
  }
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  PyObject* positional = flag && nargs > 1 ? PyTuple_GetSlice(args, 0, 1) : (Py_INCREF(args), args);
  PyObject* bound[2];
  bool ok = positional && bind_tuple(kInitSig, Py_None, positional, flag ? copy : kwargs, bound);
  if (ok && positional != args) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes 2 positional arguments but %zd positional arguments (and 1 "
                 "keyword-only argument) were given",
                 kInitSig.qualname, nargs + 1);
    ok = false;
  }
  ok = ok && to_u64(bound[1], "device", device) &&
       (!flag || to_bool(flag, "batch_invariant", batch_invariant));
  Py_XDECREF(positional);
  Py_XDECREF(copy);
  return ok;
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  uint64_t device = 0;
  bool batch_invariant = false;
  if (!bind_init(args, kwargs, &device, &batch_invariant)) return nullptr;

  std::optional<Result<std::unique_ptr<EngineInner>>> created;
  Py_BEGIN_ALLOW_THREADS
  created.emplace(EngineInner::create(device, batch_invariant));
  Py_END_ALLOW_THREADS
  if (!created->ok()) {
    raise_error(created->error());
    return nullptr;
  }

  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;  // `created` releases the engine
  as_engine(self)->lock = new PoisonMutex();
  as_engine(self)->inner = std::move(*created).value().release();
  return self;
}

void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  EngineInner* inner = as_engine(self)->inner;
  if (inner) {
    // Releasing buffers may wait for the engine stream.
    Py_BEGIN_ALLOW_THREADS
    delete inner;
    Py_END_ALLOW_THREADS
  }
  delete as_engine(self)->lock;
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- the GEMM methods -------------------------------------------------------

const char* const kGemmNames[] = {"self", "ptrs", "dims", "dtype", "stream", "tensor_cores"};

// The converted arguments of forward / backward_dx / backward_dw.
struct GemmCall {
  uint64_t ptrs[4] = {0, 0, 0, 0};
  Dims dims;
  uint64_t stream = 0;
  bool tensor_cores = false;
  DType dtype = DType::F32;
};

bool convert_gemm(const Signature& sig, Py_ssize_t nptrs, PyObject* self, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames, GemmCall* call) {
  PyObject* bound[6];
  PyObject* dtype = nullptr;
  if (!bind_fast(sig, self, args, nargs, kwnames, bound)) return false;
  if (!to_u64_tuple(bound[1], "ptrs", nptrs, nptrs == 4, call->ptrs)) return false;
  if (!to_dims(bound[2], "dims", &call->dims)) return false;
  if (!to_str(bound[3], "dtype", &dtype)) return false;
  if (!to_u64(bound[4], "stream", &call->stream)) return false;
  if (bound[5] && !to_bool(bound[5], "tensor_cores", &call->tensor_cores)) return false;
  return to_dtype(dtype, &call->dtype);
}

const Signature kForwardSig = {"Engine.forward", kGemmNames, 6, 1};
const Signature kBackwardDxSig = {"Engine.backward_dx", kGemmNames, 6, 1};
const Signature kBackwardDwSig = {"Engine.backward_dw", kGemmNames, 6, 1};

PyObject* engine_forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  GemmCall c;
  if (!convert_gemm(kForwardSig, 4, self, args, nargs, kwnames, &c)) return nullptr;
  return run_locked(self, [&](EngineInner& e) {
    return e.forward(c.stream, c.ptrs[0], c.ptrs[1], c.ptrs[2], c.ptrs[3], c.dims, c.dtype,
                     c.tensor_cores);
  });
}

PyObject* engine_backward_dx(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  GemmCall c;
  if (!convert_gemm(kBackwardDxSig, 3, self, args, nargs, kwnames, &c)) return nullptr;
  return run_locked(self, [&](EngineInner& e) {
    return e.backward_dx(c.stream, c.ptrs[0], c.ptrs[1], c.ptrs[2], c.dims, c.dtype,
                         c.tensor_cores);
  });
}

PyObject* engine_backward_dw(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  GemmCall c;
  if (!convert_gemm(kBackwardDwSig, 3, self, args, nargs, kwnames, &c)) return nullptr;
  return run_locked(self, [&](EngineInner& e) {
    return e.backward_dw(c.stream, c.ptrs[0], c.ptrs[1], c.ptrs[2], c.dims, c.dtype,
                         c.tensor_cores);
  });
}

// ---- scratch and synchronisation --------------------------------------------

const char* const kPresizeNames[] = {"self", "a_elems", "b_elems", "c_elems"};
const Signature kPresizeSig = {"Engine.presize_upcast_scratch", kPresizeNames, 4, 0};

PyObject* engine_presize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyObject* bound[4];
  uint64_t n[3];
  if (!bind_fast(kPresizeSig, self, args, nargs, kwnames, bound)) return nullptr;
  for (int i = 0; i < 3; ++i) {
    if (!to_u64(bound[i + 1], kPresizeNames[i + 1], &n[i])) return nullptr;
  }
  return run_locked(self,
                    [&](EngineInner& e) { return e.presize_upcast_scratch(n[0], n[1], n[2]); });
}

const char* const kSyncNames[] = {"self"};
const Signature kSyncSig = {"Engine.synchronize", kSyncNames, 1, 0};

PyObject* engine_synchronize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind_fast(kSyncSig, self, args, nargs, kwnames, bound)) return nullptr;
  return run_locked(self, [](EngineInner& e) { return e.synchronize(); });
}

PyObject* engine_get_batch_invariant(PyObject* self, void*) {
  return PyBool_FromLong(as_engine(self)->inner->batch_invariant());
}

PyGetSetDef engine_getset[] = {
    {"batch_invariant", engine_get_batch_invariant, nullptr,
     "True when the engine was made with batch_invariant=True (read-only).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- the type and the module ------------------------------------------------

#define TVN_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef engine_methods[] = {
    {"forward", TVN_FASTCALL(engine_forward), METH_FASTCALL | METH_KEYWORDS,
     "forward($self, ptrs, dims, dtype, stream, tensor_cores=False)\n--\n\n"
     "`out[M,N] = a[M,K] @ b[K,N] (+ bias[N], f32)`.\n\n"
     "`tensor_cores=True` tries the tensor-core tier first (bf16/f16,\n"
     "64-tile shapes: both output dims >= 64) and falls back to the scalar tier \xe2\x80\x94 tier\n"
     "choice depends only on shape and dtype, never on data, so\n"
     "determinism is preserved."},
    {"backward_dx", TVN_FASTCALL(engine_backward_dx), METH_FASTCALL | METH_KEYWORDS,
     "backward_dx($self, ptrs, dims, dtype, stream, tensor_cores=False)\n--\n\n"
     "`dx[M,K] = dy[M,N] @ w[K,N]^T` (overwrite)."},
    {"backward_dw", TVN_FASTCALL(engine_backward_dw), METH_FASTCALL | METH_KEYWORDS,
     "backward_dw($self, ptrs, dims, dtype, stream, tensor_cores=False)\n--\n\n"
     "`dw[K,N] (f32) += X^T @ dY`. `dw` is ALWAYS f32 (master\n"
     "accumulator), zero it before the first accumulation."},
    {"presize_upcast_scratch", TVN_FASTCALL(engine_presize), METH_FASTCALL | METH_KEYWORDS,
     "presize_upcast_scratch($self, a_elems, b_elems, c_elems)\n--\n\n"
     "Pre-sizes the typed upcast-fallback scratch (f32 element counts).\n"
     "Required before CUDA Graph capture."},
    {"synchronize", TVN_FASTCALL(engine_synchronize), METH_FASTCALL | METH_KEYWORDS,
     "synchronize($self)\n--\n\n"
     "Blocks until all engine work has completed."},
    {nullptr, nullptr, 0, nullptr},
};

#undef TVN_FASTCALL

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, engine_methods},
    {Py_tp_getset, engine_getset},
    {Py_tp_doc, const_cast<char*>(
                    "Engine(device, *, batch_invariant=False)\n--\n\n"
                    "Deterministic GEMM engine bound to one CUDA device.\n\n"
                    "Methods enqueue asynchronously and order themselves against the\n"
                    "stream handle passed per call. Thread-safe: calls from different\n"
                    "threads (e.g. torch's autograd thread) serialize on an internal\n"
                    "mutex.\n\n"
                    "batch_invariant=True: forward and backward_dx give every output row\n"
                    "the same bits whatever the batch size M (one reduction order per\n"
                    "dtype, tensor_cores, K and N); backward_dw keeps its dispatch.")},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    "_tesvan.Engine",
    sizeof(EngineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    engine_slots,
};

int module_exec(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &engine_spec, nullptr);
  if (!type) return -1;
  const int r = PyModule_AddObjectRef(module, "Engine", type);
  Py_DECREF(type);
  return r;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_tesvan", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tesvan::py

PyMODINIT_FUNC PyInit__tesvan(void) { return PyModuleDef_Init(&tesvan::py::module_def); }
