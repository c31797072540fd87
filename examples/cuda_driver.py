"""Device memory and streams for callers of _tesvan, through ctypes on the
same libcuda.so.1 the engine loads (a real driver, or the simulated device).

Only what the demo and the tests need: a context made current, allocations
with host copies, streams, and -- on the simulated device -- its control
functions (launch log, call counts, fault injection, resource accounting).
"""

import ctypes
import os

import numpy as np

_u64 = ctypes.c_uint64


class CudaError(RuntimeError):
    pass


# ---- host values in the engine's element types ("f32", "bf16", "f16") -----------


def bf16_bits(x):
    """float32 -> bfloat16 bit patterns, rounded to nearest even."""
    bits = np.ascontiguousarray(x, dtype=np.float32).view(np.uint32)
    return ((bits + 0x7FFF + ((bits >> 16) & 1)) >> 16).astype(np.uint16)


def bf16_values(bits):
    return (np.asarray(bits).astype(np.uint32) << 16).view(np.float32)


def representable(x, dtype):
    """The nearest values of the element type, as float32."""
    if dtype == "bf16":
        return bf16_values(bf16_bits(x))
    if dtype == "f16":
        return np.asarray(x).astype(np.float16).astype(np.float32)
    return np.asarray(x, dtype=np.float32)


def encoded(x, dtype):
    """The array as the device stores the element type."""
    if dtype == "bf16":
        return bf16_bits(x)
    if dtype == "f16":
        return np.asarray(x).astype(np.float16)
    return np.asarray(x, dtype=np.float32)


def decoded(raw, dtype):
    """Device data of the element type as float32."""
    if dtype == "bf16":
        return bf16_values(raw)
    return raw.astype(np.float32)


STORAGE = {"f32": np.float32, "bf16": np.uint16, "f16": np.float16}


class TvnSimLaunch(ctypes.Structure):
    """One entry of the simulated device's launch log (see sim/include/tvnsim.h)."""

    class Arg(ctypes.Structure):
        _fields_ = [("kind", ctypes.c_int), ("size", ctypes.c_int), ("bits", _u64)]

    _fields_ = [
        ("kernel", ctypes.c_char * 128),
        ("grid", ctypes.c_uint * 3),
        ("block", ctypes.c_uint * 3),
        ("dynamic_shared", ctypes.c_uint),
        ("stream", _u64),
        ("num_args", ctypes.c_int),
        ("args", Arg * 32),
        ("sequence", _u64),
        ("executed", ctypes.c_int),
        ("thread_instructions", _u64),
    ]


class TvnSimConfig(ctypes.Structure):
    _fields_ = [
        ("cc_major", ctypes.c_int), ("cc_minor", ctypes.c_int), ("memory_pools", ctypes.c_int),
        ("memory_bytes", _u64), ("sm_count", ctypes.c_int), ("max_shared_per_block", ctypes.c_int),
        ("max_shared_per_block_optin", ctypes.c_int), ("execute", ctypes.c_int),
        ("racecheck", ctypes.c_int), ("fault_stderr", ctypes.c_int), ("host_threads", ctypes.c_int),
        ("driver_version", ctypes.c_int),
    ]


class TvnSimResources(ctypes.Structure):
    _fields_ = [(name, _u64) for name in (
        "allocations", "allocated_bytes", "streams", "events", "modules", "primary_ctx_refs")]


class Driver:
    """The driver library with device 0's primary context current."""

    def __init__(self, device=0):
        self.lib = ctypes.CDLL("libcuda.so.1")
        self._check(self.lib.cuInit(0), "cuInit")
        dev = ctypes.c_int()
        self._check(self.lib.cuDeviceGet(ctypes.byref(dev), device), "cuDeviceGet")
        self.device = dev.value
        self.ctx = ctypes.c_void_p()
        self._check(self.lib.cuDevicePrimaryCtxRetain(ctypes.byref(self.ctx), dev),
                    "cuDevicePrimaryCtxRetain")
        self.make_current()
        self.simulated = hasattr(self.lib, "tvnsim_reset")

    def _check(self, result, what):
        if result != 0:
            raise CudaError(f"{what} failed with CUresult {result}")

    def make_current(self):
        self._check(self.lib.cuCtxSetCurrent(self.ctx), "cuCtxSetCurrent")

    def release(self):
        self._check(self.lib.cuDevicePrimaryCtxRelease_v2(self.device), "cuDevicePrimaryCtxRelease")

    def device_name(self):
        buf = ctypes.create_string_buffer(256)
        self._check(self.lib.cuDeviceGetName(buf, 256, self.device), "cuDeviceGetName")
        return buf.value.decode()

    # ---- memory -------------------------------------------------------------

    def alloc(self, nbytes):
        ptr = _u64()
        self._check(self.lib.cuMemAlloc_v2(ctypes.byref(ptr), ctypes.c_size_t(max(nbytes, 1))),
                    "cuMemAlloc")
        return ptr.value

    def free(self, ptr):
        self._check(self.lib.cuMemFree_v2(_u64(ptr)), "cuMemFree")

    def upload(self, array):
        """A fresh device copy of a NumPy array; returns its address."""
        ptr = self.alloc(np.asarray(array).nbytes)
        self.upload_into(ptr, array)
        return ptr

    def upload_into(self, ptr, array):
        data = np.ascontiguousarray(array)
        self._check(self.lib.cuMemcpyHtoD_v2(_u64(ptr), data.ctypes.data_as(ctypes.c_void_p),
                                              ctypes.c_size_t(data.nbytes)), "cuMemcpyHtoD")

    def download(self, ptr, shape, dtype):
        out = np.empty(shape, dtype=dtype)
        self._check(self.lib.cuMemcpyDtoH_v2(out.ctypes.data_as(ctypes.c_void_p), _u64(ptr),
                                              ctypes.c_size_t(out.nbytes)), "cuMemcpyDtoH")
        return out

    def upload_as(self, x, dtype):
        """A device copy of x in element type dtype ("f32", "bf16", "f16")."""
        return self.upload(encoded(x, dtype))

    def download_as(self, ptr, shape, dtype):
        """Device data of element type dtype as float32."""
        return decoded(self.download(ptr, shape, STORAGE[dtype]), dtype)

    # ---- streams --------------------------------------------------------------

    def stream_create(self):
        s = ctypes.c_void_p()
        self._check(self.lib.cuStreamCreate(ctypes.byref(s), 0), "cuStreamCreate")
        return s.value or 0

    def stream_destroy(self, stream):
        self._check(self.lib.cuStreamDestroy_v2(ctypes.c_void_p(stream)), "cuStreamDestroy")

    def stream_synchronize(self, stream):
        self._check(self.lib.cuStreamSynchronize(ctypes.c_void_p(stream)), "cuStreamSynchronize")

    # ---- the simulated device's control API ------------------------------------

    def sim_config(self, **changes):
        """Applies `changes` (field names of TvnSimConfig); returns the old values."""
        cfg = TvnSimConfig()
        self.lib.tvnsim_get_config(ctypes.byref(cfg))
        old = {name: getattr(cfg, name) for name in changes}
        for name, value in changes.items():
            setattr(cfg, name, value)
        self.lib.tvnsim_set_config(ctypes.byref(cfg))
        return old

    def launches(self):
        self.lib.tvnsim_launch_count.restype = ctypes.c_size_t
        out = []
        for i in range(self.lib.tvnsim_launch_count()):
            entry = TvnSimLaunch()
            if self.lib.tvnsim_launch_get(ctypes.c_size_t(i), ctypes.byref(entry)) == 0:
                out.append(entry)
        return out

    def launched_kernels(self):
        return [entry.kernel.decode() for entry in self.launches()]

    def clear_launches(self):
        self.lib.tvnsim_launch_clear()

    def inject(self, function, nth, result):
        self.lib.tvnsim_inject(function.encode(), ctypes.c_uint(nth), ctypes.c_int(result))

    def clear_injections(self):
        self.lib.tvnsim_clear_injections()

    def call_count(self, function):
        self.lib.tvnsim_call_count.restype = _u64
        return self.lib.tvnsim_call_count(function.encode())

    def resources(self):
        """Live objects once all queued work (stream-ordered frees included) has run."""
        self.lib.tvnsim_drain()
        r = TvnSimResources()
        self.lib.tvnsim_resources(ctypes.byref(r))
        return {name: getattr(r, name) for name, _ in TvnSimResources._fields_}
