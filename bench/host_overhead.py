#!/usr/bin/env python3
"""Host overhead per call: forward, backward_dx and backward_dw through
Python for one bucket of each tier, with kernel execution switched off on
the simulated device, beside the bare driver calls the same call makes
(context check, event records and stream waits, the logged launches)
replayed from C++.  The difference is the engine's own share: argument
conversion, lock, routing, dispatch and launch packing.

    bench/run overhead [--calls N] [--rounds R] [--out DIR]

Needs the simulated device (it alone can switch execution off).  Writes
DIR/host_overhead.json.  Exits 1 when the replay's driver calls differ
from the engine's (the comparison would then be void).
"""

import argparse
import ctypes
import json
import os
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "examples"))

from cuda_driver import Driver, TvnSimLaunch  # noqa: E402

# (label, dtype, tensor_cores, (M, K, N)): the shape picks one bucket per
# operation; the launch log shows which kernels that is.
TIERS = (
    ("f32", "float32", False, (4096, 4096, 4096)),
    ("bf16 typed", "bfloat16", False, (4096, 4096, 4096)),
    ("bf16 tensor cores", "bfloat16", True, (4096, 4096, 4096)),
    ("bf16 upcast fallback", "bfloat16", False, (256, 256, 256)),
)
OPS = ("forward", "backward_dx", "backward_dw")
DRIVER_CALLS = ("cuCtxGetCurrent", "cuCtxSetCurrent", "cuEventRecord", "cuStreamWaitEvent",
                "cuLaunchKernel")
ELEMENT_BYTES = {"float32": 4, "bfloat16": 2}


def per_call_counts(drv, fn, calls):
    before = {name: drv.call_count(name) for name in DRIVER_CALLS}
    fn(calls)
    return {name: (drv.call_count(name) - before[name]) / calls for name in DRIVER_CALLS}


def timed_us(drv, fns, calls, rounds):
    """Microseconds per call of each function, best and median over rounds.
    The functions take turns within each round so that they share whatever
    else the machine is doing; the launch log is emptied outside the timing."""
    samples = [[] for _ in fns]
    for _ in range(rounds):
        for fn, out in zip(fns, samples):
            drv.clear_launches()
            t0 = time.perf_counter()
            fn(calls)
            out.append((time.perf_counter() - t0) * 1e6 / calls)
    drv.clear_launches()
    return [(min(s), statistics.median(s)) for s in samples]


def engine_loop(engine, op, ptrs, dims, dtype, stream, tc):
    method = getattr(engine, op)

    def run(calls):
        for _ in range(calls):
            method(ptrs, dims, dtype, stream, tc)
    return run


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--calls", type=int, default=20000, help="calls per timed round")
    p.add_argument("--rounds", type=int, default=9)
    p.add_argument("--out", help="output folder (default: <build>/bench-out)")
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    args = p.parse_args(argv)
    sys.path.insert(0, os.path.join(args.build, "python"))
    args.out = args.out or os.path.join(args.build, "bench-out")
    import _tesvan

    drv = Driver()
    if not drv.simulated:
        print("host_overhead needs the simulated device (kernel execution switched off)")
        return 1 if os.environ.get("TESVAN_TEST_EXPECT_SIM") else 77  # 77: skipped
    replay = ctypes.CDLL(os.path.join(args.build, "bench", "libtesvan_bench_replay.so"))
    replay.tvnb_replay.restype = ctypes.c_double
    replay.tvnb_replay.argtypes = (ctypes.POINTER(TvnSimLaunch), ctypes.c_int, ctypes.c_uint64,
                                   ctypes.c_int)
    old = drv.sim_config(execute=0)
    engine = _tesvan.Engine(0)
    if replay.tvnb_replay_open() != 0:
        print("cannot load the engine's module for the replay")
        return 1
    stream = drv.stream_create()  # the caller's stream: events order it against the engine's
    rows = []
    try:
        for label, dtype, tc, (m, k, n) in TIERS:
            e = ELEMENT_BYTES[dtype]
            a, b, dy, out, dx = (drv.alloc(r * c * e) for r, c in ((m, k), (k, n), (m, n), (m, n), (m, k)))
            dw = drv.alloc(k * n * 4)
            operands = {"forward": (out, a, b, None), "backward_dx": (dx, dy, b),
                        "backward_dw": (dw, dy, a)}
            for op in OPS:
                call = engine_loop(engine, op, operands[op], (m, k, n), dtype, stream, tc)
                call(50)  # first calls create scratch; steady state after
                drv.clear_launches()
                call(1)
                launches = drv.launches()
                logged = (TvnSimLaunch * len(launches))(*launches)

                def bare(calls, logged=logged, count=len(launches)):
                    if replay.tvnb_replay(logged, count, stream, calls) < 0:
                        raise RuntimeError("driver replay failed")

                (engine_us, engine_median), (bare_us, bare_median) = timed_us(
                    drv, (call, bare), args.calls, args.rounds)
                rows.append({
                    "tier": label, "op": op, "M": m, "K": k, "N": n,
                    "kernels": [entry.kernel.decode() for entry in launches],
                    "engine_us": engine_us, "driver_us": bare_us, "own_us": engine_us - bare_us,
                    "engine_median_us": engine_median, "driver_median_us": bare_median,
                    "engine_driver_calls": per_call_counts(drv, call, 200),
                    "replay_driver_calls": per_call_counts(drv, bare, 200),
                })
                drv.clear_launches()
            for ptr in (a, b, dy, out, dx, dw):
                drv.free(ptr)
    finally:
        replay.tvnb_replay_close()
        drv.sim_config(**old)

    print(f"\nhost cost per call, microseconds (simulated device, execution off, best of "
          f"{args.rounds} rounds of {args.calls} calls)")
    print(f"{'tier':<22}{'op':<13}{'launches':>8}{'engine':>9}{'driver':>9}{'own':>9}{'own %':>7}  kernels")
    mismatched = []
    for r in rows:
        share = 100 * r["own_us"] / r["engine_us"] if r["engine_us"] else 0
        print(f"{r['tier']:<22}{r['op']:<13}{len(r['kernels']):>8}{r['engine_us']:>9.2f}"
              f"{r['driver_us']:>9.2f}{r['own_us']:>9.2f}{share:>6.0f}%  {' '.join(r['kernels'])}")
        if r["engine_driver_calls"] != r["replay_driver_calls"]:
            mismatched.append(r)
    for r in mismatched:
        print(f"MISMATCH: {r['tier']} {r['op']}: the engine made {r['engine_driver_calls']} driver "
              f"calls per call, the replay {r['replay_driver_calls']}; the driver column does not "
              f"stand for this call")
    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, "host_overhead.json")
    with open(path, "w") as f:
        json.dump({"device": drv.device_name(), "simulated": True, "calls": args.calls,
                   "rounds": args.rounds, "rows": rows}, f, indent=1)
    print(f"written: {path}")
    del engine
    drv.release()
    return 1 if mismatched else 0


if __name__ == "__main__":
    raise SystemExit(main())
