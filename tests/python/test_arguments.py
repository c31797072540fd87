"""The module's surface: contents, documentation texts, argument binding and
argument conversion, all before any GPU work."""

import inspect
import itertools
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _tesvan
from support import raised


class Engine:
    """Pure-Python twin of the native class: the interpreter's own binding
    errors for these signatures are the expected texts."""

    def __init__(self, device, *, batch_invariant=False):
        pass

    def forward(self, ptrs, dims, dtype, stream, tensor_cores=False):
        pass

    def backward_dx(self, ptrs, dims, dtype, stream, tensor_cores=False):
        pass

    def backward_dw(self, ptrs, dims, dtype, stream, tensor_cores=False):
        pass

    def presize_upcast_scratch(self, a_elems, b_elems, c_elems):
        pass

    def prepare_capture(self, dims, dtype, tensor_cores=False):
        pass

    def synchronize(self):
        pass


def test_module_registers_exactly_the_engine_class():
    public = [n for n in dir(_tesvan) if not n.startswith("__")]
    assert public == ["Engine"]
    assert _tesvan.__doc__ == ""
    assert isinstance(_tesvan.Engine, type)


DOCS = {
    None: ("(device, *, batch_invariant=False)",
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
           "dtype, tensor_cores, K and N); backward_dw keeps its dispatch."),
    "forward": ("($self, ptrs, dims, dtype, stream, tensor_cores=False)",
                "`out[M,N] = a[M,K] @ b[K,N] (+ bias[N], f32)`.\n\n"
                "`tensor_cores=True` tries the tensor-core tier first (bf16/f16,\n"
                "64-tile shapes: both output dims >= 64) and falls back to the scalar tier "
                "\u2014 tier\n"
                "choice depends only on shape and dtype, never on data, so\n"
                "determinism is preserved."),
    "backward_dx": ("($self, ptrs, dims, dtype, stream, tensor_cores=False)",
                    "`dx[M,K] = dy[M,N] @ w[K,N]^T` (overwrite)."),
    "backward_dw": ("($self, ptrs, dims, dtype, stream, tensor_cores=False)",
                    "`dw[K,N] (f32) += X^T @ dY`. `dw` is ALWAYS f32 (master\n"
                    "accumulator), zero it before the first accumulation."),
    "presize_upcast_scratch": ("($self, a_elems, b_elems, c_elems)",
                               "Pre-sizes the typed upcast-fallback scratch (f32 element counts).\n"
                               "Required before CUDA Graph capture."),
    "prepare_capture": ("($self, dims, dtype, tensor_cores=False)",
                        "Creates now all scratch that forward, backward_dx and backward_dw of\n"
                        "this shape, dtype and flag need, launching nothing, so that such calls\n"
                        "inside a CUDA Graph capture allocate nothing. Call it for every shape\n"
                        "before the capture; a call that would allocate while its stream is\n"
                        "capturing raises RuntimeError instead."),
    "synchronize": ("($self)", "Blocks until all engine work has completed."),
}


@pytest.mark.parametrize("member", list(DOCS))
def test_signatures_and_documentation_texts(member):
    obj = _tesvan.Engine if member is None else getattr(_tesvan.Engine, member)
    signature, doc = DOCS[member]
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc
    inspect.signature(obj)  # the interpreter can parse it


def binding_calls(names):
    """Argument patterns around a signature: every positional count up to
    two past the end, combined with keyword sets of real, repeated and
    unknown names."""
    keyword_sets = [()] + [(n,) for n in names] + [("bogus",), ("self",)]
    keyword_sets += list(itertools.combinations(names, 2)) + [(names[-1], "bogus")]
    for npos in range(len(names) + 3):
        for kws in keyword_sets:
            yield tuple(range(npos)), {k: 0 for k in kws}


METHODS = {
    "forward": ["ptrs", "dims", "dtype", "stream", "tensor_cores"],
    "backward_dx": ["ptrs", "dims", "dtype", "stream", "tensor_cores"],
    "backward_dw": ["ptrs", "dims", "dtype", "stream", "tensor_cores"],
    "presize_upcast_scratch": ["a_elems", "b_elems", "c_elems"],
    "prepare_capture": ["dims", "dtype", "tensor_cores"],
    "synchronize": [],
}


@pytest.mark.parametrize("method", list(METHODS))
def test_binding_errors_match_a_python_function(engine, method):
    twin = getattr(Engine(0), method)
    native = getattr(engine, method)
    compared = 0
    for args, kwargs in binding_calls(METHODS[method] or ["x"]):
        expected = raised(lambda: twin(*args, **kwargs))
        if expected is None:
            continue  # binds: it would run, not fail to bind
        actual = raised(lambda: native(*args, **kwargs))
        assert type(actual) is TypeError, (args, kwargs, actual)
        assert str(actual) == str(expected), (args, kwargs)
        compared += 1
    assert compared > 10


def test_constructor_binding_errors_match_a_python_function():
    # The constructor binds from a tuple: also more positionals than any
    # signature of the module has parameters.
    many = [(tuple(range(8)), {}), (tuple(range(8)), {"batch_invariant": 0})]
    for args, kwargs in [*binding_calls(["device", "batch_invariant"]), *many]:
        expected = raised(lambda: Engine(*args, **kwargs))
        if expected is None:
            continue
        actual = raised(lambda: _tesvan.Engine(*args, **kwargs))
        assert type(actual) is TypeError and str(actual) == str(expected), (args, kwargs)


class Index:
    """An integer-like object: accepted wherever an integer is."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


GOOD = dict(ptrs=(0, 0, 0, None), dims=(2**31, 1, 1), dtype="f32", stream=0)

CONVERSIONS = [
    # (changed arguments, exception type, message or None for the interpreter's, note)
    (dict(ptrs=[0, 0, 0, 0]), TypeError, "'list' object is not an instance of 'tuple'", "ptrs"),
    (dict(ptrs=None), TypeError, "'None' is not an instance of 'tuple'", "ptrs"),
    (dict(ptrs=(0, 0, 0)), ValueError, "expected tuple of length 4, but got tuple of length 3", "ptrs"),
    (dict(ptrs=(0, "1", 0, 0)), TypeError, None, "ptrs"),
    (dict(ptrs=(0, 0, 0, -1)), OverflowError, None, "ptrs"),
    (dict(ptrs=(2**64, 0, 0, 0)), OverflowError, None, "ptrs"),
    (dict(ptrs=(None, 0, 0, 0)), TypeError, None, "ptrs"),
    (dict(dims=(1, 2)), ValueError, "expected tuple of length 3, but got tuple of length 2", "dims"),
    (dict(dims=(1, 2, -3)), OverflowError, None, "dims"),
    (dict(dims=(1, 2, 3.0)), TypeError, None, "dims"),
    (dict(dims=(1, 2, None)), TypeError, None, "dims"),
    (dict(dtype=5), TypeError, "'int' object is not an instance of 'str'", "dtype"),
    (dict(dtype=b"f32"), TypeError, "'bytes' object is not an instance of 'str'", "dtype"),
    (dict(stream="0"), TypeError, None, "stream"),
    (dict(stream=-1), OverflowError, None, "stream"),
    (dict(tensor_cores=1), TypeError, "'int' object is not an instance of 'bool'", "tensor_cores"),
    (dict(tensor_cores=None), TypeError, "'None' is not an instance of 'bool'", "tensor_cores"),
    # The first failing parameter in order is the one reported.
    (dict(ptrs=[0], dims=None), TypeError, "'list' object is not an instance of 'tuple'", "ptrs"),
    (dict(dtype="nope", tensor_cores=0), TypeError, None, "tensor_cores"),
]


@pytest.mark.parametrize("changes,etype,message,note", CONVERSIONS)
def test_conversion_errors_keep_the_interpreters_type_and_name_the_parameter(
        engine, changes, etype, message, note):
    e = raised(lambda: engine.forward(**{**GOOD, **changes}))
    assert type(e) is etype
    if message is not None:
        assert str(e) == message
    assert e.__notes__ == [f"while processing '{note}'"]


def test_other_methods_convert_and_note_their_parameters(engine):
    e = raised(lambda: engine.backward_dx((0, 0, 0, 0), (1, 1, 1), "f32", 0))
    assert str(e) == "expected tuple of length 3, but got tuple of length 4"
    e = raised(lambda: engine.backward_dw((0, 0, None), (1, 1, 1), "f32", 0))
    assert type(e) is TypeError and e.__notes__ == ["while processing 'ptrs'"]
    for i, name in enumerate(["a_elems", "b_elems", "c_elems"]):
        counts = [1, 1, 1]
        counts[i] = -1
        e = raised(lambda: engine.presize_upcast_scratch(*counts))
        assert type(e) is OverflowError and e.__notes__ == [f"while processing '{name}'"]
    e = raised(lambda: _tesvan.Engine("0"))
    assert type(e) is TypeError and e.__notes__ == ["while processing 'device'"]
    e = raised(lambda: _tesvan.Engine(2**64))
    assert type(e) is OverflowError and e.__notes__ == ["while processing 'device'"]


@pytest.mark.parametrize("dtype", ["Float32", " f32", "fp16", "f32 ", "", "bf16\x00", "half\udc80"])
def test_unknown_dtype_is_quoted_unchanged(engine, dtype):
    e = raised(lambda: engine.forward(GOOD["ptrs"], GOOD["dims"], dtype, 0))
    assert type(e) is RuntimeError
    assert str(e) == f"tesvan: unsupported dtype '{dtype}' (expected float32, bfloat16, or float16)"
    assert not hasattr(e, "__notes__")


def test_integer_like_and_numpy_values_are_accepted(engine):
    # The shape is beyond the kernels' limit, so the call is converted, then
    # refused by the engine without GPU work.
    for tc in (True, False, np.bool_(True), np.bool_(False)):
        e = raised(lambda: engine.forward((Index(0), np.uint64(0), 0, Index(0)),
                                          (Index(2**31), np.int64(1), 1), "bf16",
                                          Index(0), tensor_cores=tc))
        assert type(e) is RuntimeError and "exceeds the kernels' 32-bit limit" in str(e)


def test_module_loads_in_a_second_interpreter():
    """No global state: a subinterpreter (with its own GIL where the
    interpreter offers that, 3.12 on) imports the module and gets its own
    Engine class.  Runs in a process of its own: after a subinterpreter,
    PyGILState_Check answers wrongly, which torch's autograd checks."""
    pytest.importorskip("_xxsubinterpreters")
    code = textwrap.dedent("""
        import sys, _xxsubinterpreters as interpreters
        code = ("import _tesvan; assert isinstance(_tesvan.Engine, type); "
                "_tesvan.Engine.forward.__doc__")
        interp = (interpreters.create(isolated=True) if sys.version_info >= (3, 12)
                  else interpreters.create())
        try:
            interpreters.run_string(interp, code)
        finally:
            interpreters.destroy(interp)
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
