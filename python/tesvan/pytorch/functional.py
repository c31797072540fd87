"""`linear`: torch.nn.functional.linear on the engine."""

from __future__ import annotations

import torch

from . import ops


def linear(x: torch.Tensor, weight: torch.Tensor, bias: torch.Tensor | None = None, *,
           tensor_cores: bool = False, batch_invariant: bool = True,
           main_grad: torch.Tensor | None = None) -> torch.Tensor:
    """y = x · weightᵀ + bias, with weight [out, in] and the leading dims of x as rows.

    The result has x's dtype (float32 stays IEEE float32; bfloat16 and float16
    accumulate in float32).  With `batch_invariant` (the default) a row's bits
    never depend on the other rows.  With `main_grad`, a float32 buffer of
    weight's shape, backward adds dW there and leaves weight.grad untouched.
    """
    y: torch.Tensor = ops.linear(x, weight, bias, main_grad, tensor_cores, batch_invariant)
    return y
