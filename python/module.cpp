// The _tesvan extension module: one class, Engine, whose methods convert
// their arguments with the interpreter lock held, then release it, take the
// engine's mutex and hand the request to the engine.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <string>

#include "arguments.h"
#include "engine_inner.h"
#include "loader_info.h"
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

// No C++ exception leaves the module: one that escapes an entry point's
// own handling becomes MemoryError or RuntimeError.
void raise_exception(std::exception_ptr caught) {
  try {
    std::rethrow_exception(caught);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "tesvan: internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "tesvan: internal error: unknown exception");
  }
}

// The fastcall entry of a method: Fn with every exception caught.
template <PyObject* (*Fn)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* guarded(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
  try {
    return Fn(self, args, nargs, kwnames);
  } catch (...) {
    raise_exception(std::current_exception());
    return nullptr;
  }
}

// Runs op(EngineInner&) -> Status without the interpreter lock, under the
// engine's mutex; returns None or raises.
template <class Op>
PyObject* run_locked(PyObject* self, Op&& op) {
  EngineObject* engine = as_engine(self);
  // Before the mutex: a child of fork() may have inherited it locked.
  const Status process = engine->inner->check_process();
  if (!process.ok()) {
    raise_error(process.error());
    return nullptr;
  }
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

// ---- the signatures, each declared once -------------------------------------

constexpr Param kInitParams[] = {{"device"}, {"batch_invariant", "False", true}};
constexpr Param kGemmParams[] = {{"ptrs"}, {"dims"}, {"dtype"}, {"stream"}, {"tensor_cores", "False"}};
constexpr Param kPresizeParams[] = {{"a_elems"}, {"b_elems"}, {"c_elems"}};
constexpr Param kPrepareParams[] = {{"dims"}, {"dtype"}, {"tensor_cores", "False"}};

constexpr Signature kInitSig = {"Engine.__init__", kInitParams};
constexpr Signature kForwardSig = {"Engine.forward", kGemmParams};
constexpr Signature kBackwardDxSig = {"Engine.backward_dx", kGemmParams};
constexpr Signature kBackwardDwSig = {"Engine.backward_dw", kGemmParams};
constexpr Signature kPresizeSig = {"Engine.presize_upcast_scratch", kPresizeParams};
constexpr Signature kPrepareSig = {"Engine.prepare_capture", kPrepareParams};
constexpr Signature kSyncSig = {"Engine.synchronize", {}};

// ---- construction and destruction ------------------------------------------

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* bound[1 + std::size(kInitParams)];
  if (!bind_tuple(kInitSig, Py_None, args, kwargs, bound)) return nullptr;
  uint64_t device = 0;
  bool batch_invariant = false;
  if (!to_u64(bound[1], "device", &device)) return nullptr;
  if (bound[2] && !to_bool(bound[2], "batch_invariant", &batch_invariant)) return nullptr;

  std::optional<Result<std::unique_ptr<EngineInner>>> created;
  std::exception_ptr caught;
  Py_BEGIN_ALLOW_THREADS
  try {
    created.emplace(EngineInner::create(device, batch_invariant));
  } catch (...) {
    caught = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (caught) {
    raise_exception(caught);
    return nullptr;
  }
  if (!created->ok()) {
    raise_error(created->error());
    return nullptr;
  }

  const auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;  // `created` releases the engine
  as_engine(self)->lock = new PoisonMutex();
  as_engine(self)->inner = std::move(*created).value().release();
  return self;
}

PyObject* engine_new_guarded(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  try {
    return engine_new(type, args, kwargs);
  } catch (...) {
    raise_exception(std::current_exception());
    return nullptr;
  }
}

void engine_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  EngineInner* inner = as_engine(self)->inner;
  if (inner) {
    // After fork() the destructor leaves the parent's CUDA objects alone.
    // Releasing buffers may wait for the engine stream.
    Py_BEGIN_ALLOW_THREADS
    delete inner;
    Py_END_ALLOW_THREADS
  }
  delete as_engine(self)->lock;
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// ---- the GEMM methods -------------------------------------------------------

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
  PyObject* bound[1 + std::size(kGemmParams)];
  PyObject* dtype = nullptr;
  if (!bind_fast(sig, self, args, nargs, kwnames, bound)) return false;
  if (!to_u64_tuple(bound[1], "ptrs", nptrs, nptrs == 4, call->ptrs)) return false;
  if (!to_dims(bound[2], "dims", &call->dims)) return false;
  if (!to_str(bound[3], "dtype", &dtype)) return false;
  if (!to_u64(bound[4], "stream", &call->stream)) return false;
  if (bound[5] && !to_bool(bound[5], "tensor_cores", &call->tensor_cores)) return false;
  return to_dtype(dtype, &call->dtype);
}

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

PyObject* engine_presize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyObject* bound[1 + std::size(kPresizeParams)];
  uint64_t n[3];
  if (!bind_fast(kPresizeSig, self, args, nargs, kwnames, bound)) return nullptr;
  for (int i = 0; i < 3; ++i) {
    if (!to_u64(bound[i + 1], kPresizeParams[i].name, &n[i])) return nullptr;
  }
  return run_locked(self,
                    [&](EngineInner& e) { return e.presize_upcast_scratch(n[0], n[1], n[2]); });
}

PyObject* engine_prepare_capture(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  PyObject* bound[1 + std::size(kPrepareParams)];
  Dims dims;
  PyObject* dtype_str = nullptr;
  DType dtype = DType::F32;
  bool tensor_cores = false;
  if (!bind_fast(kPrepareSig, self, args, nargs, kwnames, bound)) return nullptr;
  if (!to_dims(bound[1], "dims", &dims)) return nullptr;
  if (!to_str(bound[2], "dtype", &dtype_str)) return nullptr;
  if (bound[3] && !to_bool(bound[3], "tensor_cores", &tensor_cores)) return nullptr;
  if (!to_dtype(dtype_str, &dtype)) return nullptr;
  return run_locked(self,
                    [&](EngineInner& e) { return e.prepare_capture(dims, dtype, tensor_cores); });
}

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

// The documentation strings, each with the text signature of its Signature.
const std::string kForwardDoc = text_signature(
    kForwardSig, true,
    "`out[M,N] = a[M,K] @ b[K,N] (+ bias[N], f32)`.\n\n"
    "`tensor_cores=True` tries the tensor-core tier first (bf16/f16,\n"
    "64-tile shapes: both output dims >= 64) and falls back to the scalar tier \xe2\x80\x94 tier\n"
    "choice depends only on shape and dtype, never on data, so\n"
    "determinism is preserved.");
const std::string kBackwardDxDoc = text_signature(
    kBackwardDxSig, true, "`dx[M,K] = dy[M,N] @ w[K,N]^T` (overwrite).");
const std::string kBackwardDwDoc = text_signature(
    kBackwardDwSig, true,
    "`dw[K,N] (f32) += X^T @ dY`. `dw` is ALWAYS f32 (master\n"
    "accumulator), zero it before the first accumulation.");
const std::string kPresizeDoc = text_signature(
    kPresizeSig, true,
    "Pre-sizes the typed upcast-fallback scratch (f32 element counts).\n"
    "Required before CUDA Graph capture.");
const std::string kPrepareDoc = text_signature(
    kPrepareSig, true,
    "Creates now all scratch that forward, backward_dx and backward_dw of\n"
    "this shape, dtype and flag need, launching nothing, so that such calls\n"
    "inside a CUDA Graph capture allocate nothing. Call it for every shape\n"
    "before the capture; a call that would allocate while its stream is\n"
    "capturing raises RuntimeError instead.");
const std::string kSyncDoc =
    text_signature(kSyncSig, true, "Blocks until all engine work has completed.");
const std::string kEngineDoc = text_signature(
    kInitSig, false,
    "Deterministic GEMM engine bound to one CUDA device.\n\n"
    "Methods enqueue asynchronously and order themselves against the\n"
    "stream handle passed per call. Thread-safe: calls from different\n"
    "threads (e.g. torch's autograd thread) serialize on an internal\n"
    "mutex.\n\n"
    "Operands: every address aligned to its element size (4 bytes for f32,\n"
    "2 for bf16/f16); f32 matrices (dw included) 16-byte aligned where the\n"
    "shape takes a vectorised kernel; no output overlapping an input.\n"
    "A call that breaks these raises RuntimeError before anything runs.\n"
    "An engine belongs to the process that made it: after fork(), create\n"
    "a new one in the child.\n\n"
    "batch_invariant=True: forward and backward_dx give every output row\n"
    "the same bits whatever the batch size M (one reduction order per\n"
    "dtype, tensor_cores, K and N); backward_dw keeps its dispatch.");

#define TVN_METHOD(name, fn, doc)                                                            \
  {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<fn>)),          \
   METH_FASTCALL | METH_KEYWORDS, doc.c_str()}

PyMethodDef engine_methods[] = {
    TVN_METHOD("forward", engine_forward, kForwardDoc),
    TVN_METHOD("backward_dx", engine_backward_dx, kBackwardDxDoc),
    TVN_METHOD("backward_dw", engine_backward_dw, kBackwardDwDoc),
    TVN_METHOD("presize_upcast_scratch", engine_presize, kPresizeDoc),
    TVN_METHOD("prepare_capture", engine_prepare_capture, kPrepareDoc),
    TVN_METHOD("synchronize", engine_synchronize, kSyncDoc),
    {nullptr, nullptr, 0, nullptr},
};

#undef TVN_METHOD

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new_guarded)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, engine_methods},
    {Py_tp_getset, engine_getset},
    {Py_tp_doc, const_cast<char*>(kEngineDoc.c_str())},
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
  return r < 0 ? r : add_loader_info(module);
}

// The module keeps no global state (the type lives in the module), so each
// interpreter, with its own GIL or not, gets its own.  Py_mod_gil is not
// declared: the module has not been tested on a free-threaded build.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_multiple_interpreters  // 3.12 and later, unless the limited API is older
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_tesvan", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tesvan::py

PyMODINIT_FUNC PyInit__tesvan(void) { return PyModuleDef_Init(&tesvan::py::module_def); }
