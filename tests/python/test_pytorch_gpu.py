"""What only a GPU can show: streams, the caching allocator, CUDA Graph
capture and replay of a training step, autocast and compile on CUDA, and
speed beside torch.matmul.  Skipped without a GPU; scripts/gpu-check runs them."""

import time

import pytest
import torch

import tesvan
import tesvan.pytorch as tp
from torch_support import same_bits

pytestmark = pytest.mark.skipif(not torch.cuda.is_available(), reason="needs a CUDA GPU")


def cuda_randn(*shape, dtype=torch.float32, seed=0):
    g = torch.Generator(device="cuda").manual_seed(seed)
    return torch.randn(*shape, generator=g, device="cuda").to(dtype)


def test_work_is_ordered_on_the_callers_stream():
    x, w = cuda_randn(512, 1024), cuda_randn(768, 1024, seed=1)
    expected = tp.linear(x, w)
    side = torch.cuda.Stream()
    side.wait_stream(torch.cuda.current_stream())
    with torch.cuda.stream(side):
        for _ in range(3):
            produced = x * 1.0  # written on the side stream just before the product reads it
            y = tp.linear(produced, w)
            y.add_(0.0)  # and read on it right after
    torch.cuda.current_stream().wait_stream(side)
    assert same_bits(y, expected)


def test_steady_state_reuses_the_caching_allocator():
    model = tp.convert(torch.nn.Sequential(torch.nn.Linear(1024, 1024), torch.nn.ReLU(),
                                           torch.nn.Linear(1024, 256))).cuda()
    x = cuda_randn(256, 1024)
    for _ in range(2):
        model(x).sum().backward()
    torch.cuda.synchronize()
    allocated, reserved = torch.cuda.memory_allocated(), torch.cuda.memory_reserved()
    for _ in range(5):
        model(x).sum().backward()
    torch.cuda.synchronize()
    assert torch.cuda.memory_allocated() == allocated and torch.cuda.memory_reserved() == reserved


def test_cuda_graph_replays_a_training_step_with_the_eager_bits():
    torch.manual_seed(0)
    model = tp.convert(torch.nn.Sequential(torch.nn.Linear(256, 512), torch.nn.GELU(),
                                           torch.nn.Linear(512, 64))).cuda().bfloat16()
    params = list(model.parameters())
    x, target = cuda_randn(128, 256, dtype=torch.bfloat16), cuda_randn(128, 64, dtype=torch.bfloat16)

    def step():
        for p in params:
            p.grad = None
        loss = torch.nn.functional.mse_loss(model(x), target)
        loss.backward()
        with torch.no_grad():
            for p in params:
                p.sub_(p.grad, alpha=1e-2)
        return loss

    start = [p.detach().clone() for p in params]
    side = torch.cuda.Stream()
    side.wait_stream(torch.cuda.current_stream())
    with torch.cuda.stream(side):  # warm-up creates every scratch buffer before capture
        eager = [step().detach().clone() for _ in range(3)]
    torch.cuda.current_stream().wait_stream(side)
    with torch.no_grad():
        for p, s in zip(params, start):
            p.copy_(s)
    graph = torch.cuda.CUDAGraph()
    with torch.cuda.graph(graph):
        captured = step()
    with torch.no_grad():
        for p, s in zip(params, start):
            p.copy_(s)
    replayed = []
    for _ in range(3):
        graph.replay()
        replayed.append(captured.detach().clone())
    assert all(same_bits(a, b) for a, b in zip(eager, replayed))


def test_autocast_on_cuda():
    x, w = cuda_randn(64, 128), cuda_randn(96, 128, seed=1)
    with torch.autocast("cuda", dtype=torch.bfloat16):
        y = tp.linear(x, w, tensor_cores=True)
    assert y.dtype == torch.bfloat16
    assert same_bits(y, tp.linear(x.bfloat16(), w.bfloat16(), tensor_cores=True))


def test_compile_on_cuda_gives_the_eager_bits():
    w = cuda_randn(256, 512, seed=1).requires_grad_()
    x = cuda_randn(128, 512)

    def f(x, w):
        return torch.relu(tp.linear(x, w))

    eager = f(x, w)
    compiled = torch.compile(f, fullgraph=True)(x, w)
    assert same_bits(eager, compiled)


@pytest.mark.parametrize("dtype,tc", [(torch.float32, False), (torch.bfloat16, True)])
def test_speed_beside_torch_matmul(dtype, tc):
    m = k = n = 4096
    x, w = cuda_randn(m, k, dtype=dtype), cuda_randn(n, k, dtype=dtype, seed=1)
    torch.backends.cuda.matmul.allow_tf32 = False

    def timed(fn):
        fn()
        torch.cuda.synchronize()
        start = time.perf_counter()
        for _ in range(10):
            fn()
        torch.cuda.synchronize()
        return (time.perf_counter() - start) / 10

    ours = timed(lambda: tp.linear(x, w, tensor_cores=tc))
    theirs = timed(lambda: torch.nn.functional.linear(x, w))
    print(f"\n{dtype} tc={tc} {m}x{k}x{n}: tesvan {2 * m * k * n / ours / 1e12:.1f} TFLOP/s, "
          f"torch {2 * m * k * n / theirs / 1e12:.1f} TFLOP/s")
    assert ours < 20 * theirs
    assert tesvan.get_engine(torch.cuda.current_device(), batch_invariant=True).batch_invariant


def test_neutral_matmul_takes_torch_tensors_and_allocates_the_output():
    a, b = cuda_randn(96, 64, dtype=torch.bfloat16), cuda_randn(64, 80, dtype=torch.bfloat16, seed=1)
    bias = cuda_randn(80, seed=2)
    out = tesvan.matmul(a, b, bias=bias, stream=torch.cuda.current_stream().cuda_stream)
    assert out.dtype == torch.bfloat16 and out.shape == (96, 80)
    torch.testing.assert_close(out.float(), a.float() @ b.float() + bias, rtol=2e-2, atol=2e-2)
