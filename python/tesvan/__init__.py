"""tesvan: deterministic matrix multiplies for training on NVIDIA GPUs.

`Engine` is the extension's class and `get_engine` the process's shared engine
per device and mode; `matmul` serves any framework's device arrays (DLPack or
`__cuda_array_interface__`); `tesvan.pytorch` (imported on demand, torch is
optional) adapts the engine to PyTorch.
"""

from _tesvan import Engine

from ._engines import get_engine
from .matmul import matmul

__version__ = "0.1.0"

__all__ = ["Engine", "__version__", "get_engine", "matmul"]
