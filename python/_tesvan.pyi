# Type stubs for the _tesvan extension module (checked against the built
# module by tests/python/test_stubs.py).
from typing import Self, SupportsIndex, final


_Address = SupportsIndex | None

@final
class Engine:
    """Deterministic GEMM engine bound to one CUDA device."""

    def __new__(cls, device: SupportsIndex, *, batch_invariant: bool = False) -> Self: ...
    @property
    def batch_invariant(self) -> bool: ...
    def forward(
        self,
        ptrs: tuple[SupportsIndex, SupportsIndex, SupportsIndex, _Address],
        dims: tuple[SupportsIndex, SupportsIndex, SupportsIndex],
        dtype: str,
        stream: SupportsIndex,
        tensor_cores: bool = False,
    ) -> None: ...
    def backward_dx(
        self,
        ptrs: tuple[SupportsIndex, SupportsIndex, SupportsIndex],
        dims: tuple[SupportsIndex, SupportsIndex, SupportsIndex],
        dtype: str,
        stream: SupportsIndex,
        tensor_cores: bool = False,
    ) -> None: ...
    def backward_dw(
        self,
        ptrs: tuple[SupportsIndex, SupportsIndex, SupportsIndex],
        dims: tuple[SupportsIndex, SupportsIndex, SupportsIndex],
        dtype: str,
        stream: SupportsIndex,
        tensor_cores: bool = False,
    ) -> None: ...
    def presize_upcast_scratch(
        self, a_elems: SupportsIndex, b_elems: SupportsIndex, c_elems: SupportsIndex
    ) -> None: ...
    def prepare_capture(
        self,
        dims: tuple[SupportsIndex, SupportsIndex, SupportsIndex],
        dtype: str,
        tensor_cores: bool = False,
    ) -> None: ...
    def synchronize(self) -> None: ...
