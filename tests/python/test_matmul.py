"""tesvan.matmul on device arrays described by __cuda_array_interface__ or
DLPack, as another framework would hand them over."""

import ctypes
import importlib

import numpy as np
import pytest

import tesvan
from cuda_driver import encoded, representable


class DeviceArray:
    """A minimal foreign CUDA array: device memory and its interface dict."""

    def __init__(self, driver, host, typestr="<f4", strides=None):
        self.driver, self.host = driver, host
        self.ptr = driver.upload(encoded(host, {"<f4": "f32", "<f2": "f16"}.get(typestr, "f32")))
        self.__cuda_array_interface__ = {"shape": host.shape, "typestr": typestr,
                                         "data": (self.ptr, False), "strides": strides,
                                         "version": 3}

    def read(self, dtype=np.float32):
        return self.driver.download(self.ptr, self.host.shape, dtype)


@pytest.fixture
def arrays(executing):
    made = []

    def make(host, **kw):
        made.append(DeviceArray(executing, np.asarray(host), **kw))
        return made[-1]
    yield make
    for a in made:
        executing.free(a.ptr)


@pytest.mark.parametrize("typestr,dtype,tol", [("<f4", np.float32, 1e-5), ("<f2", np.float16, 2e-3)])
def test_matmul_computes_into_out_with_bias(arrays, typestr, dtype, tol):
    rng = np.random.default_rng(0)
    kind = {"<f4": "f32", "<f2": "f16"}[typestr]
    a, b = (representable(rng.standard_normal(s), kind) for s in [(20, 24), (24, 36)])
    bias = rng.standard_normal(36).astype(np.float32)
    out = arrays(np.zeros((20, 36), np.float32), typestr=typestr)
    result = tesvan.matmul(arrays(a, typestr=typestr), arrays(b, typestr=typestr), out=out,
                           bias=arrays(bias), batch_invariant=True)
    tesvan.get_engine(0, batch_invariant=True).synchronize()
    assert result is out
    expected = a.astype(np.float64) @ b + bias
    np.testing.assert_allclose(out.read(dtype).astype(np.float64), expected, rtol=tol,
                               atol=tol * np.abs(expected).max())


def test_matmul_refuses_what_it_cannot_compute(arrays):
    a, b = arrays(np.ones((4, 8), np.float32)), arrays(np.ones((8, 3), np.float32))
    out = arrays(np.zeros((4, 3), np.float32))
    with pytest.raises(ValueError, match="do not multiply"):
        tesvan.matmul(a, a, out=out)
    with pytest.raises(TypeError, match="differ in dtype"):
        tesvan.matmul(a, arrays(np.ones((8, 3), np.float16), typestr="<f2"), out=out)
    with pytest.raises(ValueError, match="out must be a float32 array of shape"):
        tesvan.matmul(a, b, out=a)
    with pytest.raises(ValueError, match="dense row-major"):
        tesvan.matmul(a, arrays(np.ones((8, 3), np.float32), strides=(4, 32)), out=out)
    with pytest.raises(TypeError, match="unsupported typestr '<f8'"):
        tesvan.matmul(arrays(np.ones((4, 8)), typestr="<f8"), b, out=out)
    with pytest.raises(TypeError, match="neither __cuda_array_interface__ nor __dlpack__"):
        tesvan.matmul([[1.0]], b, out=out)
    # A DLPack producer on the host is refused for its device.
    with pytest.raises(ValueError, match="not in CUDA device memory"):
        tesvan.matmul(np.ones((4, 8), np.float32), b, out=out)


class DLPackArray:
    """A CUDA producer of legacy DLPack capsules (bfloat16, kDLBfloat = 4)."""

    def __init__(self, driver, values):
        m = importlib.import_module("tesvan.matmul")  # the module, not the function
        self.ptr = driver.upload(encoded(values, "bf16"))
        self.shape = (ctypes.c_int64 * 2)(*values.shape)
        self.deleted, self.streams = 0, []
        self._deleter = dict(m._DLManagedTensor._fields_)["deleter"](lambda _: self._delete())
        self.managed = m._DLManagedTensor(m._DLTensor(
            self.ptr, m._DLDevice(2, 0), 2, m._DLDataType(4, 16, 1), self.shape, None, 0),
            None, self._deleter)

    def _delete(self):
        self.deleted += 1

    def __dlpack_device__(self):
        return (2, 0)

    def __dlpack__(self, stream=None):
        self.streams.append(stream)
        new = ctypes.pythonapi.PyCapsule_New
        new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        return new(ctypes.addressof(self.managed), b"dltensor", None)


def test_matmul_consumes_dlpack_capsules(executing):
    rng = np.random.default_rng(1)
    a, b = (representable(rng.standard_normal(s), "bf16") for s in [(16, 24), (24, 8)])
    x, w, out = DLPackArray(executing, a), DLPackArray(executing, b), DLPackArray(executing, a[:, :8] * 0)
    try:
        tesvan.matmul(x, w, out=out)
        tesvan.get_engine(0).synchronize()
        got = executing.download_as(out.ptr, (16, 8), "bf16")
        expected = a.astype(np.float64) @ b
        np.testing.assert_allclose(got, expected, rtol=1e-2, atol=1e-2 * np.abs(expected).max())
        assert [(p.deleted, p.streams) for p in (x, w, out)] == [(1, [1])] * 3
    finally:
        for p in (x, w, out):
            executing.free(p.ptr)
