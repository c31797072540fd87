"""`Linear`, a drop-in torch.nn.Linear on the engine, and `convert`."""

from __future__ import annotations

import torch

from .functional import linear


class Linear(torch.nn.Linear):
    """torch.nn.Linear (same parameters, initialisation and state_dict keys)
    whose products run on the engine.

    With `main_grad=True` the weight carries a float32 `main_grad` buffer into
    which every backward adds dW (the convention of trainers that keep bf16
    weights and f32 gradient accumulators); weight.grad then stays None.
    Zero it between optimizer steps as you would a .grad.
    """

    def __init__(self, in_features: int, out_features: int, bias: bool = True,
                 device: torch.device | str | None = None, dtype: torch.dtype | None = None, *,
                 tensor_cores: bool = False, batch_invariant: bool = True,
                 main_grad: bool = False) -> None:
        super().__init__(in_features, out_features, bias, device, dtype)
        self._configure(tensor_cores, batch_invariant, main_grad)

    def _configure(self, tensor_cores: bool, batch_invariant: bool, main_grad: bool) -> None:
        self.tensor_cores = tensor_cores
        self.batch_invariant = batch_invariant
        self.use_main_grad = main_grad

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return linear(x, self.weight, self.bias, tensor_cores=self.tensor_cores,
                      batch_invariant=self.batch_invariant, main_grad=self._main_grad())

    def _main_grad(self) -> torch.Tensor | None:
        if not self.use_main_grad:
            return None
        buffer = getattr(self.weight, "main_grad", None)
        if buffer is None or buffer.device != self.weight.device:
            buffer = torch.zeros_like(self.weight, dtype=torch.float32)
            self.weight.main_grad = buffer  # type: ignore[attr-defined]
        return buffer

    def extra_repr(self) -> str:
        return (f"{super().extra_repr()}, tensor_cores={self.tensor_cores}, "
                f"batch_invariant={self.batch_invariant}, main_grad={self.use_main_grad}")


def convert(model: torch.nn.Module, *, tensor_cores: bool = False, batch_invariant: bool = True,
            main_grad: bool = False) -> torch.nn.Module:
    """Makes every torch.nn.Linear in `model` a tesvan Linear, in place.

    The modules keep their identity, parameters (so an optimizer built before
    stays valid), hooks and state_dict keys.  Subclasses of nn.Linear are left
    alone: their forward may not be nn.Linear's.  Returns `model`.
    """
    for module in model.modules():
        if type(module) is torch.nn.Linear:
            module.__class__ = Linear
            module._configure(tensor_cores, batch_invariant, main_grad)  # type: ignore[operator]
    return model
