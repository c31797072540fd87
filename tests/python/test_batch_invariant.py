"""The batch-invariant mode through the module: the keyword-only flag, its
attribute, and the routing it selects (launches recorded, not run)."""

import gc

import pytest

import _tesvan
from support import raised


@pytest.fixture(scope="module")
def invariant(driver):
    engine = _tesvan.Engine(0, batch_invariant=True)
    yield engine
    # Gone before the next module, whose tests count the device's live objects
    # (a traceback kept by a test may hold it in a reference cycle).
    del engine
    gc.collect()


def test_the_flag_is_keyword_only_and_readable(engine, invariant):
    assert engine.batch_invariant is False
    assert invariant.batch_invariant is True
    assert _tesvan.Engine(0, batch_invariant=False).batch_invariant is False
    e = raised(lambda: setattr(invariant, "batch_invariant", False))
    assert isinstance(e, AttributeError)
    e = raised(lambda: _tesvan.Engine(0, True))
    assert type(e) is TypeError
    assert str(e) == "Engine.__init__() takes 2 positional arguments but 3 were given"
    e = raised(lambda: _tesvan.Engine(0, batch_invariant=1))
    assert type(e) is TypeError and e.__notes__ == ["while processing 'batch_invariant'"]
    # The device is converted (and reported) before the flag.
    e = raised(lambda: _tesvan.Engine("0", batch_invariant=1))
    assert e.__notes__ == ["while processing 'device'"]


PTRS = (0x1000, 0x2000, 0x3000, 0)


@pytest.mark.parametrize("op,dims,dtype,default,mode", [
    # ultra-thin tree by default; the 16 x 16 chain tile in the mode
    ("forward", (8, 512, 128), "f32", "tesvan_nn_ultra_thin", "tesvan_nn_narrow_small"),
    # split-K partial + reduce by default; one chain launch in the mode
    ("forward", (64, 512, 128), "f32", "tesvan_nn_splitk32_partial", "tesvan_nn_narrow_small"),
    ("backward_dx", (64, 128, 128), "f32", "tesvan_transpose_f32_2d", "tesvan_nt_narrow"),
    # below 64 rows the default leaves the tensor-core tier; the mode keeps it
    ("forward", (7, 512, 128), "bf16", "tesvan_nn_ultra_thin_bf16", "tesvan_nn_tc64_bf16"),
])
def test_the_mode_routes_forward_and_dx_to_one_launch_of_its_order(engine, invariant, sim, op,
                                                                   dims, dtype, default, mode):
    ptrs = PTRS if op == "forward" else PTRS[:3]
    for e, first, count in ((engine, default, None), (invariant, mode, 1)):
        sim.clear_launches()
        getattr(e, op)(ptrs, dims, dtype, 0, tensor_cores=True)
        kernels = sim.launched_kernels()
        assert kernels[0] == first
        if count:
            assert len(kernels) == count


def test_backward_dw_keeps_its_dispatch_in_the_mode(engine, invariant, sim):
    ptrs = PTRS[:3]
    for dims in [(8, 512, 128), (4096, 1024, 1024), (64, 128, 1)]:
        logs = []
        for e in (engine, invariant):
            sim.clear_launches()
            e.backward_dw(ptrs, dims, "f32", 0)
            logs.append(sim.launched_kernels())
        assert logs[0] == logs[1] and logs[0]


def test_an_unserved_shape_fails_alike_for_every_batch_size(invariant, sim):
    for m in (1, 64, 1025):
        e = raised(lambda: invariant.forward(PTRS, (m, 0, 5), "f32", 0))
        assert str(e) == (f"tesvan: tesvan_forward (batch-invariant): no deterministic bucket "
                          f"for shape M={m} K=0 N=5 in this tier")
    assert sim.launched_kernels() == []
