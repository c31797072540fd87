"""One engine per (device, mode), shared by every caller in the process."""

from __future__ import annotations

import operator
import threading

from _tesvan import Engine

_engines: dict[tuple[int, bool], Engine] = {}
_lock = threading.Lock()


def get_engine(device: int = 0, *, batch_invariant: bool = False) -> Engine:
    """The process's engine for CUDA device ordinal `device` in the given mode.

    Building an engine compiles (or loads) its kernels, so each one is made
    once and kept; the engine itself serialises calls from several threads.
    """
    key = (operator.index(device), bool(batch_invariant))
    with _lock:
        engine = _engines.get(key)
        if engine is None:
            engine = _engines[key] = Engine(key[0], batch_invariant=key[1])
        return engine
