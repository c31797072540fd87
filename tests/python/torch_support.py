"""What the torch tests share: the device their tensors live on and the
engine's launch log."""

import torch

import tesvan.pytorch._memory as memory

# CPU tensors run through the simulated device; on a GPU the same tests use CUDA tensors.
DEVICE = torch.device("cpu" if memory.simulated() else "cuda")
DTYPES = [torch.float32, torch.bfloat16, torch.float16]


def randn(*shape, dtype=torch.float32, seed=0, scale=1.0):
    g = torch.Generator().manual_seed(seed)
    return (torch.randn(*shape, generator=g) * scale).to(dtype=dtype, device=DEVICE)


def bits(t):
    """A tensor's bit pattern, for exact comparisons that also see NaN and -0."""
    t = t.detach().cpu().contiguous()
    return t.view({4: torch.int32, 2: torch.int16}[t.element_size()])


def same_bits(a, b):
    return a.shape == b.shape and a.dtype == b.dtype and torch.equal(bits(a), bits(b))


def kernels_launched(driver, action):
    """The kernels `action()` launches (simulated device only)."""
    driver.clear_launches()
    action()
    return driver.launched_kernels()
