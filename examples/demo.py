"""tesvan demo: the three products of one MLP layer in f32 and bf16 (with and
without tensor cores), checked against NumPy, run twice to show identical
bits, and run at two batch sizes to show that a row's bits do not depend on
the batch it is computed in; then one row at batch sizes 1, 7, 64 and 1000
with and without the batch-invariant mode.

Runs on the GPU when the driver is NVIDIA's, else on the simulated device
(scripts/demo chooses by what libcuda.so.1 turns out to be).
"""

import time

import numpy as np

import _tesvan
from cuda_driver import Driver, representable

BATCH, IN, OUT = 256, 512, 256  # x[BATCH, IN] · w[IN, OUT] + bias[OUT]
SMALL_BATCH = BATCH // 2       # the same first rows, computed in a smaller batch
CONFIGS = [("f32", False), ("bf16", False), ("bf16", True)]
TOLERANCE = {"f32": 1e-4, "bf16": 3e-2}  # max error relative to the largest reference value


class Run:
    """Device copies of the layer's operands in one element type."""

    def __init__(self, drv, engine, dtype, tensor_cores, x, w, dy, bias):
        self.drv, self.engine, self.dtype, self.tc = drv, engine, dtype, tensor_cores
        self.x, self.w, self.dy = (representable(v, dtype) for v in (x, w, dy))
        self.p = dict(x=drv.upload_as(self.x, dtype), w=drv.upload_as(self.w, dtype),
                      dy=drv.upload_as(self.dy, dtype), bias=drv.upload(bias),
                      out=drv.alloc(BATCH * OUT * 4), dx=drv.alloc(BATCH * IN * 4),
                      dw=drv.alloc(IN * OUT * 4))
        self.bias = bias

    def call(self, op, m):
        p, dims = self.p, (m, IN, OUT)
        if op == "forward":
            self.engine.forward((p["out"], p["x"], p["w"], p["bias"]), dims, self.dtype, 0,
                                tensor_cores=self.tc)
            shape, ptr, dtype = (m, OUT), p["out"], self.dtype
        elif op == "backward_dx":
            self.engine.backward_dx((p["dx"], p["dy"], p["w"]), dims, self.dtype, 0,
                                    tensor_cores=self.tc)
            shape, ptr, dtype = (m, IN), p["dx"], self.dtype
        else:
            self.drv.upload_into(p["dw"], np.zeros((IN, OUT), np.float32))
            self.engine.backward_dw((p["dw"], p["dy"], p["x"]), dims, self.dtype, 0,
                                    tensor_cores=self.tc)
            shape, ptr, dtype = (IN, OUT), p["dw"], "f32"
        self.engine.synchronize()
        return self.drv.download_as(ptr, shape, dtype)

    def reference(self, op):
        x, w, dy = (v.astype(np.float64) for v in (self.x, self.w, self.dy))
        return {"forward": x @ w + self.bias, "backward_dx": dy @ w.T, "backward_dw": x.T @ dy}[op]

    def free(self):
        for ptr in self.p.values():
            self.drv.free(ptr)


def same_bits(a, b):
    return np.array_equal(a.view(np.uint32), b.view(np.uint32))


# Row 0 of an f32 forward (K = 64, N = 128) computed in batches of these sizes:
# without the mode the dispatch changes its reduction order with the batch size.
INVARIANCE_BATCHES = (1, 7, 64, 1000)
INVARIANCE_K, INVARIANCE_N = 64, 128


def batch_invariance_line(drv, engines, rng):
    """One line: how many distinct bit patterns row 0 takes across the batch
    sizes, with batch_invariant=True and without it."""
    m_max = max(INVARIANCE_BATCHES)
    x = rng.standard_normal((m_max, INVARIANCE_K)).astype(np.float32)
    w = rng.standard_normal((INVARIANCE_K, INVARIANCE_N)).astype(np.float32)
    p = [drv.upload(x), drv.upload(w), drv.alloc(m_max * INVARIANCE_N * 4)]
    patterns = {}
    try:
        for mode, engine in engines.items():
            rows = set()
            for m in INVARIANCE_BATCHES:
                engine.forward((p[2], p[0], p[1], 0), (m, INVARIANCE_K, INVARIANCE_N), "f32", 0)
                engine.synchronize()
                rows.add(drv.download(p[2], (INVARIANCE_N,), np.float32).tobytes())
            patterns[mode] = len(rows)
    finally:
        for ptr in p:
            drv.free(ptr)
    sizes = ", ".join(map(str, INVARIANCE_BATCHES))
    counted = {mode: f"{n} bit pattern{'' if n == 1 else 's'}" for mode, n in patterns.items()}
    print(f"row 0 of x[M,{INVARIANCE_K}] @ w[{INVARIANCE_K},{INVARIANCE_N}] at M = {sizes}: "
          f"batch_invariant=True -> {counted[True]}, default -> {counted[False]}")
    return patterns[True] == 1


def main():
    drv = Driver()
    where = ("the simulated device (no GPU driver found)" if drv.simulated
             else f"{drv.device_name()}")
    print(f"tesvan demo on {where}")
    started = time.perf_counter()
    engine = _tesvan.Engine(0)
    print(f"engine ready in {time.perf_counter() - started:.1f} s "
          "(kernel compilation on first use, then the PTX cache)")
    print(f"layer: x[{BATCH},{IN}] @ w[{IN},{OUT}] + bias; "
          f"rows compared against a batch of {SMALL_BATCH}\n")

    rng = np.random.default_rng(2024)
    x = rng.standard_normal((BATCH, IN))
    w = rng.standard_normal((IN, OUT)) / np.sqrt(IN)
    dy = rng.standard_normal((BATCH, OUT))
    bias = rng.standard_normal(OUT).astype(np.float32)

    header = f"{'operation':<12} {'dtype':<5} {'tensor cores':<12} {'max rel err':>11}  " \
             f"{'2 runs same bits':<16}  {'rows same at batch ' + str(SMALL_BATCH):<22} {'time':>6}"
    print(header)
    print("-" * len(header))
    all_same = all_close = True
    for dtype, tc in CONFIGS:
        run = Run(drv, engine, dtype, tc, x, w, dy, bias)
        try:
            for op in ("forward", "backward_dx", "backward_dw"):
                t0 = time.perf_counter()
                first = run.call(op, BATCH)
                second = run.call(op, BATCH)
                elapsed = time.perf_counter() - t0
                ref = run.reference(op)
                err = np.abs(first - ref).max() / np.abs(ref).max()
                repeat = same_bits(first, second)
                if op == "backward_dw":
                    rows = "n/a (sums rows)"
                    batch_ok = True
                else:
                    small = run.call(op, SMALL_BATCH)
                    batch_ok = same_bits(small, first[:SMALL_BATCH])
                    rows = "yes" if batch_ok else "NO"
                all_same &= repeat and batch_ok
                all_close &= bool(err <= TOLERANCE[dtype])
                print(f"{op:<12} {dtype:<5} {'yes' if tc else 'no':<12} {err:>11.2e}  "
                      f"{'yes' if repeat else 'NO':<16}  {rows:<22} {elapsed:>5.1f}s")
        finally:
            run.free()
    print("\nEvery result above was bit-identical across runs and batch sizes."
          if all_same else "\nSome results differed in their bits (see NO above).")
    invariant = _tesvan.Engine(0, batch_invariant=True)
    all_same &= batch_invariance_line(drv, {True: invariant, False: engine}, rng)
    del invariant
    if not all_close:
        print("Some results are further from the NumPy reference than expected.")
    del engine
    drv.release()
    return 0 if all_same and all_close else 1


if __name__ == "__main__":
    raise SystemExit(main())
