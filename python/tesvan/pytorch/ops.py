"""The `tesvan::` custom ops: a linear layer's forward and its three gradient
products, with fake (meta) implementations for tracing, autograd and an
autocast rule, so that torch.compile(fullgraph=True) keeps them in one graph.

y = x·Wᵀ (+ b) is the engine's dX product with W as stored; dx = dy·W its
forward product; dW += dyᵀ·x its f32 weight-gradient product; db the same
product against a ones operand, a fixed-order sum without atomics.
"""

from __future__ import annotations

import math

import torch
from torch import Tensor

from . import _route

_lib = torch.library.Library("tesvan", "FRAGMENT")


def _flat(t: Tensor) -> Tensor:
    """The leading dims as rows (spelled out: -1 is ambiguous for empty tensors)."""
    return t.reshape(math.prod(t.shape[:-1]), t.shape[-1])


@torch.library.custom_op("tesvan::linear", mutates_args=())
def linear(x: Tensor, weight: Tensor, bias: Tensor | None, main_grad: Tensor | None,
           tensor_cores: bool, batch_invariant: bool) -> Tensor:
    """x[..., in] · weight[out, in]ᵀ (+ bias[out]); `main_grad` (f32, weight's
    shape) receives dW in backward instead of weight.grad."""
    _route.check(x, weight, *(() if bias is None else (bias,)))
    y = _route.mm(_flat(x), weight.t(), tensor_cores=tensor_cores, batch_invariant=batch_invariant)
    if bias is not None:
        y.add_(bias)
    return y.view(*x.shape[:-1], weight.shape[0])


@linear.register_fake
def _(x: Tensor, weight: Tensor, bias: Tensor | None, main_grad: Tensor | None,
      tensor_cores: bool, batch_invariant: bool) -> Tensor:
    return x.new_empty((*x.shape[:-1], weight.shape[0]))


@torch.library.custom_op("tesvan::linear_dx", mutates_args=())
def linear_dx(dy: Tensor, weight: Tensor, tensor_cores: bool, batch_invariant: bool) -> Tensor:
    """dx[M, in] = dy[M, out] · weight[out, in]."""
    return _route.mm(dy, weight, tensor_cores=tensor_cores, batch_invariant=batch_invariant)


@linear_dx.register_fake
def _(dy: Tensor, weight: Tensor, tensor_cores: bool, batch_invariant: bool) -> Tensor:
    return dy.new_empty((dy.shape[0], weight.shape[1]))


@torch.library.custom_op("tesvan::linear_dw", mutates_args=())
def linear_dw(dy: Tensor, x: Tensor, tensor_cores: bool, batch_invariant: bool) -> Tensor:
    """dW[out, in] = dy[M, out]ᵀ · x[M, in], in float32."""
    dw = torch.zeros((dy.shape[1], x.shape[1]), dtype=torch.float32, device=dy.device)
    _route.mm_accumulate(dw, dy.t(), x, tensor_cores=tensor_cores, batch_invariant=batch_invariant)
    return dw


@linear_dw.register_fake
def _(dy: Tensor, x: Tensor, tensor_cores: bool, batch_invariant: bool) -> Tensor:
    return dy.new_empty((dy.shape[1], x.shape[1]), dtype=torch.float32)


@torch.library.custom_op("tesvan::linear_dw_accumulate", mutates_args=("main_grad",))
def linear_dw_accumulate(main_grad: Tensor, dy: Tensor, x: Tensor, tensor_cores: bool,
                         batch_invariant: bool) -> None:
    """main_grad[out, in] (float32) += dy[M, out]ᵀ · x[M, in]."""
    _route.mm_accumulate(main_grad, dy.t(), x, tensor_cores=tensor_cores,
                         batch_invariant=batch_invariant)


@linear_dw_accumulate.register_fake
def _(main_grad: Tensor, dy: Tensor, x: Tensor, tensor_cores: bool, batch_invariant: bool) -> None:
    return None


# Two equal columns of ones: a one-column product would fall on shapes the
# weight-gradient kernels do not cover.
_ONES_COLUMNS = 2


@torch.library.custom_op("tesvan::linear_db", mutates_args=())
def linear_db(dy: Tensor, batch_invariant: bool) -> Tensor:
    """db[out] = the column sums of dy[M, out], in float32 and in row order."""
    ones = torch.ones((dy.shape[0], _ONES_COLUMNS), dtype=dy.dtype, device=dy.device)
    db = torch.zeros((dy.shape[1], _ONES_COLUMNS), dtype=torch.float32, device=dy.device)
    _route.mm_accumulate(db, dy.t(), ones, batch_invariant=batch_invariant)
    return db[:, 0].contiguous()


@linear_db.register_fake
def _(dy: Tensor, batch_invariant: bool) -> Tensor:
    return dy.new_empty((dy.shape[1],), dtype=torch.float32)


def _setup_context(ctx, inputs, output) -> None:  # type: ignore[no-untyped-def]
    x, weight, bias, main_grad, ctx.tensor_cores, ctx.batch_invariant = inputs
    ctx.bias_dtype = None if bias is None else bias.dtype
    ctx.save_for_backward(x, weight, main_grad)


def _backward(ctx, dy: Tensor):  # type: ignore[no-untyped-def]
    x, weight, main_grad = ctx.saved_tensors
    modes = (ctx.tensor_cores, ctx.batch_invariant)
    dy2 = _flat(dy).contiguous()
    dx = dw = db = None
    if ctx.needs_input_grad[0]:
        dx = linear_dx(dy2, weight, *modes).view(x.shape)
    if ctx.needs_input_grad[1]:
        if main_grad is None:
            dw = linear_dw(dy2, _flat(x), *modes).to(weight.dtype)
        else:
            linear_dw_accumulate(main_grad, dy2, _flat(x), *modes)
    if ctx.needs_input_grad[2]:
        db = linear_db(dy2, ctx.batch_invariant).to(ctx.bias_dtype)
    return dx, dw, db, None, None, None


linear.register_autograd(_backward, setup_context=_setup_context)


def _autocast(device_type: str):  # type: ignore[no-untyped-def]
    """Like aten::linear under autocast: x, weight and bias in the autocast
    dtype of the region (main_grad stays float32)."""
    key = getattr(torch._C.DispatchKey, "Autocast" + torch._C._dispatch_key_for_device(device_type))

    def kernel(keyset, x, weight, bias, main_grad, tensor_cores, batch_invariant):  # type: ignore[no-untyped-def]
        dtype = torch.get_autocast_dtype(device_type)

        def cast(t: Tensor | None) -> Tensor | None:
            return t.to(dtype) if t is not None and t.is_floating_point() else t

        with torch._C._ExcludeDispatchKeyGuard(torch._C.DispatchKeySet(key)):
            return linear(cast(x), cast(weight), cast(bias), main_grad, tensor_cores,
                          batch_invariant)

    _lib.impl("linear", kernel, key.name, with_keyset=True)


for _device_type in ("cpu", "cuda"):
    _autocast(_device_type)
