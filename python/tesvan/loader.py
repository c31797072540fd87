"""What the engine's library loader found and chose: the driver and its
devices, the NVRTC candidates and the one chosen for the driver, the header
folders and the kernel cache folder (``python -m tesvan info`` prints it)."""

from __future__ import annotations

import ctypes
from typing import Any


def report() -> dict[str, Any]:
    """The loader's report as plain Python values.  Loads the driver and NVRTC
    if no engine has yet, exactly as the first engine would."""
    import _tesvan

    function = ctypes.PyDLL(_tesvan.__file__).tesvan_loader_report
    function.argtypes = []
    function.restype = ctypes.py_object
    return function()
