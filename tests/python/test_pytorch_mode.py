"""batch_invariant_mode: plain PyTorch code on the engine, forward and
backward; nesting, exceptions, threads, fallbacks and restoration."""

import threading
import warnings

import pytest
import torch
import torch.nn.functional as F

import tesvan.pytorch as tp
from tesvan.pytorch import _route
from torch_support import DEVICE, kernels_launched, randn, same_bits

warnings.filterwarnings("ignore", message="CUDA initialization")

MM, ADDMM = "aten.mm.default", "aten.addmm.default"


def engine_mm(a, b, tc=False):
    return _route.mm(a, b, tensor_cores=tc, batch_invariant=True)


def test_plain_linear_code_gets_the_engines_bits_forward_and_backward():
    x, w, b = randn(24, 40), randn(36, 40, seed=1), randn(36, seed=2)
    g = randn(24, 36, seed=3)
    expected = [t.detach() for t in (x, w, b)]
    for t in expected:
        t.requires_grad_()
    y_ref = tp.linear(*expected)
    (y_ref * g).sum().backward()
    x, w, b = (t.detach().clone().requires_grad_() for t in (x, w, b))
    tp.stats(reset=True)
    with tp.batch_invariant_mode():
        y = F.linear(x, w, b)
        (y * g).sum().backward()
    assert same_bits(y, y_ref) and same_bits(x.grad, expected[0].grad)
    assert same_bits(w.grad, engine_mm(x.t(), g).t())  # autograd's mm(xᵀ, dy), on the engine
    counts = tp.stats()
    assert counts[f"{ADDMM}/engine"] == 1 and counts[f"{MM}/engine"] == 2
    assert not any("fallback" in key for key in counts)


def test_matmul_and_out_forms_route_to_the_engine():
    a, b, c = randn(12, 20), randn(20, 16, seed=1), randn(16, seed=2)
    out, out2 = torch.empty(0, device=DEVICE), torch.empty(12, 16, device=DEVICE)
    with tp.batch_invariant_mode():
        via_matmul = torch.matmul(a, b)
        torch.mm(a, b, out=out)
        torch.addmm(c, a, b, out=out2)
        scaled = torch.addmm(c, a, b, beta=0.5, alpha=2.0)
    product = engine_mm(a, b)
    assert same_bits(via_matmul, product) and same_bits(out, product)
    assert same_bits(out2, product + c)
    assert same_bits(scaled, product * 2.0 + c * 0.5)


def test_a_samples_logits_keep_their_bits_across_batch_sizes():
    torch.manual_seed(0)
    model = torch.nn.Sequential(torch.nn.Linear(48, 64), torch.nn.GELU(),
                                torch.nn.Linear(64, 10)).to(DEVICE)
    sample = randn(1, 48, seed=5)
    rows = []
    with tp.batch_invariant_mode():
        for batch in (1, 7, 64):
            x = torch.cat([sample, randn(batch - 1, 48, seed=batch)])
            rows.append(model(x)[0].detach())
    assert all(same_bits(r, rows[0]) for r in rows)


def test_nesting_restores_each_level_and_exceptions_unwind(driver):
    a, b = randn(64, 64, dtype=torch.bfloat16), randn(64, 64, dtype=torch.bfloat16, seed=1)

    def launched():
        return kernels_launched(driver, lambda: torch.mm(a, b))

    with tp.batch_invariant_mode():
        outer = launched()
        with tp.batch_invariant_mode(tensor_cores=True):
            inner = launched()
        after_inner = launched()
        with pytest.raises(ZeroDivisionError):
            with tp.batch_invariant_mode(tensor_cores=True):
                1 / 0
        after_exception = launched()
    outside = launched()
    if driver.simulated:
        assert outer and not any("_tc" in k for k in outer)
        assert inner and all("_tc" in k for k in inner)
        assert after_inner == outer and after_exception == outer
        assert outside == []
    tp.stats(reset=True)
    torch.mm(a, b)
    assert tp.stats() == {}


def test_the_mode_is_per_thread():
    a, b = randn(32, 24), randn(24, 16, seed=1)
    torch_bits, engine_bits = torch.mm(a, b), engine_mm(a, b)
    results, inside = {}, threading.Barrier(2)
    tp.stats(reset=True)

    def in_mode():
        with tp.batch_invariant_mode():
            inside.wait()
            results["mode"] = [torch.mm(a, b) for _ in range(5)]
            inside.wait()

    def plain():
        inside.wait()
        results["plain"] = [torch.mm(a, b) for _ in range(5)]
        inside.wait()

    threads = [threading.Thread(target=f) for f in (in_mode, plain)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(same_bits(r, engine_bits) for r in results["mode"])
    assert all(same_bits(r, torch_bits) for r in results["plain"])
    assert tp.stats() == {f"{MM}/engine": 5}  # only the thread in the mode used the engine


def test_unsupported_products_fall_back_and_are_counted():
    tp.stats(reset=True)
    a64 = torch.ones(4, 3, dtype=torch.float64, device=DEVICE)
    ints = torch.ones(4, 3, dtype=torch.int64, device=DEVICE)
    with tp.batch_invariant_mode():
        assert torch.equal(torch.mm(a64, a64.t()), torch.full((4, 4), 3.0, dtype=torch.float64))
        assert torch.equal(ints @ ints.t(), torch.full((4, 4), 3, device=DEVICE))
        torch.mm(randn(4, 3), randn(3, 2))
    assert tp.stats() == {f"{MM}/fallback: dtype torch.float64": 1,
                          f"{MM}/fallback: dtype torch.int64": 1, f"{MM}/engine": 1}
