"""Where one engine call's operands live: CUDA tensors in place, or CPU
tensors staged through the simulated device.

torch's CUDA backend cannot run on the simulated driver, so when the process's
libcuda.so.1 is the simulator the ops also take CPU tensors: each operand is
copied into simulated device memory, the engine runs as it would on a GPU, and
the outputs are copied back when the call finishes.  Both kinds of staging give
the router a device address per tensor and a stream handle; nothing else
differs between the two paths.
"""

from __future__ import annotations

import ctypes
import functools
from typing import Protocol

import torch
from _tesvan import Engine

_u64 = ctypes.c_uint64


class Staging(Protocol):
    stream: int

    def address(self, t: torch.Tensor, *, writeback: bool = False) -> int:
        """Device address of dense tensor `t`; with `writeback` the engine's
        writes there reach `t` once the call finishes."""
        ...

    def finish(self, engine: Engine) -> None:
        """After the engine calls: makes written outputs visible in their tensors."""
        ...

    def release(self, engine: Engine, finished: bool) -> None:
        """Frees what staging took, whether or not the call succeeded."""
        ...


class CudaStaging:
    """CUDA tensors are used in place on the current stream of their device."""

    def __init__(self, device: torch.device) -> None:
        self.stream = torch.cuda.current_stream(device).cuda_stream

    def address(self, t: torch.Tensor, *, writeback: bool = False) -> int:
        return t.data_ptr()

    def finish(self, engine: Engine) -> None:
        pass

    def release(self, engine: Engine, finished: bool) -> None:
        pass


class _Driver:
    """The few driver calls that staging needs, on the process's libcuda.so.1."""

    def __init__(self) -> None:
        self.lib = lib = ctypes.CDLL("libcuda.so.1")
        self.simulated = hasattr(lib, "tvnsim_reset")
        if not self.simulated:
            return
        device, self.ctx = ctypes.c_int(), ctypes.c_void_p()
        self.check(lib.cuInit(0), "cuInit")
        self.check(lib.cuDeviceGet(ctypes.byref(device), 0), "cuDeviceGet")
        self.check(lib.cuDevicePrimaryCtxRetain(ctypes.byref(self.ctx), device),
                   "cuDevicePrimaryCtxRetain")

    @staticmethod
    def check(result: int, what: str) -> None:
        if result != 0:
            raise RuntimeError(f"tesvan: {what} failed on the simulated device (CUresult {result})")


@functools.cache
def _driver() -> _Driver | None:
    try:
        return _Driver()
    except OSError:
        return None


def simulated() -> bool:
    """Whether the process's CUDA driver is the simulated device."""
    d = _driver()
    return d is not None and d.simulated


# Staged copies keep the host address's offset within this many bytes, so the
# engine sees the alignment the tensor really has (and the router's alignment
# handling is exercised on the simulator exactly as on a GPU).
_ALIGN_WINDOW = 256


class SimulatedStaging:
    """CPU tensors copied through the simulated device's memory."""

    stream = 0

    def __init__(self) -> None:
        d = _driver()
        assert d is not None and d.simulated
        self._d = d
        d.check(d.lib.cuCtxSetCurrent(d.ctx), "cuCtxSetCurrent")  # per thread (autograd's too)
        self._buffers: list[int] = []
        self._writeback: list[tuple[torch.Tensor, int]] = []

    def address(self, t: torch.Tensor, *, writeback: bool = False) -> int:
        nbytes = t.numel() * t.element_size()
        base = _u64()
        lib = self._d.lib
        self._d.check(lib.cuMemAlloc_v2(ctypes.byref(base), ctypes.c_size_t(nbytes + _ALIGN_WINDOW)),
                      "cuMemAlloc")
        self._buffers.append(base.value)
        ptr = base.value + t.data_ptr() % _ALIGN_WINDOW
        if nbytes:
            self._d.check(lib.cuMemcpyHtoD_v2(_u64(ptr), ctypes.c_void_p(t.data_ptr()),
                                              ctypes.c_size_t(nbytes)), "cuMemcpyHtoD")
        if writeback:
            self._writeback.append((t, ptr))
        return ptr

    def finish(self, engine: Engine) -> None:
        engine.synchronize()
        for t, ptr in self._writeback:
            self._d.check(self._d.lib.cuMemcpyDtoH_v2(
                ctypes.c_void_p(t.data_ptr()), _u64(ptr),
                ctypes.c_size_t(t.numel() * t.element_size())), "cuMemcpyDtoH")

    def release(self, engine: Engine, finished: bool) -> None:
        if not finished:  # a failed call may have left kernels queued on these buffers
            try:
                engine.synchronize()
            except RuntimeError:
                pass
        for ptr in self._buffers:
            self._d.lib.cuMemFree_v2(_u64(ptr))
        self._buffers.clear()


def staging_for(device: torch.device) -> Staging:
    if device.type == "cuda":
        return CudaStaging(device)
    if device.type == "cpu" and simulated():
        return SimulatedStaging()
    raise TypeError(f"tesvan: tensors on {device} are not supported (expected CUDA tensors"
                    + ("" if device.type != "cpu" else
                       "; CPU tensors only when the CUDA driver is the simulated device") + ")")


def engine_device(device: torch.device) -> int:
    """The CUDA ordinal that serves tensors on `device` (the simulator's 0 for CPU)."""
    if device.type == "cuda":
        return device.index if device.index is not None else torch.cuda.current_device()
    return 0
