"""torch.compile(fullgraph=True) keeps the tesvan ops in one graph and gives
the eager bits, forward and backward; a dynamic batch compiles once."""

import warnings

import pytest
import torch
from torch._dynamo.testing import CompileCounterWithBackend

import tesvan.pytorch as tp
from torch_support import DEVICE, randn, same_bits

warnings.filterwarnings("ignore", message="CUDA initialization")


def step(x, w1, b1, w2):
    """A two-layer MLP whose other ops are exact (no reduction for the
    compiler to reorder), so any difference in bits is the tesvan ops'."""
    return tp.linear(torch.relu(tp.linear(x, w1, b1)), w2)


def parameters():
    return [randn(32, 16, seed=1, scale=0.3).requires_grad_(), randn(32, seed=2).requires_grad_(),
            randn(8, 32, seed=3, scale=0.3).requires_grad_()]


def loss_and_grads(fn, x):
    params = parameters()
    y = fn(x, *params)
    y.backward(randn(*y.shape, seed=4))
    return [y.detach()] + [p.grad for p in params]


@pytest.fixture(autouse=True)
def fresh_dynamo():
    torch._dynamo.reset()
    yield
    torch._dynamo.reset()


@pytest.mark.parametrize("backend", ["aot_eager", "inductor"])
def test_compiled_step_gives_the_eager_bits(backend):
    x = randn(12, 16)
    eager = loss_and_grads(step, x)
    compiled = loss_and_grads(torch.compile(step, backend=backend, fullgraph=True), x)
    assert all(same_bits(e, c) for e, c in zip(eager, compiled))


def test_dynamic_batch_sizes_compile_once():
    counter = CompileCounterWithBackend("aot_eager")
    compiled = torch.compile(step, backend=counter, fullgraph=True)
    for batch in (5, 9, 17, 33):
        x = randn(batch, 16, seed=batch)
        torch._dynamo.mark_dynamic(x, 0)
        assert all(same_bits(e, c) for e, c in zip(loss_and_grads(step, x),
                                                    loss_and_grads(compiled, x)))
    assert counter.frame_count == 1


def test_compiled_main_grad_accumulation_matches_eager():
    x, g = randn(12, 16), randn(12, 32, seed=5)

    def f(x, w, main_grad):
        return tp.linear(x, w, main_grad=main_grad)

    grads = []
    for fn in (f, torch.compile(f, backend="aot_eager", fullgraph=True)):
        w, main_grad = parameters()[0], torch.zeros(32, 16, device=DEVICE)
        for _ in range(2):
            fn(x, w, main_grad).backward(g)
        assert w.grad is None
        grads.append(main_grad)
    assert same_bits(*grads) and grads[0].any()
