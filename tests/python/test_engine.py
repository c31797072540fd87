"""The engine as Python calls it: tier routing, the stream bridge, errors,
resource accounting, and results computed on the device."""

import ctypes
import sys
import threading
import time

import numpy as np
import pytest

import _tesvan
from support import raised
from cuda_driver import decoded, encoded, representable

TC_SHAPE = (128, 64, 100)  # both output dims >= 64: one 64-tile tensor-core launch


# ---- routing and errors, read from the launch log ---------------------------------


def test_float32_ignores_the_tensor_core_flag(engine, sim):
    for dtype in ("float32", "f32"):
        engine.forward((1, 2, 3, None), (64, 64, 64), dtype, 0, tensor_cores=True)
    kernels = sim.launched_kernels()
    assert kernels and all(not k.endswith(("_bf16", "_f16")) and "_tc" not in k for k in kernels)


@pytest.mark.parametrize("dtype,suffix", [("bfloat16", "_bf16"), ("bf16", "_bf16"),
                                          ("float16", "_f16"), ("f16", "_f16"), ("half", "_f16")])
def test_tensor_core_shape_runs_one_tensor_core_kernel(engine, sim, dtype, suffix):
    assert engine.forward((1, 2, 3, None), TC_SHAPE, dtype, 0, tensor_cores=True) is None
    engine.backward_dx((1, 2, 3), TC_SHAPE, dtype, 0, tensor_cores=True)
    engine.backward_dw((1, 2, 3), (64, 64, 64), dtype, 0, tensor_cores=True)
    assert sim.launched_kernels() == ["tesvan_nn_tc64" + suffix, "tesvan_nt_tc64" + suffix,
                                      "tesvan_tn_tc64" + suffix]


def test_without_the_flag_the_scalar_tier_runs(engine, sim):
    engine.forward((1, 2, 3, None), TC_SHAPE, "bf16", 0)
    assert not any("_tc" in k for k in sim.launched_kernels())


def test_tensor_core_no_bucket_completes_through_the_scalar_tier(engine, sim):
    # M = 63: no tensor-core bucket, no typed bucket either: upcast fallback.
    assert engine.forward((1, 2, 3, None), (63, 64, 4096), "bf16", 0, tensor_cores=True) is None
    kernels = sim.launched_kernels()
    assert kernels[:2] == ["tvn_cast_bf16_to_f32", "tvn_cast_bf16_to_f32"]
    assert kernels[-1] == "tvn_cast_f32_to_bf16"
    assert not any("_tc" in k for k in kernels)


def test_tensor_core_failure_is_final(engine, sim):
    sim.inject("cuLaunchKernel", 1, 999)
    e = raised(lambda: engine.forward((1, 2, 3, None), TC_SHAPE, "bf16", 0, tensor_cores=True))
    assert type(e) is RuntimeError
    assert str(e).startswith("tesvan: CUDA error: tesvan_nn_tc: DriverError(CUDA_ERROR_UNKNOWN, ")
    assert sim.launched_kernels() == []


def test_bias_none_and_zero_both_mean_no_bias(engine, sim):
    for bias in (None, 0, 4096):
        engine.forward((1, 2, 3, bias), TC_SHAPE, "bf16", 0, tensor_cores=True)
    assert [entry.args[3].bits for entry in sim.launches()] == [0, 0, 4096]


def test_failing_operation_still_orders_the_callers_stream(engine, sim):
    records, waits = sim.call_count("cuEventRecord"), sim.call_count("cuStreamWaitEvent")
    e = raised(lambda: engine.forward((1, 2, 3, None), (64, 16, 1), "f32", 0))
    assert type(e) is RuntimeError
    assert str(e).startswith("tesvan: tesvan_forward")
    assert str(e).endswith(": no deterministic bucket for shape M=64 K=16 N=1 in this tier")
    assert sim.call_count("cuEventRecord") == records + 2
    assert sim.call_count("cuStreamWaitEvent") == waits + 2
    # The engine stays usable.
    engine.forward((1, 2, 3, None), TC_SHAPE, "bf16", 0, tensor_cores=True)
    assert len(sim.launches()) == 1


def test_rejected_caller_stream_runs_nothing(engine, sim):
    e = raised(lambda: engine.forward((1, 2, 3, None), TC_SHAPE, "bf16", 0xDEAD0, tensor_cores=True))
    assert type(e) is RuntimeError and str(e).startswith("tesvan: CUDA error: DriverError(")
    assert sim.launched_kernels() == []


def test_shapes_beyond_32_bits_are_refused_before_any_work(engine, sim):
    for dims in [(2**31, 1, 1), (1, 2**32 + 64, 1), (65536, 1, 32768)]:
        for dtype, tc in [("f32", False), ("bf16", False), ("f16", True)]:
            e = raised(lambda: engine.backward_dx((1, 2, 3), dims, dtype, 0, tensor_cores=tc))
            assert str(e) == (f"tesvan: backward_dx: shape M={dims[0]} K={dims[1]} N={dims[2]} "
                              "exceeds the kernels' 32-bit limit (every dimension and every "
                              "operand's element count must be at most 2147483647)")
    assert sim.launched_kernels() == []


def test_synchronize_on_an_idle_engine_returns(engine):
    assert engine.synchronize() is None


def test_engine_and_failed_construction_leave_nothing_behind(sim):
    baseline = sim.resources()
    e = _tesvan.Engine(0)
    allocs = sim.call_count("cuMemAllocAsync") + sim.call_count("cuMemAlloc_v2")
    assert e.presize_upcast_scratch(0, 0, 0) is None
    assert sim.resources()["allocated_bytes"] == baseline["allocated_bytes"] + 12
    e.presize_upcast_scratch(0, 1, 0)  # already large enough
    assert sim.call_count("cuMemAllocAsync") + sim.call_count("cuMemAlloc_v2") == allocs + 3
    # A fallback call, then the same again: the second allocates nothing.
    for _ in range(2):
        e.forward((1, 2, 3, None), (63, 64, 4096), "f16", 0)
    assert sim.call_count("cuMemAllocAsync") + sim.call_count("cuMemAlloc_v2") == allocs + 6
    del e
    assert sim.resources() == baseline

    old = sim.sim_config(cc_major=7, cc_minor=0)
    try:
        e = raised(lambda: _tesvan.Engine(0))
    finally:
        sim.sim_config(**old)
    assert type(e) is RuntimeError
    assert str(e) == ("tesvan: unsupported GPU architecture sm_70: tesvan requires Ampere or "
                      "newer (sm_80+)")
    assert sim.resources() == baseline


def test_construction_driver_failure_is_a_cuda_error(sim):
    baseline = sim.resources()
    sim.inject("cuStreamCreate", 1, 2)
    e = raised(lambda: _tesvan.Engine(0))
    assert str(e).startswith("tesvan: CUDA error: DriverError(CUDA_ERROR_OUT_OF_MEMORY, \"")
    assert sim.resources() == baseline


# ---- results computed on the device ----------------------------------------------


class Layer:
    """One layer's operands on the device, in the given element type."""

    def __init__(self, driver, m, k, n, dtype, seed=0):
        rng = np.random.default_rng(seed)
        self.driver, self.m, self.k, self.n, self.dtype = driver, m, k, n, dtype
        self.a = representable(rng.standard_normal((m, k)), dtype)
        self.b = representable(rng.standard_normal((k, n)), dtype)
        self.bias = rng.standard_normal(n).astype(np.float32)
        self.ptrs = dict(a=driver.upload_as(self.a, dtype), b=driver.upload_as(self.b, dtype),
                         bias=driver.upload(self.bias), out=driver.alloc(m * n * 4))

    def result(self):
        return self.driver.download_as(self.ptrs["out"], (self.m, self.n), self.dtype)

    def forward(self, engine, stream=0, tensor_cores=False):
        p = self.ptrs
        engine.forward((p["out"], p["a"], p["b"], p["bias"]), (self.m, self.k, self.n),
                       self.dtype, stream, tensor_cores=tensor_cores)

    def free(self):
        for ptr in self.ptrs.values():
            self.driver.free(ptr)


TOLERANCE = {"f32": 1e-4, "bf16": 2e-2, "f16": 4e-3}


@pytest.mark.parametrize("dtype,tc", [("f32", False), ("bf16", False), ("bf16", True),
                                      ("f16", False), ("f16", True)])
def test_forward_is_correct_and_repeatable(engine, executing, dtype, tc):
    layer = Layer(executing, 96, 80, 72, dtype)
    try:
        layer.forward(engine, tensor_cores=tc)
        engine.synchronize()
        first = layer.result()
        expected = layer.a.astype(np.float64) @ layer.b + layer.bias
        np.testing.assert_allclose(first, expected, rtol=TOLERANCE[dtype],
                                   atol=TOLERANCE[dtype] * np.abs(expected).max())
        layer.forward(engine, tensor_cores=tc)
        engine.synchronize()
        assert np.array_equal(layer.result().view(np.uint32), first.view(np.uint32))
    finally:
        layer.free()


def test_backward_products_are_correct(engine, executing):
    d = executing
    rng = np.random.default_rng(1)
    m, k, n = 48, 40, 56
    dy = rng.standard_normal((m, n)).astype(np.float32)
    w = rng.standard_normal((k, n)).astype(np.float32)
    x = rng.standard_normal((m, k)).astype(np.float32)
    dw0 = rng.standard_normal((k, n)).astype(np.float32)
    p_dy, p_w, p_x, p_dw = d.upload(dy), d.upload(w), d.upload(x), d.upload(dw0)
    p_dx = d.alloc(m * k * 4)
    try:
        engine.backward_dx((p_dx, p_dy, p_w), (m, k, n), "f32", 0)
        engine.backward_dw((p_dw, p_dy, p_x), (m, k, n), "float32", 0)
        engine.synchronize()
        np.testing.assert_allclose(d.download(p_dx, (m, k), np.float32), dy @ w.T.astype(np.float64),
                                   rtol=1e-4, atol=1e-4)
        np.testing.assert_allclose(d.download(p_dw, (k, n), np.float32),
                                   dw0 + x.T.astype(np.float64) @ dy, rtol=1e-4, atol=1e-4)
    finally:
        for p in (p_dy, p_w, p_x, p_dw, p_dx):
            d.free(p)


def test_many_threads_on_one_engine_give_identical_bits(engine, executing):
    d = executing
    reference = Layer(d, 64, 64, 64, "bf16", seed=7)
    layers = [Layer(d, 64, 64, 64, "bf16", seed=7) for _ in range(6)]
    streams = [d.stream_create() for _ in layers]
    errors = []

    def work(layer, stream):
        try:
            d.make_current()
            for _ in range(3):
                layer.forward(engine, stream, tensor_cores=True)
            d.stream_synchronize(stream)
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    try:
        reference.forward(engine, tensor_cores=True)
        engine.synchronize()
        expected = reference.result().view(np.uint32)
        threads = [threading.Thread(target=work, args=pair) for pair in zip(layers, streams)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        for layer in layers:
            assert np.array_equal(layer.result().view(np.uint32), expected)
    finally:
        for s in streams:
            d.stream_destroy(s)
        for layer in layers + [reference]:
            layer.free()


def test_tensor_core_tile_sizes_agree_bit_for_bit(engine, executing):
    # 1152 x 1024 outputs make 72 tiles of 128 (the 128-tile kernel); the
    # first 128 rows alone make 8 (the 64-tile kernel).
    big = Layer(executing, 1152, 64, 1024, "bf16", seed=3)
    rows = Layer(executing, 128, 64, 1024, "bf16", seed=3)
    try:
        executing.upload_into(rows.ptrs["a"], executing.download(big.ptrs["a"], (128, 64), np.uint16))
        executing.upload_into(rows.ptrs["b"], executing.download(big.ptrs["b"], (64, 1024), np.uint16))
        executing.upload_into(rows.ptrs["bias"], big.bias)
        big.forward(engine, tensor_cores=True)
        rows.forward(engine, tensor_cores=True)
        engine.synchronize()
        assert np.array_equal(rows.result().view(np.uint32), big.result()[:128].view(np.uint32))
    finally:
        big.free()
        rows.free()


def test_fallback_equals_the_f32_tier_rounded_once(engine, executing):
    # (40, 24, 130) has no typed bucket in any operation: the upcast fallback
    # runs. Its result must be the f32 tier's on the same values, rounded once
    # to the element type (dW: accumulated in f32, no rounding at all).
    d = executing
    m, k, n = 40, 24, 130
    rng = np.random.default_rng(11)
    for dtype in ("bf16", "f16"):
        def values(shape):
            return decoded(encoded(rng.standard_normal(shape), dtype), dtype)

        a, b, dy, w, x = values((m, k)), values((k, n)), values((m, n)), values((k, n)), values((m, k))
        bias = rng.standard_normal(n).astype(np.float32)
        dw0 = rng.standard_normal((k, n)).astype(np.float32)
        typed = {name: d.upload(encoded(v, dtype)) for name, v in dict(a=a, b=b, dy=dy, w=w, x=x).items()}
        wide = {name: d.upload(v) for name, v in dict(a=a, b=b, dy=dy, w=w, x=x).items()}
        p_bias = d.upload(bias)
        out = {name: d.alloc(size * 4) for name, size in
               dict(out=m * n, out32=m * n, dx=m * k, dx32=m * k).items()}
        out["dw"], out["dw32"] = d.upload(dw0), d.upload(dw0)
        try:
            d.clear_launches()
            engine.forward((out["out"], typed["a"], typed["b"], p_bias), (m, k, n), dtype, 0)
            engine.backward_dx((out["dx"], typed["dy"], typed["w"]), (m, k, n), dtype, 0)
            engine.backward_dw((out["dw"], typed["dy"], typed["x"]), (m, k, n), dtype, 0)
            casts = [kn for kn in d.launched_kernels() if kn.startswith("tvn_cast_")]
            assert len(casts) == 8, casts  # 2 up + 1 down, 2 up + 1 down, 2 up
            engine.forward((out["out32"], wide["a"], wide["b"], p_bias), (m, k, n), "f32", 0)
            engine.backward_dx((out["dx32"], wide["dy"], wide["w"]), (m, k, n), "f32", 0)
            engine.backward_dw((out["dw32"], wide["dy"], wide["x"]), (m, k, n), "f32", 0)
            engine.synchronize()
            storage = np.float16 if dtype == "f16" else np.uint16
            for name, shape in (("out", (m, n)), ("dx", (m, k))):
                got = d.download(out[name], shape, storage).view(np.uint16)
                expected = encoded(d.download(out[name + "32"], shape, np.float32), dtype)
                assert np.array_equal(got, expected.view(np.uint16)), (dtype, name)
            assert np.array_equal(d.download(out["dw"], (k, n), np.uint32),
                                  d.download(out["dw32"], (k, n), np.uint32)), dtype
        finally:
            for p in list(typed.values()) + list(wide.values()) + list(out.values()) + [p_bias]:
                d.free(p)


def test_caller_stream_and_engine_stream_order_each_other(engine, executing):
    # The simulated device runs queued work only when something waits for
    # it, and then only what that work depends on: a missing or misdirected
    # event leaves the data stale here instead of correct by luck.
    d = executing
    layer = Layer(d, 64, 32, 48, "f32", seed=4)
    stream = d.stream_create()
    try:
        expected = layer.a.astype(np.float64) @ layer.b + layer.bias
        # Caller -> engine: `a` arrives on the caller's stream only; waiting
        # for the engine's stream alone must bring it in before the product.
        d.upload_into(layer.ptrs["a"], np.zeros_like(layer.a))
        assert d.lib.cuMemcpyHtoDAsync_v2(
            ctypes.c_uint64(layer.ptrs["a"]), layer.a.ctypes.data_as(ctypes.c_void_p),
            ctypes.c_size_t(layer.a.nbytes), ctypes.c_void_p(stream)) == 0
        layer.forward(engine, stream)
        engine.synchronize()
        np.testing.assert_allclose(layer.result(), expected, rtol=1e-4, atol=1e-4)

        # Engine -> caller: waiting for the caller's stream alone must run
        # the engine's kernels of that call.
        d.clear_launches()
        layer.forward(engine, stream)
        d.stream_synchronize(stream)
        ran = [entry.executed for entry in d.launches()]
        assert ran and all(ran)
    finally:
        d.stream_destroy(stream)
        layer.free()


def test_waiting_calls_release_the_interpreter_lock(engine, executing):
    # A forced switch of the interpreter lock is put off for longer than the
    # wait lasts: the main thread runs during synchronize() only if the call
    # itself lets go of the lock.
    d = executing
    if not d.simulated:
        pytest.skip("on a GPU the wait is too short to observe")
    m = 256  # about a third of a second of simulated work
    a, b, out = d.alloc(m * m * 4), d.alloc(m * m * 4), d.alloc(m * m * 4)
    started, done = threading.Event(), threading.Event()

    def wait_for_engine():
        started.set()
        engine.synchronize()
        done.set()

    interval = sys.getswitchinterval()
    try:
        engine.forward((out, a, b, None), (m, m, m), "f32", 0)
        sys.setswitchinterval(30)
        waiter = threading.Thread(target=wait_for_engine)
        waiter.start()
        started.wait()
        ticks = 0
        while not done.is_set():
            ticks += 1
            time.sleep(0.001)
        waiter.join()
    finally:
        sys.setswitchinterval(interval)
        for p in (a, b, out):
            d.free(p)
    assert ticks > 0
