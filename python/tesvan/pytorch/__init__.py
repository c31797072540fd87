"""The engine for PyTorch: custom ops in the `tesvan::` namespace, `linear`,
the drop-in `Linear` module with `convert`, and `batch_invariant_mode` for
unchanged code.

Tensors are CUDA tensors; when the process's CUDA driver is the simulated
device, CPU tensors are accepted too and computed there.
"""

from . import ops
from .functional import linear
from .mode import batch_invariant_mode, stats
from .modules import Linear, convert

__all__ = ["Linear", "batch_invariant_mode", "convert", "linear", "ops", "stats"]
