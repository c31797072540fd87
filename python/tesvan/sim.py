"""The simulated device: a stand-in for the CUDA driver that runs the engine's
kernels on the CPU, bit for bit as a GPU would.

``activate()`` before the first ``Engine`` makes the engine use it; no
``LD_LIBRARY_PATH`` is needed.
"""

from __future__ import annotations

import ctypes
import os
from pathlib import Path

_SONAME = "libcuda.so.1"
_library: ctypes.CDLL | None = None


def library_path() -> Path:
    """The simulated ``libcuda.so.1`` shipped in the package, or, in a source
    tree, the one in the build folder beside the extension module."""
    packaged = Path(__file__).with_name("_sim") / _SONAME
    if packaged.is_file():
        return packaged
    import _tesvan

    built = Path(_tesvan.__file__).resolve().parent.parent / "simdev" / _SONAME
    if built.is_file():
        return built
    raise RuntimeError(
        f"tesvan: the simulated device is not installed (looked for {packaged} and {built}); "
        "run `python -m tesvan info` to see what was found"
    )


def _loaded_driver() -> ctypes.CDLL | None:
    """The ``libcuda.so.1`` already loaded in this process, if any."""
    try:
        return ctypes.CDLL(_SONAME, mode=os.RTLD_NOLOAD | os.RTLD_LOCAL)
    except OSError:
        return None


def is_simulated(library: ctypes.CDLL) -> bool:
    return hasattr(library, "tvnsim_get_config")


def activate() -> None:
    """Loads the simulated device by its absolute path, so that the engine's
    later ``dlopen("libcuda.so.1")`` finds it already loaded.

    Raises RuntimeError when a real driver is already loaded in the process
    (by the engine, or by a framework such as PyTorch after CUDA use).
    """
    global _library
    if _library is not None:
        return
    loaded = _loaded_driver()
    if loaded is not None:
        if not is_simulated(loaded):
            raise RuntimeError(
                "tesvan: a CUDA driver is already loaded in this process; activate the "
                "simulated device before anything initialises CUDA"
            )
        _library = loaded
        return
    _library = ctypes.CDLL(str(library_path()), mode=os.RTLD_LOCAL)


def is_active() -> bool:
    """Whether the driver loaded in this process is the simulated device."""
    loaded = _loaded_driver()
    return loaded is not None and is_simulated(loaded)
