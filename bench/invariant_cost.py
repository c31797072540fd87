"""What the batch-invariant mode costs, on the simulated device.

For each configuration (f32; bf16 with and without tensor cores), each M of
the table and each mode, one forward call at K = N (4096) is made with
execution off: the launch log gives the kernels and their grids.  The
interpreter cannot execute 4096^3, so the per-block work is measured by
replaying each logged launch, with its own arguments and buffers, on a grid
of one block (block 0) with execution on; its thread-instruction count
times the launch's block count is the launch's estimate.  Block 0 is a full
tile wherever the shape fills the tile and every block loops over the same
K, so the estimate is exact up to edge blocks' masking.  The engines compile
the kernels into a fresh cache folder, so that the replay loads exactly
their PTX (a cold NVRTC compile for one target).

    PYTHONPATH=build/python LD_LIBRARY_PATH=build/simdev \\
        python3 bench/invariant_cost.py [--ms 1,8,32,128,1024,8192] [--kn 4096] [--json FILE]
"""

import argparse
import ctypes
import glob
import json
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "examples"))

import _tesvan  # noqa: E402
from cuda_driver import Driver  # noqa: E402

CONFIGS = [("f32", False), ("bf16", False), ("bf16", True)]
SMS = {"A100": 108, "H100": 132}
FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED = 8


class Replayer:
    """Launches logged kernels again from the engine's own PTX."""

    def __init__(self, drv, cache_dir):
        self.drv, self.lib = drv, drv.lib
        ptx = [p for p in glob.glob(os.path.join(cache_dir, "**", "tesvan-*.ptx"), recursive=True)]
        if len(ptx) != 1:
            raise RuntimeError(f"expected one cached PTX file in {cache_dir}, found {len(ptx)}")
        with open(ptx[0], "rb") as f:
            image = f.read() + b"\0"
        self.module = ctypes.c_void_p()
        drv._check(self.lib.cuModuleLoadData(ctypes.byref(self.module), image), "cuModuleLoadData")
        self.functions = {}

    def function(self, name, shared):
        if name not in self.functions:
            f = ctypes.c_void_p()
            self.drv._check(self.lib.cuModuleGetFunction(ctypes.byref(f), self.module,
                                                         name.encode()), "cuModuleGetFunction")
            self.functions[name] = f
        f = self.functions[name]
        if shared > 48 * 1024:
            self.drv._check(self.lib.cuFuncSetAttribute(f, FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED,
                                                        shared), "cuFuncSetAttribute")
        return f

    def one_block(self, launch):
        """Thread instructions of block 0 of a logged launch."""
        name = launch.kernel.decode()
        f = self.function(name, launch.dynamic_shared)
        values, params = [], (ctypes.c_void_p * max(launch.num_args, 1))()
        for i in range(launch.num_args):
            a = launch.args[i]
            v = ctypes.c_uint64(a.bits) if a.size == 8 else ctypes.c_uint32(a.bits & 0xFFFFFFFF)
            values.append(v)
            params[i] = ctypes.cast(ctypes.pointer(v), ctypes.c_void_p)
        self.drv.clear_launches()
        self.drv._check(self.lib.cuLaunchKernel(
            f, 1, 1, 1, launch.block[0], launch.block[1], launch.block[2],
            launch.dynamic_shared, None, params, None), "cuLaunchKernel " + name)
        self.drv._check(self.lib.cuCtxSynchronize(), "cuCtxSynchronize " + name)
        (entry,) = self.drv.launches()
        return entry.thread_instructions


def blocks(launch):
    return launch.grid[0] * launch.grid[1] * launch.grid[2]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--ms", default="1,8,32,128,1024,8192")
    parser.add_argument("--kn", type=int, default=4096, help="K = N of every call")
    parser.add_argument("--json")
    args = parser.parse_args()
    ms = [int(m) for m in args.ms.split(",")]
    K = N = args.kn

    cache = tempfile.mkdtemp(prefix="tesvan-cost-")
    os.environ["TESVAN_KERNEL_CACHE"] = cache
    drv = Driver()
    if not drv.simulated:
        raise SystemExit("needs the simulated device (its launch log and instruction counts)")
    engines = {False: _tesvan.Engine(0), True: _tesvan.Engine(0, batch_invariant=True)}
    replay = Replayer(drv, cache)
    m_max = max(ms)
    size = 4  # f32 buffers are large enough for either element type
    a, b, out, bias = (drv.alloc(n * size) for n in (m_max * K, K * N, m_max * N, N))
    per_block = {}  # (kernel, grid, args) -> instructions of block 0
    rows = []
    try:
        for dtype, tc in CONFIGS:
            for m in ms:
                for invariant, engine in engines.items():
                    drv.sim_config(execute=0)
                    drv.clear_launches()
                    engine.forward((out, a, b, bias), (m, K, N), dtype, 0, tensor_cores=tc)
                    engine.synchronize()
                    logged = drv.launches()
                    drv.sim_config(execute=1)
                    launches = []
                    for l in logged:
                        key = (l.kernel, tuple(l.grid), tuple(l.args[i].bits
                                                              for i in range(l.num_args)))
                        if key not in per_block:
                            t0 = time.perf_counter()
                            per_block[key] = replay.one_block(l)
                            print(f"  {l.kernel.decode()}: {per_block[key]} per block "
                                  f"({time.perf_counter() - t0:.1f} s)", file=sys.stderr)
                        launches.append(dict(kernel=l.kernel.decode(), blocks=blocks(l),
                                             threads=l.block[0] * l.block[1] * l.block[2],
                                             per_block=per_block[key]))
                    rows.append(dict(dtype=dtype, tensor_cores=tc, m=m, invariant=invariant,
                                     launches=launches,
                                     instructions=sum(x["blocks"] * x["per_block"]
                                                      for x in launches)))
                    print(format_row(rows[-1]))
    finally:
        for p in (a, b, out, bias):
            drv.free(p)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)
    print()
    print(markdown(rows))


def format_row(r):
    kernels = " + ".join(f"{x['kernel']}[{x['blocks']}]" for x in r["launches"])
    return (f"{r['dtype']:>4} tc={int(r['tensor_cores'])} M={r['m']:>5} "
            f"{'invariant' if r['invariant'] else 'default':>9}: {kernels}, "
            f"{r['instructions']:.3e} thread instructions")


def markdown(rows):
    """The table of bench/README.md: per configuration and M, both modes."""
    lines = ["| dtype | tc | M | mode | kernels [blocks] | main grid / SMs: A100, H100 | "
             "thread instructions | invariant / default |",
             "|---|---|---|---|---|---|---|---|"]
    default = {(r["dtype"], r["tensor_cores"], r["m"]): r for r in rows if not r["invariant"]}
    for r in rows:
        key = (r["dtype"], r["tensor_cores"], r["m"])
        kernels = " + ".join(f"`{x['kernel'].removeprefix('tesvan_')}` [{x['blocks']}]"
                             for x in r["launches"])
        # The launch that does most of the work (not a cast or a reduce).
        grid = max(r["launches"], key=lambda x: x["blocks"] * x["per_block"])["blocks"]
        waves = ", ".join(f"{grid / sms:.2f}" for sms in SMS.values())
        ratio = r["instructions"] / default[key]["instructions"] if r["invariant"] else 1.0
        lines.append(f"| {r['dtype']} | {'yes' if r['tensor_cores'] else 'no'} | {r['m']} | "
                     f"{'invariant' if r['invariant'] else 'default'} | {kernels} | {waves} | "
                     f"{r['instructions']:.3g} | {ratio:.2f} |")
    return "\n".join(lines)


if __name__ == "__main__":
    main()
