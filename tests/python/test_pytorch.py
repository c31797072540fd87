"""tesvan.pytorch end to end: the custom ops under torch.library.opcheck, the
numerics and bits of linear through autograd, Linear and convert, and the
router's input handling as the engine's launch log shows it."""

import warnings

import pytest
import torch

import tesvan.pytorch as tp
from tesvan.pytorch import _route, ops
from torch_support import DEVICE, DTYPES, bits, kernels_launched, randn, same_bits

warnings.filterwarnings("ignore", message="CUDA initialization")  # torch probing the simulator


def run_linear(x, w, b, g, **kw):
    """Forward and backward of tesvan's linear with upstream gradient g."""
    x, w = x.detach().requires_grad_(), w.detach().requires_grad_()
    b = None if b is None else b.detach().requires_grad_()
    y = tp.linear(x, w, b, **kw)
    (y * g).sum().backward()
    return y.detach(), x.grad, w.grad, None if b is None else b.grad


# ---- opcheck: schemas, fake kernels, autograd registration, tracing ------------------


def opcheck_cases():
    for dtype in DTYPES:
        yield f"contiguous-{dtype}", lambda d=dtype: (randn(6, 8, dtype=d), randn(5, 8, dtype=d),
                                                     randn(5, dtype=d, seed=1))
    yield "no-bias", lambda: (randn(6, 8), randn(5, 8), None)
    yield "transposed-weight", lambda: (randn(6, 8), randn(8, 5).t(), randn(5))
    yield "3d-input", lambda: (randn(2, 3, 8), randn(5, 8), randn(5))
    yield "main-grad", lambda: (randn(6, 8), randn(5, 8), None, torch.zeros(5, 8, device=DEVICE))


@pytest.mark.parametrize("case", [c for _, c in opcheck_cases()], ids=[n for n, _ in opcheck_cases()])
@pytest.mark.parametrize("batch_invariant", [True, False])
def test_opcheck_linear(case, batch_invariant):
    x, w, b, *main_grad = case()
    for t in (x, w, b):
        if t is not None:
            t.requires_grad_()
    torch.library.opcheck(ops.linear, (x, w, b, *(main_grad or [None]), False, batch_invariant))


@pytest.mark.parametrize("dtype", DTYPES)
def test_opcheck_gradient_ops(dtype):
    dy, x, w = randn(6, 5, dtype=dtype), randn(6, 8, dtype=dtype, seed=1), randn(5, 8, dtype=dtype)
    torch.library.opcheck(ops.linear_dx, (dy, w, False, True))
    torch.library.opcheck(ops.linear_dw, (dy, x, False, True))
    torch.library.opcheck(ops.linear_dw_accumulate, (randn(5, 8, seed=3), dy, x, False, True))
    torch.library.opcheck(ops.linear_db, (dy, True))


# ---- numerics against float64 --------------------------------------------------------

# Unit roundoff of each dtype: the results are f32 accumulations rounded once
# (twice with the bias), so 4u of the magnitude sum bounds them; f32 itself
# gets the classic (K + 2)u, far below what a TF32 product would give.
UNIT = {torch.float32: 2.0**-24, torch.bfloat16: 2.0**-8, torch.float16: 2.0**-11}


@pytest.mark.parametrize("dtype,tc", [(torch.float32, False), (torch.bfloat16, False),
                                      (torch.bfloat16, True), (torch.float16, True)])
@pytest.mark.parametrize("shape", [(2, 9, 24, 20), (70, 1, 40, 72)])
def test_linear_forward_and_backward_match_float64(dtype, tc, shape):
    *lead, k, n = shape
    x, w = randn(*lead, k, dtype=dtype), randn(n, k, dtype=dtype, seed=1)
    b, g = randn(n, dtype=dtype, seed=2), randn(*lead, n, dtype=dtype, seed=3)
    y, dx, dw, db = run_linear(x, w, b, g, tensor_cores=tc)
    assert (y.dtype, dx.dtype, dw.dtype, db.dtype) == (dtype,) * 4
    x64, w64, b64, g64 = (t.double().cpu() for t in (x, w, b, g))
    x2, g2 = x64.reshape(-1, k), g64.reshape(-1, n)
    reach = k + 2 if dtype == torch.float32 else 4
    for got, want, size in [
        (y, x64 @ w64.T + b64, x64.abs() @ w64.abs().T + b64.abs()),
        (dx, g64 @ w64, g64.abs() @ w64.abs()),
        (dw, g2.T @ x2, g2.abs().T @ x2.abs()),
        (db, g2.sum(0), g2.abs().sum(0)),
    ]:
        err = (got.double().cpu() - want).abs()
        assert (err <= reach * UNIT[dtype] * size + 1e-30).all(), err.max()


def test_float32_stays_ieee_float32():
    # TF32 keeps 10 mantissa bits: at K = 256 its error would be ~1e-3 of the
    # magnitude sum, where IEEE f32 stays below 258 * 2^-24.
    x, w = randn(32, 256), randn(48, 256, seed=1)
    y = tp.linear(x, w).double().cpu()
    ref = x.double().cpu() @ w.double().cpu().T
    size = x.double().cpu().abs() @ w.double().cpu().abs().T
    assert ((y - ref).abs() / size).max() < 258 * 2.0**-24


# ---- determinism and batch invariance through autograd -------------------------------


@pytest.mark.parametrize("dtype,tc", [(torch.float32, False), (torch.bfloat16, True)])
def test_forward_and_backward_twice_give_identical_bits(dtype, tc):
    x, w, b = randn(37, 48, dtype=dtype), randn(40, 48, dtype=dtype, seed=1), randn(40, dtype=dtype)
    g = randn(37, 40, dtype=dtype, seed=3)
    first, second = (run_linear(x, w, b, g, tensor_cores=tc) for _ in range(2))
    assert all(same_bits(p, q) for p, q in zip(first, second))


@pytest.mark.parametrize("dtype,tc", [(torch.float32, False), (torch.bfloat16, False),
                                      (torch.bfloat16, True), (torch.float16, True)])
def test_a_samples_logits_and_dx_keep_their_bits_in_any_batch(dtype, tc):
    k, n = 80, 72
    w, b = randn(n, k, dtype=dtype, seed=1), randn(n, dtype=dtype, seed=2)
    sample, g0 = randn(1, k, dtype=dtype, seed=3), randn(1, n, dtype=dtype, seed=4)
    rows = {}
    for batch in (1, 7, 64, 300):
        x = torch.cat([sample, randn(batch - 1, k, dtype=dtype, seed=batch)])
        g = torch.cat([g0, randn(batch - 1, n, dtype=dtype, seed=batch + 1)])
        y, dx, _, _ = run_linear(x, w, b, g, tensor_cores=tc)
        rows[batch] = (y[0], dx[0])
    for batch, (y0, dx0) in rows.items():
        assert same_bits(y0, rows[1][0]), f"logits differ at batch {batch}"
        assert same_bits(dx0, rows[1][1]), f"dx differs at batch {batch}"


def test_main_grad_accumulates_micro_batches_in_float32():
    torch.manual_seed(0)
    layer = tp.Linear(24, 16, dtype=torch.bfloat16, device=DEVICE, main_grad=True)
    micro = [(randn(5, 24, dtype=torch.bfloat16, seed=s), randn(5, 16, dtype=torch.bfloat16, seed=s + 9))
             for s in range(3)]
    for x, g in micro:
        (layer(x) * g).sum().backward()
    assert layer.weight.grad is None and layer.bias.grad is not None
    main = layer.weight.main_grad
    assert main.dtype == torch.float32 and main.shape == layer.weight.shape
    ref = sum(g.double().cpu().T @ x.double().cpu() for x, g in micro)
    size = sum(g.double().cpu().abs().T @ x.double().cpu().abs() for x, g in micro)
    # Accumulated in f32 throughout: a bf16 rounding per micro-batch would cost 2^-9 of size.
    assert ((main.double().cpu() - ref).abs() <= 20 * 2.0**-24 * size).all()
    main.zero_()
    x, g = micro[0]
    (layer(x) * g).sum().backward()
    assert same_bits(main, ops.linear_dw(g, x, False, True))


def train(seed, steps=20):
    torch.manual_seed(seed)
    model = tp.convert(torch.nn.Sequential(torch.nn.Linear(16, 32), torch.nn.ReLU(),
                                           torch.nn.Linear(32, 4))).to(DEVICE)
    opt = torch.optim.AdamW(model.parameters(), lr=1e-2)
    x, target = randn(24, 16, seed=seed), randn(24, 4, seed=seed + 1)
    losses = []
    for _ in range(steps):
        opt.zero_grad()
        loss = torch.nn.functional.mse_loss(model(x), target)
        loss.backward()
        opt.step()
        losses.append(loss.detach())
    return torch.stack(losses), [p.detach().clone() for p in model.parameters()]


def test_training_loop_twice_gives_identical_losses_and_parameters():
    (losses_a, params_a), (losses_b, params_b) = train(7), train(7)
    assert same_bits(losses_a, losses_b)
    assert all(same_bits(p, q) for p, q in zip(params_a, params_b))
    assert losses_a[-1] < losses_a[0]


# ---- Linear and convert -------------------------------------------------------------


def test_linear_module_is_a_drop_in_nn_linear():
    torch.manual_seed(3)
    ours = tp.Linear(12, 6, tensor_cores=True)
    torch.manual_seed(3)
    theirs = torch.nn.Linear(12, 6)
    assert isinstance(ours, torch.nn.Linear)
    assert ours.state_dict().keys() == theirs.state_dict().keys()
    assert all(torch.equal(p, q) for p, q in zip(ours.state_dict().values(),
                                                   theirs.state_dict().values()))
    ours.load_state_dict(theirs.state_dict())
    x = randn(4, 12)
    torch.testing.assert_close(ours.to(DEVICE)(x), theirs.to(DEVICE)(x), rtol=1e-5, atol=1e-5)
    assert "tensor_cores=True" in repr(ours)


def test_convert_swaps_plain_linears_in_place_and_keeps_parameters():
    attention = torch.nn.MultiheadAttention(8, 2)  # its out_proj is an nn.Linear subclass
    model = torch.nn.Sequential(torch.nn.Linear(8, 8), attention, torch.nn.Linear(8, 2))
    params = [id(p) for p in model.parameters()]
    keys = list(model.state_dict())
    assert tp.convert(model, tensor_cores=True, batch_invariant=False) is model
    assert [type(m) for m in (model[0], model[2])] == [tp.Linear, tp.Linear]
    assert type(attention.out_proj) is not tp.Linear
    assert (model[2].tensor_cores, model[2].batch_invariant) == (True, False)
    assert [id(p) for p in model.parameters()] == params and list(model.state_dict()) == keys


# ---- input handling ------------------------------------------------------------------


def linear_kernels(driver, x, w, b=None, backward=True, **kw):
    def step():
        y = tp.linear(x, w, b, **kw)
        if backward and y.requires_grad:
            y.sum().backward()
    return kernels_launched(driver, step)


def test_weight_layout_picks_the_product_without_transposing(driver):
    if not driver.simulated:
        pytest.skip("reads the simulated device's launch log")
    x, w = randn(40, 24), randn(20, 24, seed=1)
    as_stored = linear_kernels(driver, x, w, backward=False)
    as_view = linear_kernels(driver, x, w.t().contiguous().t(), backward=False)
    assert as_stored and all(k.startswith("tesvan_nt") for k in as_stored)  # dX kernels: y = x·wᵀ
    assert as_view and all(k.startswith("tesvan_nn") for k in as_view)  # forward kernels: y = x·(wᵀ)
    ref = x.double() @ w.double().T
    torch.testing.assert_close(tp.linear(x, w.t().contiguous().t()).double(), ref, rtol=1e-5, atol=1e-5)


def test_strided_and_misaligned_operands_are_copied(driver):
    storage = randn(1 + 40 * 24)
    misaligned = storage[1:].view(40, 24)  # 4 bytes past a 16-byte boundary
    strided = randn(40, 48)[:, ::2]
    w = randn(36, 24, seed=1)
    for x in (misaligned, strided):
        assert x.data_ptr() % 16 or not x.is_contiguous()
        y, dx, dw, _ = run_linear(x, w, None, randn(40, 36, seed=2))
        torch.testing.assert_close(y.double(), x.double() @ w.double().T, rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("m,k,n", [(0, 8, 5), (6, 8, 0), (0, 0, 0)])
def test_empty_products_launch_nothing(driver, m, k, n):
    x, w, b = randn(m, k).requires_grad_(), randn(n, k).requires_grad_(), randn(n).requires_grad_()
    launched = kernels_launched(driver, lambda: tp.linear(x, w, b).sum().backward())
    if driver.simulated:
        assert launched == []
    assert x.grad.shape == (m, k) and not x.grad.any()
    assert w.grad.shape == (n, k) and not w.grad.any() and not b.grad.any()


def test_empty_reduction_gives_the_bias_and_launches_no_product(driver):
    x, w, b = randn(6, 0), randn(5, 0), randn(5)
    launched = kernels_launched(driver, lambda: torch.testing.assert_close(
        tp.linear(x, w, b), b.expand(6, 5)))
    assert not driver.simulated or launched == []


def test_frozen_parameters_launch_no_gradient_kernels(driver):
    if not driver.simulated:
        pytest.skip("reads the simulated device's launch log")
    x, w, b = randn(40, 24).requires_grad_(), randn(20, 24, seed=1), randn(20)
    backward = linear_kernels(driver, x, w, b)
    assert not any(k.startswith("tesvan_tn") for k in backward)  # no dW, no db
    x.requires_grad_(False)
    w.requires_grad_()
    only_dw = linear_kernels(driver, x, w, b)
    assert only_dw and not any(k.startswith("tesvan_nn") for k in only_dw)  # no dX


def test_products_beyond_the_kernels_int_range_run_in_row_chunks(driver, monkeypatch):
    x, w, g = randn(100, 32), randn(24, 32, seed=1), randn(100, 24, seed=2)
    whole = run_linear(x, w, None, g)
    whole_kernels = linear_kernels(driver, x, w, backward=False)
    monkeypatch.setattr(_route, "MAX_ELEMENTS", 32 * 40)  # 32 rows of x per chunk
    chunked = run_linear(x, w, None, g)
    chunked_kernels = linear_kernels(driver, x, w, backward=False)
    assert same_bits(whole[0], chunked[0]) and same_bits(whole[1], chunked[1])
    torch.testing.assert_close(whole[2], chunked[2])  # dW: chunks accumulate in row order
    if driver.simulated:
        assert len(chunked_kernels) == 4 * len(whole_kernels)
    monkeypatch.setattr(_route, "MAX_ELEMENTS", 24 * 32 - 1)
    with pytest.raises(ValueError, match="cannot be split"):
        tp.linear(x, w)


@pytest.mark.parametrize("dtype", [torch.float64, torch.int32, torch.float8_e4m3fn])
def test_unsupported_dtypes_raise_type_error(dtype):
    x, w = torch.zeros(4, 8, dtype=dtype, device=DEVICE), torch.zeros(3, 8, dtype=dtype, device=DEVICE)
    with pytest.raises(TypeError, match=f"unsupported dtype {dtype}"):
        tp.linear(x, w)
    with pytest.raises(TypeError, match="mixed dtypes"):
        tp.linear(randn(4, 8), randn(3, 8, dtype=torch.bfloat16))


def test_autocast_casts_like_aten_linear():
    x, w, b = randn(8, 16), randn(4, 16, seed=1).requires_grad_(), randn(4, seed=2).requires_grad_()
    with torch.autocast(DEVICE.type, dtype=torch.bfloat16):
        y = tp.linear(x, w, b)
    assert same_bits(y, tp.linear(x.bfloat16(), w.bfloat16(), b.bfloat16()))
    y.float().sum().backward()
    assert w.grad.dtype == b.grad.dtype == torch.float32  # through the casts to the f32 leaves


def test_shape_mismatches_are_refused_before_any_launch(driver):
    def bad_calls():
        for call in (lambda: tp.linear(randn(4, 8), randn(3, 7)),
                     lambda: ops.linear_dw_accumulate(torch.zeros(3, 9, device=DEVICE),
                                                      randn(4, 3), randn(4, 8), False, True)):
            with pytest.raises(ValueError, match="cannot be multiplied"):
                call()
    assert kernels_launched(driver, bad_calls) == [] or not driver.simulated
