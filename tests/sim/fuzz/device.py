"""NVRTC and the CUDA driver through ctypes: compiles a batch of fuzz kernels
to PTX and runs each as one block.  With the simulated libcuda.so.1 on the
library path this runs on the simulator; with NVIDIA's, on the GPU."""
from __future__ import annotations

import ctypes
import os
from pathlib import Path

from programs import THREADS



def _nvrtc() -> ctypes.CDLL:
    for root in (os.environ.get("CUDA_HOME"), os.environ.get("CUDA_PATH"), "/usr/local/cuda"):
        if root:
            for name in ("libnvrtc.so", "libnvrtc.so.13", "libnvrtc.so.12"):
                p = Path(root) / "lib64" / name
                if p.exists():
                    return ctypes.CDLL(str(p))
    return ctypes.CDLL("libnvrtc.so")


class DeviceError(RuntimeError):
    pass


def compile_ptx(source: str, arch: str) -> bytes:
    lib = _nvrtc()
    prog = ctypes.c_void_p()
    if lib.nvrtcCreateProgram(ctypes.byref(prog), source.encode(), b"fuzz.cu", 0, None, None):
        raise DeviceError("nvrtcCreateProgram failed")
    opts = [f"--gpu-architecture={arch}".encode(), b"--fmad=false", b"-std=c++17"]
    arr = (ctypes.c_char_p * len(opts))(*opts)
    rc = lib.nvrtcCompileProgram(prog, len(opts), arr)
    if rc:
        size = ctypes.c_size_t()
        lib.nvrtcGetProgramLogSize(prog, ctypes.byref(size))
        log = ctypes.create_string_buffer(size.value)
        lib.nvrtcGetProgramLog(prog, log)
        raise DeviceError("NVRTC: " + log.value.decode(errors="replace")[:4000])
    size = ctypes.c_size_t()
    lib.nvrtcGetPTXSize(prog, ctypes.byref(size))
    ptx = ctypes.create_string_buffer(size.value)
    lib.nvrtcGetPTX(prog, ptx)
    lib.nvrtcDestroyProgram(ctypes.byref(prog))
    return ptx.raw


class _Arg(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int), ("size", ctypes.c_int), ("bits", ctypes.c_uint64)]


class _Launch(ctypes.Structure):  # TvnSimLaunch of sim/include/tvnsim.h
    _fields_ = [("kernel", ctypes.c_char * 128), ("grid", ctypes.c_uint * 3), ("block", ctypes.c_uint * 3),
                ("dynamic_shared", ctypes.c_uint), ("stream", ctypes.c_uint64), ("num_args", ctypes.c_int),
                ("args", _Arg * 32), ("sequence", ctypes.c_uint64), ("executed", ctypes.c_int),
                ("thread_instructions", ctypes.c_uint64)]


class Device:
    """One context on device 0; `simulated` when the library is the simulator."""

    def __init__(self):
        self.cu = ctypes.CDLL("libcuda.so.1")
        self.simulated = hasattr(self.cu, "tvnsim_reset")
        self.check(self.cu.cuInit(0), "cuInit")
        dev = ctypes.c_int()
        self.check(self.cu.cuDeviceGet(ctypes.byref(dev), 0), "cuDeviceGet")
        self.ctx = ctypes.c_void_p()
        self.check(self.cu.cuDevicePrimaryCtxRetain(ctypes.byref(self.ctx), dev), "cuDevicePrimaryCtxRetain")
        self.check(self.cu.cuCtxSetCurrent(self.ctx), "cuCtxSetCurrent")
        major, minor = ctypes.c_int(), ctypes.c_int()
        self.check(self.cu.cuDeviceGetAttribute(ctypes.byref(major), 75, dev), "cuDeviceGetAttribute")
        self.check(self.cu.cuDeviceGetAttribute(ctypes.byref(minor), 76, dev), "cuDeviceGetAttribute")
        self.cc = major.value * 10 + minor.value
        self.thread_instructions = 0

    def check(self, rc: int, what: str):
        if rc:
            detail = ""
            if self.simulated:
                self.cu.tvnsim_last_error_message.restype = ctypes.c_char_p
                detail = (self.cu.tvnsim_last_error_message() or b"").decode(errors="replace")
            raise DeviceError(f"{what} returned {rc} {detail}".strip())

    def run(self, ptx: bytes, names: list[str], inputs: list[bytes], out_size: int) -> list[bytes]:
        """Runs kernel names[i] on inputs[i] as one block of THREADS threads."""
        module = ctypes.c_void_p()
        self.check(self.cu.cuModuleLoadData(ctypes.byref(module), ptx), "cuModuleLoadData")
        din, dout = ctypes.c_uint64(), ctypes.c_uint64()
        self.check(self.cu.cuMemAlloc_v2(ctypes.byref(din), ctypes.c_size_t(len(inputs[0]))), "cuMemAlloc")
        self.check(self.cu.cuMemAlloc_v2(ctypes.byref(dout), ctypes.c_size_t(out_size)), "cuMemAlloc")
        results = []
        try:
            for name, data in zip(names, inputs):
                fn = ctypes.c_void_p()
                self.check(self.cu.cuModuleGetFunction(ctypes.byref(fn), module, name.encode()), "cuModuleGetFunction")
                self.check(self.cu.cuMemcpyHtoD_v2(din, data, ctypes.c_size_t(len(data))), "cuMemcpyHtoD")
                args = (ctypes.c_void_p * 2)(ctypes.addressof(din), ctypes.addressof(dout))
                before = self.launches()
                self.check(self.cu.cuLaunchKernel(fn, 1, 1, 1, THREADS, 1, 1, 0, None, args, None), "cuLaunchKernel")
                self.check(self.cu.cuCtxSynchronize(), f"{name}: cuCtxSynchronize")
                self.count(before)
                buf = ctypes.create_string_buffer(out_size)
                self.check(self.cu.cuMemcpyDtoH_v2(buf, dout, ctypes.c_size_t(out_size)), "cuMemcpyDtoH")
                results.append(buf.raw)
        finally:
            self.cu.cuMemFree_v2(din)
            self.cu.cuMemFree_v2(dout)
            self.cu.cuModuleUnload(module)
        return results

    # The simulator's launch log counts executed thread-instructions.
    def launches(self) -> int:
        if not self.simulated:
            return 0
        self.cu.tvnsim_launch_count.restype = ctypes.c_size_t
        return self.cu.tvnsim_launch_count()

    def count(self, before: int):
        if not self.simulated:
            return
        launch = _Launch()
        for i in range(before, self.cu.tvnsim_launch_count()):
            if self.cu.tvnsim_launch_get(ctypes.c_size_t(i), ctypes.byref(launch)) == 0:
                self.thread_instructions += launch.thread_instructions
        self.cu.tvnsim_launch_clear()

