"""`batch_invariant_mode`: aten::mm and aten::addmm (and their .out forms) on
the batch-invariant engine, for ordinary PyTorch code.

The mode is a TorchDispatchMode: it sits below autograd, so the forward
products and the products autograd issues in backward (transposed views
included) reach it alike, and it is thread-local, so other threads keep the
original ops.  autograd runs backward with the state of the thread that
called it: call loss.backward() inside the mode to route the backward too.
Products the engine cannot take (other dtypes, devices or tensor types) run
the original op and are counted in `stats()`; supported ones never fall back.
"""

from __future__ import annotations

import collections
import contextlib
import threading
from collections.abc import Iterator
from typing import Any

import torch
from torch.utils._python_dispatch import TorchDispatchMode

from . import _route

_aten = torch.ops.aten
_counts: collections.Counter[str] = collections.Counter()
_counts_lock = threading.Lock()


def stats(reset: bool = False) -> dict[str, int]:
    """Products seen in the mode: "<op>/engine" and "<op>/fallback: <reason>" counts."""
    with _counts_lock:
        snapshot = dict(_counts)
        if reset:
            _counts.clear()
    return snapshot


def _count(key: str) -> None:
    with _counts_lock:
        _counts[key] += 1


def _addmm_result(product: torch.Tensor, bias: torch.Tensor, beta: Any, alpha: Any) -> torch.Tensor:
    if alpha != 1:
        product = product * alpha
    if beta == 0:  # addmm ignores the input then, NaN included
        return product
    return product + (bias if beta == 1 else bias * beta)


def _into(out: torch.Tensor, result: torch.Tensor) -> torch.Tensor:
    if out.shape != result.shape:
        out.resize_(result.shape)
    return out.copy_(result)


class _EngineMatmul(TorchDispatchMode):
    def __init__(self, tensor_cores: bool) -> None:
        super().__init__()
        self.tensor_cores = tensor_cores

    def _mm(self, a: torch.Tensor, b: torch.Tensor) -> torch.Tensor:
        return _route.mm(a, b, tensor_cores=self.tensor_cores, batch_invariant=True)

    def __torch_dispatch__(self, func, types, args=(), kwargs=None):  # type: ignore[no-untyped-def]
        kwargs = kwargs or {}
        if func in (_aten.mm.default, _aten.mm.out):
            operands = args[:2]
        elif func in (_aten.addmm.default, _aten.addmm.out):
            operands = args[:3]
        else:
            return func(*args, **kwargs)
        out = kwargs.get("out")
        reason = _route.unsupported(*operands, *(() if out is None else (out,)))
        if reason is not None:
            _count(f"{func}/fallback: {reason}")
            return func(*args, **kwargs)
        _count(f"{func}/engine")
        if func in (_aten.mm.default, _aten.mm.out):
            result = self._mm(*operands)
        else:
            result = _addmm_result(self._mm(*operands[1:]), operands[0],
                                   kwargs.get("beta", 1), kwargs.get("alpha", 1))
        return result if out is None else _into(out, result)


@contextlib.contextmanager
def batch_invariant_mode(*, tensor_cores: bool = False) -> Iterator[None]:
    """Routes matrix products in this thread to the batch-invariant engine.

    Re-entrant (the innermost mode's `tensor_cores` applies) and restored on
    exit, exceptions included.
    """
    mode = _EngineMatmul(tensor_cores)
    with mode:
        yield
