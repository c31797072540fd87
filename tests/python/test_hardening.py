"""Calls a careless caller makes: misaligned or overlapping operands, an
engine used after fork(), a call inside a CUDA Graph capture, a failure
while the engine is built.  Each is a clear Python exception, and the
process and its CUDA context stay usable."""

import ctypes
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _tesvan
from support import raised
from cuda_driver import encoded

# Shapes whose three matrices all reach an f32 kernel moving 16 bytes at a
# time (the split paths, which reach it with some of them, are covered with
# every vectorised kernel by the engine tests).
VECTORISED = [
    ("forward", (512, 16, 640)), ("forward", (128, 16, 128)), ("forward", (65, 8, 8)),
    ("backward_dx", (128, 65, 130)), ("backward_dx", (8, 8, 8)),
    ("backward_dw", (64, 128, 128)), ("backward_dw", (8, 8, 8)),
]
ELEMS = {  # (output, first input, second input) element counts
    "forward": lambda m, k, n: (m * n, m * k, k * n),
    "backward_dx": lambda m, k, n: (m * k, m * n, k * n),
    "backward_dw": lambda m, k, n: (k * n, m * n, m * k),
}


def buffers(driver, counts, item, offset):
    """Device buffers of `counts` elements, each starting `offset` bytes
    into its allocation; returns (allocations, addresses)."""
    allocs = [driver.alloc(n * 4 + 64) for n in counts]  # room for f32 (dw) too
    return allocs, [p + offset for p in allocs]


def ptrs(op, addresses):
    return tuple(addresses) + ((None,) if op == "forward" else ())


@pytest.mark.parametrize("op,dims", VECTORISED)
@pytest.mark.parametrize("dtype", ["float32", "bfloat16"])
def test_misaligned_operand_is_refused_and_the_context_stays_usable(engine, executing, op, dims,
                                                                   dtype):
    driver = executing
    item = 4 if dtype == "float32" else 2
    counts = ELEMS[op](*dims)
    allocs, addrs = buffers(driver, counts, item, 0)
    try:
        # f32: 4 bytes off 16 reaches a vectorised kernel; bf16: an address
        # off its element size (dW is always f32).
        for i in range(3):
            bad = list(addrs)
            f32_dw = op == "backward_dw" and i == 0
            bad[i] += 4 if dtype == "float32" else 2 if f32_dw else 1
            e = raised(lambda: getattr(engine, op)(ptrs(op, bad), dims, dtype, 0))
            assert type(e) is RuntimeError, (i, e)
            assert f"{op}: operand '" in str(e) and f"at {hex(bad[i])}" in str(e), str(e)
            expected = ("16-byte aligned" if dtype == "float32"
                        else f"element size ({4 if f32_dw else 2} bytes)")
            assert expected in str(e), str(e)
        # A correct call afterwards runs, and the caller's own driver calls
        # still succeed.
        getattr(engine, op)(ptrs(op, addrs), (8, 8, 8), dtype, 0)
        engine.synchronize()
        driver.stream_synchronize(0)
    finally:
        for p in allocs:
            driver.free(p)


@pytest.mark.parametrize("tensor_cores", [False, True])
def test_bf16_operands_off_sixteen_bytes_give_the_aligned_bits(engine, executing, tensor_cores):
    driver = executing
    m, k, n = 64, 32, 64
    rng = np.random.default_rng(7)
    a = rng.standard_normal((m, k)).astype(np.float32)
    b = rng.standard_normal((k, n)).astype(np.float32)
    results = []
    for offset in (0, 2, 6):
        allocs, (out, pa, pb) = buffers(driver, (m * n, m * k, k * n), 2, offset)
        try:
            driver.upload_into(pa, encoded(a, "bf16"))
            driver.upload_into(pb, encoded(b, "bf16"))
            engine.forward((out, pa, pb, None), (m, k, n), "bf16", 0, tensor_cores=tensor_cores)
            engine.synchronize()
            results.append(driver.download(out, (m, n), np.uint16))
        finally:
            for p in allocs:
                driver.free(p)
    assert all(np.array_equal(results[0], r) for r in results[1:])


def test_output_overlapping_an_input_is_refused(engine, sim):
    dims = (64, 64, 64)  # 16 KiB per f32 operand
    base = 1 << 36
    cases = [  # (ptrs, op, named)
        ((base, base, base + (1 << 30), None), "forward", ("out", "a")),
        ((base + 4096, base + (1 << 30), base, None), "forward", ("out", "b")),
        ((base + 16384 - 16, base, base + (1 << 30)), "backward_dx", ("dx", "dy")),
        ((base, base + (1 << 30), base + 4096), "backward_dw", ("dw", "x")),
    ]
    for p, op, (out, inp) in cases:
        e = raised(lambda: getattr(engine, op)(p, dims, "f32", 0))
        assert type(e) is RuntimeError
        assert f"output '{out}'" in str(e) and f"overlaps input '{inp}'" in str(e), str(e)
    assert sim.launched_kernels() == []
    # Touching, not overlapping: runs.
    engine.forward((base + 16384, base, base + (1 << 30), None), dims, "f32", 0)
    assert sim.launched_kernels()


def test_engine_used_after_fork_raises_in_the_child(engine, driver):
    if not hasattr(os, "fork"):
        pytest.skip("needs fork()")
    read, write = os.pipe()
    child = os.fork()
    if child == 0:  # pragma: no cover - the child reports through the pipe
        try:
            e = raised(engine.synchronize)
            f = raised(lambda: engine.forward((1 << 36, 2 << 36, 3 << 36, None), (8, 8, 8), "f32", 0))
            os.write(write, f"{type(e).__name__}|{e}|{type(f).__name__}".encode())
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as r:
        report = r.read().decode()
    _, status = os.waitpid(child, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    kind, text, forward_kind = report.split("|")
    assert kind == "RuntimeError" and forward_kind == "RuntimeError"
    assert "after fork()" in text and "create a new Engine in this process" in text
    engine.synchronize()  # the parent's engine is untouched


class Capture:
    """cuStreamBeginCapture / cuStreamEndCapture on a fresh stream."""

    def __init__(self, driver):
        self.driver = driver
        self.stream = driver.stream_create()

    def __enter__(self):
        r = self.driver.lib.cuStreamBeginCapture_v2(ctypes.c_void_p(self.stream), 0)
        assert r == 0
        return self.stream

    def __exit__(self, *exc):
        graph = ctypes.c_void_p()
        assert self.driver.lib.cuStreamEndCapture(ctypes.c_void_p(self.stream),
                                                  ctypes.byref(graph)) == 0


def test_capture_allocates_nothing_once_prepared(sim):
    engine = _tesvan.Engine(0)  # fresh: no scratch yet
    capture = Capture(sim)
    shapes = [((64, 64, 128), "f32", False),   # split-K and transpose scratch
              ((63, 64, 4096), "bf16", True)]  # upcast cells behind the tensor-core tier
    p = (1 << 36, 2 << 36, 3 << 36)

    def allocations():
        return sim.call_count("cuMemAllocAsync") + sim.call_count("cuMemAlloc_v2")

    try:
        for dims, dtype, tc in shapes:
            with capture as s:
                before = allocations()
                e = raised(lambda: engine.forward(p + (None,), dims, dtype, s, tensor_cores=tc))
                assert type(e) is RuntimeError
                assert "captured into a CUDA graph; call prepare_capture" in str(e), str(e)
                assert allocations() == before
            assert engine.prepare_capture(dims, dtype, tensor_cores=tc) is None
            sim.clear_launches()
            with capture as s:
                before = allocations()
                engine.forward(p + (None,), dims, dtype, s, tensor_cores=tc)
                engine.backward_dx(p, dims, dtype, s, tensor_cores=tc)
                engine.backward_dw(p, dims, dtype, s, tensor_cores=tc)
                assert allocations() == before
            assert sim.launched_kernels()
    finally:
        sim.stream_destroy(capture.stream)


ALLOC_LIMIT = textwrap.dedent("""
    import resource, sys
    sys.path.insert(0, sys.argv[2])
    import _tesvan
    from cuda_driver import Driver
    d = Driver()
    # NVRTC (LLVM inside) aborts when its own start-up runs out of memory:
    # load it before the limit, so that what fails is the engine's building.
    _tesvan.Engine(0)
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as f:
        used = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + int(sys.argv[1]), hard))
    try:
        _tesvan.Engine(0)
        outcome = "built"
    except BaseException as e:
        outcome = type(e).__name__
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(outcome)
""")


def test_memory_exhaustion_while_building_is_an_exception(driver):
    """Address-space limits just below what building an engine takes: the
    last allocations to fail are the engine's own (std::bad_alloc, surfacing
    as MemoryError) or the simulated driver's (its out-of-memory result, a
    RuntimeError); either way an exception, never an aborted process."""
    examples = os.path.join(os.path.dirname(__file__), "..", "..", "examples")

    def build(margin):
        run = subprocess.run([sys.executable, "-c", ALLOC_LIMIT, str(margin), examples],
                             capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, (margin, run.returncode, run.stderr[-2000:])
        return run.stdout.strip()

    lo, hi = 0, 1 << 30
    if build(hi) != "built":
        pytest.skip("an engine does not build within 1 GiB of address space here")
    outcomes = set()
    while hi - lo > (1 << 20):  # the largest failing margin, to 1 MiB
        mid = (lo + hi) // 2
        outcome = build(mid)
        outcomes.add(outcome)
        if outcome == "built":
            hi = mid
        else:
            lo = mid
    assert outcomes <= {"built", "MemoryError", "RuntimeError"}, outcomes
    assert outcomes - {"built"}, outcomes
