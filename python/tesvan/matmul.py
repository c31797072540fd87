"""`tesvan.matmul` for any framework's CUDA arrays: objects with `__dlpack__`
or `__cuda_array_interface__`, no torch needed when `out` is given."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Any

from ._engines import get_engine

_KDL_CUDA = 2
_KDL_FLOAT, _KDL_BFLOAT = 2, 4
_DLPACK_DTYPES = {(_KDL_FLOAT, 32): "float32", (_KDL_FLOAT, 16): "float16",
                  (_KDL_BFLOAT, 16): "bfloat16"}
_TYPESTRS = {"<f4": "float32", "<f2": "float16"}
_SIZES = {"float32": 4, "float16": 2, "bfloat16": 2}


class _DLDevice(ctypes.Structure):
    _fields_ = [("device_type", ctypes.c_int32), ("device_id", ctypes.c_int32)]


class _DLDataType(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint8), ("bits", ctypes.c_uint8), ("lanes", ctypes.c_uint16)]


class _DLTensor(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("device", _DLDevice), ("ndim", ctypes.c_int32),
                ("dtype", _DLDataType), ("shape", ctypes.POINTER(ctypes.c_int64)),
                ("strides", ctypes.POINTER(ctypes.c_int64)), ("byte_offset", ctypes.c_uint64)]


class _DLManagedTensor(ctypes.Structure):
    pass


_DLManagedTensor._fields_ = [
    ("dl_tensor", _DLTensor), ("manager_ctx", ctypes.c_void_p),
    ("deleter", ctypes.CFUNCTYPE(None, ctypes.POINTER(_DLManagedTensor)))]

_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype, _capsule_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
_capsule_rename = ctypes.pythonapi.PyCapsule_SetName
_capsule_rename.argtypes = [ctypes.py_object, ctypes.c_char_p]


@dataclass
class _Array:
    """A 2-D row-major device array: where it is and what it holds."""

    address: int
    shape: tuple[int, ...]
    dtype: str
    device: int


def _dense_shape(shape: tuple[int, ...], strides: tuple[int, ...] | None, itemsize: int,
                 name: str) -> tuple[int, ...]:
    if strides is not None:
        expected, dense = itemsize, []
        for size in reversed(shape):
            dense.append(expected)
            expected *= size
        if tuple(s for s, n in zip(strides, shape) if n > 1) != tuple(
                s for s, n in zip(reversed(dense), shape) if n > 1):
            raise ValueError(f"tesvan.matmul: {name} must be a dense row-major array")
    return shape


def _from_dlpack(obj: Any, stream: int, name: str) -> _Array:
    if obj.__dlpack_device__()[0] != _KDL_CUDA:
        raise ValueError(f"tesvan.matmul: {name} is not in CUDA device memory")
    # DLPack's stream argument: 1 is the legacy default stream, 0 is not allowed.
    capsule = obj.__dlpack__(stream=stream or 1)
    managed = _DLManagedTensor.from_address(_capsule_pointer(capsule, b"dltensor"))
    try:
        t = managed.dl_tensor
        dtype = _DLPACK_DTYPES.get((t.dtype.code, t.dtype.bits)) if t.dtype.lanes == 1 else None
        if dtype is None:
            raise TypeError(f"tesvan.matmul: {name} has an unsupported dtype "
                            "(expected float32, bfloat16 or float16)")
        shape = tuple(t.shape[i] for i in range(t.ndim))
        strides = None if not t.strides else tuple(t.strides[i] * _SIZES[dtype]
                                                    for i in range(t.ndim))
        return _Array((t.data or 0) + t.byte_offset,
                      _dense_shape(shape, strides, _SIZES[dtype], name), dtype, t.device.device_id)
    finally:
        # The producer keeps the memory alive through `obj`, which the caller holds.
        _capsule_rename(capsule, b"used_dltensor")
        if managed.deleter:
            managed.deleter(ctypes.pointer(managed))


def _from_cuda_array_interface(obj: Any, name: str) -> _Array:
    face = obj.__cuda_array_interface__
    dtype = _TYPESTRS.get(face["typestr"])
    if dtype is None:
        raise TypeError(f"tesvan.matmul: {name} has an unsupported typestr {face['typestr']!r} "
                        "(expected float32 or float16; bfloat16 through DLPack)")
    shape = tuple(face["shape"])
    strides = face.get("strides")
    device = getattr(getattr(obj, "device", None), "id", 0)
    return _Array(face["data"][0], _dense_shape(shape, strides and tuple(strides),
                                                 _SIZES[dtype], name), dtype, int(device))


def _array(obj: Any, stream: int, name: str) -> _Array:
    # DLPack first: it names bfloat16 and the device, and torch's
    # __cuda_array_interface__ raises for bfloat16 instead of describing it.
    if hasattr(type(obj), "__dlpack__"):
        return _from_dlpack(obj, stream, name)
    if hasattr(type(obj), "__cuda_array_interface__") or hasattr(obj, "__cuda_array_interface__"):
        return _from_cuda_array_interface(obj, name)
    raise TypeError(f"tesvan.matmul: {name} has neither __cuda_array_interface__ nor __dlpack__")


def matmul(a: Any, b: Any, *, out: Any = None, bias: Any = None, stream: int | None = None,
           tensor_cores: bool = False, batch_invariant: bool = False) -> Any:
    """out[M, N] = a[M, K] @ b[K, N] (+ bias[N], float32) on the device.

    a, b and out are dense row-major CUDA arrays of one dtype (float32,
    bfloat16, float16).  The work is ordered on `stream` (a CUstream handle;
    None: the legacy default stream).  Without `out` a torch tensor is
    allocated and returned.
    """
    handle = stream or 0
    x, w = _array(a, handle, "a"), _array(b, handle, "b")
    if len(x.shape) != 2 or len(w.shape) != 2 or x.shape[1] != w.shape[0]:
        raise ValueError(f"tesvan.matmul: shapes {x.shape} and {w.shape} do not multiply")
    if x.dtype != w.dtype or x.device != w.device:
        raise TypeError("tesvan.matmul: a and b differ in dtype or device")
    (m, k), n = x.shape, w.shape[1]
    if out is None:
        import torch

        out = torch.empty((m, n), dtype=getattr(torch, x.dtype), device=f"cuda:{x.device}")
    y = _array(out, handle, "out")
    if y.shape != (m, n) or y.dtype != x.dtype or y.device != x.device:
        raise ValueError(f"tesvan.matmul: out must be a {x.dtype} array of shape ({m}, {n}) "
                         f"on device {x.device}")
    bias_address = None
    if bias is not None:
        c = _array(bias, handle, "bias")
        if c.shape != (n,) or c.dtype != "float32":
            raise ValueError(f"tesvan.matmul: bias must be a float32 array of shape ({n},)")
        bias_address = c.address
    if m and n:
        if k == 0:
            raise ValueError("tesvan.matmul: K = 0 is not supported")
        get_engine(x.device, batch_invariant=batch_invariant).forward(
            (y.address, x.address, w.address, bias_address), (m, k, n), x.dtype, handle,
            tensor_cores=tensor_cores)
    return out
