"""The engine's three products as torch operations.

One module serves CUDA tensors and, on the simulated device, CPU tensors (see
_memory).  A product a @ b maps onto the engine by the layouts it is given,
never by a transposed copy:

- a row-major, b = Wᵀ for a row-major W[N, K]: `backward_dx` (dx = dy · wᵀ)
  with dims (M, N, K);
- a and b row-major: `forward` with dims (M, K, N);
- a = Xᵀ for a row-major X[K, M]: `backward_dw` (dw += xᵀ · dy) into an f32
  accumulator with dims (K, M, N).

Other strides are made dense by a copy, and so is an operand whose address is
not 16-byte aligned (the vectorised kernels need it).  Empty products launch
nothing.  Products whose operands exceed the kernels' 32-bit element counts
are cut into row chunks; a chunk boundary never changes a row's bits in
batch-invariant mode, and the weight-gradient chunks accumulate in a fixed
order.
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator

import torch
from _tesvan import Engine

from .._engines import get_engine
from ._memory import Staging, engine_device, simulated, staging_for

DTYPES = {torch.float32: "float32", torch.bfloat16: "bfloat16", torch.float16: "float16"}

MAX_ELEMENTS = 2**31 - 1  # per dimension and per operand, the kernels' int range
_ALIGNMENT = 16
_CHUNK_ROWS = 16  # chunks start on multiples of 16 rows, which keeps them aligned


def unsupported(*tensors: torch.Tensor) -> str | None:
    """Why the engine cannot take these operands, or None when it can."""
    first = tensors[0]
    if first.dtype not in DTYPES:
        return f"dtype {first.dtype}"
    for t in tensors:
        if t.dtype != first.dtype:
            return "mixed dtypes"
        if t.device != first.device:
            return "mixed devices"
        if type(t) not in (torch.Tensor, torch.nn.Parameter):
            return f"tensor type {type(t).__name__}"
    kind = first.device.type
    if kind != "cuda" and not (kind == "cpu" and simulated()):
        return f"device {first.device}"
    return None


def check(*tensors: torch.Tensor) -> None:
    """Raises TypeError for operands the engine cannot take."""
    reason = unsupported(*tensors)
    if reason is None:
        return
    if reason.startswith("dtype"):
        raise TypeError(f"tesvan: unsupported {reason} (expected float32, bfloat16 or float16)")
    raise TypeError(f"tesvan: unsupported operands: {reason}")


def _check_shapes(a: torch.Tensor, b: torch.Tensor, out: torch.Tensor | None = None) -> None:
    # The kernels trust the dims they are given: a mismatch would read or
    # write past an operand, so it is refused here.
    if a.dim() != 2 or b.dim() != 2 or a.shape[1] != b.shape[0] or (
            out is not None and out.shape != (a.shape[0], b.shape[1])):
        shapes = " and ".join("x".join(map(str, t.shape)) for t in (a, b))
        raise ValueError(f"tesvan: shapes {shapes} cannot be multiplied"
                         + ("" if out is None else f" into {'x'.join(map(str, out.shape))}"))


def _row_major(t: torch.Tensor) -> torch.Tensor:
    if not t.is_contiguous():
        return t.contiguous()  # fresh storage, aligned
    if t.data_ptr() % _ALIGNMENT:
        return t.clone()
    return t


def _is_transposed(t: torch.Tensor) -> bool:
    return t.t().is_contiguous() and not t.is_contiguous()


def _chunks(rows: int, row_elements: int, fixed_elements: int) -> Iterator[tuple[int, int]]:
    """Row ranges whose operands stay within the kernels' 32-bit counts."""
    if fixed_elements > MAX_ELEMENTS:
        raise ValueError(f"tesvan: an operand of {fixed_elements} elements that cannot be "
                         f"split by rows exceeds {MAX_ELEMENTS}")
    step = rows
    if rows * max(row_elements, 1) > MAX_ELEMENTS:
        step = MAX_ELEMENTS // row_elements // _CHUNK_ROWS * _CHUNK_ROWS
        if step == 0:
            raise ValueError(f"tesvan: rows of {row_elements} elements exceed {MAX_ELEMENTS}")
    for start in range(0, rows, step):
        yield start, min(start + step, rows)


@contextlib.contextmanager
def _engine_call(device: torch.device,
                 batch_invariant: bool) -> Iterator[tuple[Engine, Staging]]:
    engine = get_engine(engine_device(device), batch_invariant=batch_invariant)
    staging = staging_for(device)
    finished = False
    try:
        yield engine, staging
        staging.finish(engine)
        finished = True
    finally:
        staging.release(engine, finished)


def mm(a: torch.Tensor, b: torch.Tensor, *, tensor_cores: bool = False,
       batch_invariant: bool = False) -> torch.Tensor:
    """a[M, K] @ b[K, N] in a's dtype, as a new row-major tensor."""
    check(a, b)
    _check_shapes(a, b)
    (m, k), n = a.shape, b.shape[1]
    if _is_transposed(a):
        acc = torch.zeros((m, n), dtype=torch.float32, device=a.device)
        mm_accumulate(acc, a, b, tensor_cores=tensor_cores, batch_invariant=batch_invariant)
        return acc.to(a.dtype)
    out = torch.empty((m, n), dtype=a.dtype, device=a.device)
    if m == 0 or n == 0:
        return out
    if k == 0:
        return out.zero_()
    a = _row_major(a)
    dtype = DTYPES[a.dtype]
    with _engine_call(a.device, batch_invariant) as (engine, staging):
        if b.t().is_contiguous():  # b = wᵀ: dx = dy · wᵀ with w[N, K]
            op, rhs, dims = "backward_dx", _row_major(b.t()), (n, k)
        else:
            op, rhs, dims = "forward", _row_major(b), (k, n)
        rhs_ptr = staging.address(rhs)
        run = getattr(engine, op)
        for r0, r1 in _chunks(m, max(k, n), k * n):
            ptrs = (staging.address(out[r0:r1], writeback=True), staging.address(a[r0:r1]), rhs_ptr)
            run(ptrs + (None,) * (op == "forward"), (r1 - r0, *dims), dtype, staging.stream,
                tensor_cores=tensor_cores)
    return out


def mm_accumulate(acc: torch.Tensor, a: torch.Tensor, b: torch.Tensor, *,
                  tensor_cores: bool = False, batch_invariant: bool = False) -> None:
    """acc[M, N] (float32) += a[M, K] @ b[K, N], summed over K by the weight-gradient kernels.

    The natural a is a transposed view xᵀ of a row-major x[K, M], as autograd
    passes for a weight gradient.
    """
    check(a, b)
    _check_shapes(a, b, acc)
    if acc.dtype != torch.float32 or acc.device != a.device:
        raise TypeError(f"tesvan: the accumulator must be float32 on {a.device}, "
                        f"got {acc.dtype} on {acc.device}")
    (m, k), n = a.shape, b.shape[1]
    if m == 0 or n == 0 or k == 0:
        return
    target = _row_major(acc)
    x, dy = _row_major(a.t()), _row_major(b)
    dtype = DTYPES[a.dtype]
    with _engine_call(a.device, batch_invariant) as (engine, staging):
        dw = staging.address(target, writeback=True)
        for r0, r1 in _chunks(k, max(m, n), m * n):
            engine.backward_dw((dw, staging.address(dy[r0:r1]), staging.address(x[r0:r1])),
                               (r1 - r0, m, n), dtype, staging.stream, tensor_cores=tensor_cores)
    if target is not acc:
        acc.copy_(target)
