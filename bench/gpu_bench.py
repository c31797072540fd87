#!/usr/bin/env python3
"""GPU benchmark: TFLOP/s of every tier and element type over training
shapes, next to PyTorch's matmul on the same device in the same run, with
run-to-run bit identity and batch-invariance checks and an error bound
against the reference.

    bench/run gpu [--out DIR] [--sweep full|quick|smoke] [--budget-ms MS]

Writes DIR/gpu_bench.json and, when matplotlib is present, DIR/gpu_bench.png.
On the simulated device (or with --sweep smoke) it runs a tiny sweep whose
timings mean nothing but whose checks are real; the reference is then
NumPy in float64.  Exit status 1 when a check fails or a call raises.
"""

import argparse
import json
import os
import sys
import time
from dataclasses import dataclass

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "examples"))

from cuda_driver import Driver, STORAGE, decoded, encoded, representable  # noqa: E402

OPS = ("forward", "backward_dx", "backward_dw")
DTYPES = ("f32", "bf16", "f16")
# (element type, tensor_cores): the f32 tier, the typed scalar tier (with
# its upcast fallback) and the tensor-core tier.
CONFIGS = (("f32", False), ("bf16", False), ("f16", False), ("bf16", True), ("f16", True))
# Largest error relative to the largest reference magnitude that a result of
# this output type may show: a few units of its last place, loose enough for
# any summation order, tight enough to catch a wrong tile or lost rows.
TOLERANCE = {"f32": 1e-4, "bf16": 2e-2, "f16": 4e-3}


@dataclass
class Shape:
    label: str
    group: str  # square, mlp, thin or narrow
    m: int
    k: int
    n: int


def sweep(name):
    """Shapes (M, K, N) per sweep: a layer with K inputs, N outputs, batch M."""
    if name == "smoke":
        return [Shape("tile", "square", 200, 64, 136), Shape("thin", "thin", 4, 64, 96),
                Shape("narrow", "narrow", 96, 40, 10)]
    sizes = (1024, 2048, 4096, 8192) if name == "full" else (1024, 4096)
    shapes = [Shape(f"sq{s}", "square", s, s, s) for s in sizes]
    batches = (1, 16, 128, 1024, 4096, 16384) if name == "full" else (16, 4096)
    for b in batches:  # the two products of a 4096-wide transformer MLP
        shapes.append(Shape(f"up b{b}", "mlp", b, 4096, 16384))
        shapes.append(Shape(f"down b{b}", "mlp", b, 16384, 4096))
    shapes += [Shape("thin 8", "thin", 8, 8192, 8192), Shape("thin 24", "thin", 24, 4096, 4096)]
    for n in ((1, 10, 64, 127) if name == "full" else (10, 127)):
        shapes.append(Shape(f"narrow {n}", "narrow", 16384, 4096, n))
    return shapes


def batch_pairs(name):
    """(M, smaller Ms, K, N): the first rows of a forward or backward_dx
    result must keep their bits when the batch shrinks to a smaller M.  Every
    size runs a tiled kernel in every tier (the small-shape and split paths
    keep other fixed orders)."""
    if name == "smoke":
        # N % 4 != 0 keeps the f32 tier off its split-K buckets at this size.
        return [(200, (64,), 72, 130)]
    return [(4096, (64, 1536), 4096, 4096)]


def flops(s):
    return 2.0 * s.m * s.k * s.n


# ---- devices ---------------------------------------------------------------------------


class DriverDevice:
    """Operands in device memory through the driver, checks on host copies,
    wall-clock timing around engine.synchronize().  No baseline."""

    baseline = None

    def __init__(self, drv):
        self.drv = drv
        self.stream = drv.stream_create()
        self.live = []

    def tensor(self, shape, dtype, values=None):
        host = np.zeros(shape, np.float32) if values is None else values
        ptr = self.drv.upload(encoded(host, dtype))
        self.live.append(ptr)
        return Buf(ptr, shape, dtype, representable(host, dtype))

    def zero(self, buf):
        self.drv.upload_into(buf.ptr, encoded(np.zeros(buf.shape, np.float32), buf.dtype))

    def bits(self, buf, rows=None):
        # The copy runs on the legacy stream, which does not wait for the
        # engine's non-blocking stream; the caller's stream does (ev_out).
        self.drv.stream_synchronize(self.stream)
        raw = self.drv.download(buf.ptr, buf.shape, STORAGE[buf.dtype])
        return raw if rows is None else raw[:rows]

    def same(self, x, y):
        return np.array_equal(np.asarray(x).view(np.uint8), np.asarray(y).view(np.uint8))

    def values(self, buf):
        return decoded(self.bits(buf), buf.dtype)

    def time_ms(self, fn, engine, reps):
        self.drv.stream_synchronize(self.stream)
        t0 = time.perf_counter()
        for _ in range(reps):
            fn()
        engine.synchronize()
        self.drv.stream_synchronize(self.stream)
        return (time.perf_counter() - t0) * 1e3 / reps

    def launched(self, fn):
        """Runs fn; on the simulated device returns the kernels it launched."""
        if not self.drv.simulated:
            fn()
            return None
        self.drv.clear_launches()
        fn()
        return self.drv.launched_kernels()

    def release(self):
        for ptr in self.live:
            self.drv.free(ptr)
        self.live = []


class TorchDevice(DriverDevice):
    """Operands as PyTorch tensors on the same device and stream; CUDA-event
    timing; torch.matmul as the baseline and reference."""

    def __init__(self, drv, torch):
        self.drv = drv
        self.torch = torch
        self.stream = torch.cuda.current_stream().cuda_stream
        self.kind = {"f32": torch.float32, "bf16": torch.bfloat16, "f16": torch.float16}
        self.int_view = {"f32": torch.int32, "bf16": torch.int16, "f16": torch.int16}
        self.live = []
        self.baseline = f"torch {torch.__version__}"

    def tensor(self, shape, dtype):
        data = self.torch.zeros(shape, dtype=self.kind[dtype], device="cuda")
        return Buf(data.data_ptr(), shape, dtype, data)

    def random(self, shape, dtype, gen):
        data = (self.torch.rand(shape, generator=gen, device="cuda") * 2 - 1).to(self.kind[dtype])
        return Buf(data.data_ptr(), shape, dtype, data)

    def zero(self, buf):
        buf.host.zero_()

    def bits(self, buf, rows=None):
        data = buf.host if rows is None else buf.host[:rows]
        return data.view(self.int_view[buf.dtype]).clone()

    def same(self, x, y):
        return bool(self.torch.equal(x, y))

    def values(self, buf):
        return buf.host.float()

    def time_ms(self, fn, engine, reps):
        t = self.torch
        start, end = t.cuda.Event(enable_timing=True), t.cuda.Event(enable_timing=True)
        start.record()
        for _ in range(reps):
            fn()
        end.record()
        end.synchronize()
        return start.elapsed_time(end) / reps

    def release(self):
        self.torch.cuda.synchronize()
        self.torch.cuda.empty_cache()


@dataclass
class Buf:
    ptr: int
    shape: tuple
    dtype: str
    host: object  # NumPy values (driver device) or the torch tensor


@dataclass
class Operands:
    """One layer's buffers: a/x [M,K], b/w [K,N], dy [M,N] in the element type,
    outputs out [M,N], dx [M,K] and dw [K,N] (always f32)."""

    a: Buf
    b: Buf
    dy: Buf
    out: Buf
    dx: Buf
    dw: Buf


def make_operands(dev, s, dtype, seed):
    if isinstance(dev, TorchDevice):
        gen = dev.torch.Generator(device="cuda").manual_seed(seed)
        a, b, dy = (dev.random(shape, dtype, gen) for shape in ((s.m, s.k), (s.k, s.n), (s.m, s.n)))
    else:
        rng = np.random.default_rng(seed)
        a, b, dy = (dev.tensor(shape, dtype, rng.uniform(-1, 1, shape).astype(np.float32))
                    for shape in ((s.m, s.k), (s.k, s.n), (s.m, s.n)))
    return Operands(a, b, dy, dev.tensor((s.m, s.n), dtype), dev.tensor((s.m, s.k), dtype),
                    dev.tensor((s.k, s.n), "f32"))


def output(ops, op):
    return {"forward": ops.out, "backward_dx": ops.dx, "backward_dw": ops.dw}[op]


def engine_call(engine, dev, ops, op, dtype, tc, m, k, n):
    """The engine call for op on the first m rows of the batch."""
    name = {"f32": "float32", "bf16": "bfloat16", "f16": "float16"}[dtype]
    dims = (m, k, n)
    if op == "forward":
        return lambda: engine.forward((ops.out.ptr, ops.a.ptr, ops.b.ptr, None), dims, name,
                                      dev.stream, tensor_cores=tc)
    if op == "backward_dx":
        return lambda: engine.backward_dx((ops.dx.ptr, ops.dy.ptr, ops.b.ptr), dims, name,
                                          dev.stream, tensor_cores=tc)
    return lambda: engine.backward_dw((ops.dw.ptr, ops.dy.ptr, ops.a.ptr), dims, name,
                                      dev.stream, tensor_cores=tc)


def reference(dev, ops, op):
    """The exact product (NumPy, float64) or PyTorch's, as the baseline computes it."""
    if isinstance(dev, TorchDevice):
        a, b, dy = ops.a.host, ops.b.host, ops.dy.host
        return {"forward": lambda: a @ b, "backward_dx": lambda: dy @ b.t(),
                "backward_dw": lambda: a.t() @ dy}[op]
    a, b, dy = (x.host.astype(np.float64) for x in (ops.a, ops.b, ops.dy))
    return {"forward": lambda: a @ b, "backward_dx": lambda: dy @ b.T,
            "backward_dw": lambda: a.T @ dy}[op]


def rel_error(dev, ours, ref):
    if isinstance(dev, TorchDevice):
        ref = ref.float()
        return float((ours - ref).abs().max() / ref.abs().max().clamp_min(1e-30))
    return float(np.abs(ours - ref).max() / max(np.abs(ref).max(), 1e-30))


def repetitions(once_ms, budget_ms):
    return int(min(50, max(3, budget_ms / max(once_ms, 1e-3))))


# ---- the run ---------------------------------------------------------------------------


def measure(dev, engine, s, dtype, tc, ops, budget_ms):
    """One shape and configuration: per op time, TFLOP/s, repeat identity
    and error against the reference; the baseline once per element type."""
    rows = []
    for op in OPS:
        out = output(ops, op)
        call = engine_call(engine, dev, ops, op, dtype, tc, s.m, s.k, s.n)
        row = {"shape": s.label, "group": s.group, "M": s.m, "K": s.k, "N": s.n, "op": op,
               "dtype": dtype, "tensor_cores": tc}
        try:
            dev.zero(out)
            kernels = dev.launched(call)
            if kernels is not None:
                row["kernels"] = kernels
            first = dev.bits(out)
            dev.zero(out)
            call()
            row["repeat_identical"] = dev.same(first, dev.bits(out))
            ref = reference(dev, ops, op)()
            row["rel_error"] = rel_error(dev, dev.values(out), ref)
            row["within_tolerance"] = row["rel_error"] <= TOLERANCE[dtype]
            once = dev.time_ms(call, engine, 1)
            ms = dev.time_ms(call, engine, repetitions(once, budget_ms))
            row["ms"] = ms
            row["tflops"] = flops(s) / ms / 1e9
            if dev.baseline and not tc:
                base = reference(dev, ops, op)
                base_once = dev.time_ms(base, engine, 1)
                base_ms = dev.time_ms(base, engine, repetitions(base_once, budget_ms))
                row["baseline_ms"] = base_ms
                row["baseline_tflops"] = flops(s) / base_ms / 1e9
        except RuntimeError as e:
            row["error"] = str(e)
        rows.append(row)
    return rows


def check_batch_invariance(dev, engine, pairs):
    results = []
    for m_full, smaller, k, n in pairs:
        s = Shape("batch", "check", m_full, k, n)
        for dtype, tc in CONFIGS:
            ops = make_operands(dev, s, dtype, seed=7)
            try:
                for op in ("forward", "backward_dx"):
                    out = output(ops, op)
                    full_kernels = dev.launched(engine_call(engine, dev, ops, op, dtype, tc, m_full, k, n))
                    full = dev.bits(out)
                    for m in smaller:
                        dev.zero(out)
                        kernels = dev.launched(engine_call(engine, dev, ops, op, dtype, tc, m, k, n))
                        record = {"op": op, "dtype": dtype, "tensor_cores": tc, "M": m_full,
                                  "M_part": m, "K": k, "N": n,
                                  "identical": dev.same(full[:m], dev.bits(out, rows=m))}
                        if kernels is not None:
                            record["kernels"] = full_kernels
                            record["kernels_part"] = kernels
                        results.append(record)
            except RuntimeError as e:
                results.append({"dtype": dtype, "tensor_cores": tc, "M": m_full, "K": k, "N": n,
                                "error": str(e), "identical": False})
            finally:
                dev.release()
    return results


def print_table(rows, has_baseline):
    def cell(dtype, tc, shape, op, key):
        for r in rows:
            if (r["shape"], r["op"], r["dtype"], r["tensor_cores"]) == (shape, op, dtype, tc):
                return f"{r[key]:8.3g}" if key in r else "     err" if "error" in r else "       -"
        return "       -"

    cols = [("f32", False, "tflops")]
    if has_baseline:
        cols.append(("f32", False, "baseline_tflops"))
    for d in ("bf16", "f16"):
        cols += [(d, False, "tflops"), (d, True, "tflops")]
        if has_baseline:
            cols.append((d, False, "baseline_tflops"))
    names = {"tflops": "", "baseline_tflops": " torch"}
    head = "".join(f"{d + ('tc' if tc else '') + names[k]:>9}" for d, tc, k in cols)
    print(f"\nTFLOP/s{'':<17}{'M':>6} {'K':>6} {'N':>6}  {'op':<12}{head}")
    seen = []
    for r in rows:
        key = (r["shape"], r["op"])
        if key in seen:
            continue
        seen.append(key)
        line = "".join(" " + cell(d, tc, r["shape"], r["op"], k) for d, tc, k in cols)
        print(f"{r['shape']:<24}{r['M']:>6} {r['K']:>6} {r['N']:>6}  {r['op']:<12}{line}")


def plot(rows, path):
    try:
        import matplotlib
    except ImportError:
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shapes = list(dict.fromkeys(r["shape"] for r in rows))
    series = (("tesvan", False, "tflops", "C0"), ("tesvan tensor cores", True, "tflops", "C2"),
              ("PyTorch", False, "baseline_tflops", "C1"))
    fig, axes = plt.subplots(len(OPS), len(DTYPES), figsize=(6 * len(DTYPES), 3.6 * len(OPS)),
                             squeeze=False, sharex=True)
    for i, op in enumerate(OPS):
        for j, dtype in enumerate(DTYPES):
            ax = axes[i][j]
            for label, tc, key, color in series:
                if tc and dtype == "f32":
                    continue
                ys = []
                for s in shapes:
                    r = next((r for r in rows if (r["shape"], r["op"], r["dtype"], r["tensor_cores"])
                              == (s, op, dtype, tc)), None)
                    ys.append(r.get(key, np.nan) if r else np.nan)
                ax.plot(range(len(shapes)), ys, marker="o", color=color, label=label)
            ax.set_title(f"{op}, {dtype}")
            ax.set_yscale("log")
            ax.set_ylabel("TFLOP/s")
            ax.grid(True, which="both", alpha=0.3)
            ax.set_xticks(range(len(shapes)))
            ax.set_xticklabels(shapes, rotation=60, ha="right", fontsize=7)
    handles, labels = axes[0][1].get_legend_handles_labels()
    fig.legend(handles, labels, loc="upper center", ncol=len(series))
    fig.tight_layout(rect=(0, 0, 1, 0.97))
    fig.savefig(path, dpi=110)
    return True


def open_device(drv):
    if drv.simulated:
        return DriverDevice(drv)
    try:
        import torch
    except ImportError:
        return DriverDevice(drv)
    if not torch.cuda.is_available():
        return DriverDevice(drv)
    torch.cuda.init()
    return TorchDevice(drv, torch)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--out", help="output folder (default: <build>/bench-out)")
    p.add_argument("--sweep", choices=("full", "quick", "smoke"),
                   help="default: full on a GPU, smoke on the simulated device")
    p.add_argument("--build", default=os.path.join(ROOT, "build"), help="the CMake build folder")
    p.add_argument("--budget-ms", type=float, default=100.0, help="timed run length per measurement")
    args = p.parse_args(argv)
    sys.path.insert(0, os.path.join(args.build, "python"))
    args.out = args.out or os.path.join(args.build, "bench-out")
    import _tesvan

    drv = Driver()
    dev = open_device(drv)
    name = args.sweep or ("smoke" if drv.simulated else "full")
    engine = _tesvan.Engine(0)
    print(f"device: {drv.device_name()}{' (simulated)' if drv.simulated else ''}; "
          f"baseline: {dev.baseline or 'none'}; sweep: {name}")

    rows = []
    for s in sweep(name):
        for dtype, tc in CONFIGS:
            ops = make_operands(dev, s, dtype, seed=s.m * 31 + s.n)
            try:
                rows += measure(dev, engine, s, dtype, tc, ops, args.budget_ms)
            finally:
                dev.release()
    invariance = check_batch_invariance(dev, engine, batch_pairs(name))
    dev.release()

    print_table(rows, dev.baseline is not None)
    failures = [r for r in rows if "error" in r or not r.get("repeat_identical")
                or not r.get("within_tolerance")]
    failures += [r for r in invariance if not r["identical"]]
    print(f"\nrepeat bit identity: {sum(r.get('repeat_identical', False) for r in rows)}/{len(rows)}; "
          f"within tolerance: {sum(r.get('within_tolerance', False) for r in rows)}/{len(rows)}; "
          f"batch invariance: {sum(r['identical'] for r in invariance)}/{len(invariance)}")
    for f in failures:
        print("FAILED:", json.dumps(f))

    os.makedirs(args.out, exist_ok=True)
    result = {"device": drv.device_name(), "simulated": drv.simulated, "sweep": name,
              "baseline": dev.baseline, "tolerance": TOLERANCE, "results": rows,
              "batch_invariance": invariance, "failures": len(failures)}
    if isinstance(dev, TorchDevice):
        result["torch_allow_tf32"] = bool(dev.torch.backends.cuda.matmul.allow_tf32)
    with open(os.path.join(args.out, "gpu_bench.json"), "w") as f:
        json.dump(result, f, indent=1)
    if plot(rows, os.path.join(args.out, "gpu_bench.png")):
        print(f"written: {args.out}/gpu_bench.json, {args.out}/gpu_bench.png")
    else:
        print(f"written: {args.out}/gpu_bench.json (no plot: matplotlib missing)")
    del engine
    drv.release()
    return 1 if failures else 0


if __name__ == "__main__":
    raise SystemExit(main())
