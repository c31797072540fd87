"""tesvan: deterministic matrix multiplies for training on NVIDIA GPUs.

`Engine` is the extension's class; `tesvan.pytorch` (imported on demand,
torch is optional) adapts it to PyTorch.
"""

from _tesvan import Engine

__version__ = "0.1.0"

__all__ = ["Engine", "__version__"]
