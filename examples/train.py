"""tesvan training demo: a small MLP trained with AdamW through
tesvan.pytorch, run twice to show identical losses and parameters, then
evaluated at several batch sizes to show that a sample's logits keep their
bits.

Runs on the GPU when the driver is NVIDIA's, else on the simulated device,
where tesvan's ops take CPU tensors (scripts/demo chooses).
"""

import time
import warnings

import torch

import tesvan.pytorch as tp
from tesvan.pytorch._memory import simulated

warnings.filterwarnings("ignore", message="CUDA initialization")  # torch probing the simulator
DEVICE = torch.device("cpu" if simulated() else "cuda")
STEPS, BATCH, IN, HIDDEN, OUT = 20, 64, 32, 64, 10


def data(seed, rows):
    g = torch.Generator().manual_seed(seed)
    return torch.randn(rows, IN, generator=g).to(DEVICE)


def train():
    torch.manual_seed(0)
    model = tp.convert(torch.nn.Sequential(torch.nn.Linear(IN, HIDDEN), torch.nn.ReLU(),
                                           torch.nn.Linear(HIDDEN, OUT))).to(DEVICE)
    opt = torch.optim.AdamW(model.parameters(), lr=3e-3)
    x, labels = data(1, BATCH), torch.arange(BATCH, device=DEVICE) % OUT
    losses = []
    for _ in range(STEPS):
        opt.zero_grad()
        loss = torch.nn.functional.cross_entropy(model(x), labels)
        loss.backward()
        opt.step()
        losses.append(loss.item())
    return model, losses, torch.cat([p.detach().flatten() for p in model.parameters()])


def same(a, b):
    return torch.equal(a.view(torch.int32), b.view(torch.int32))


def main():
    print(f"tesvan training demo on {'the simulated device (CPU tensors)' if simulated() else DEVICE}")
    started = time.perf_counter()
    model, losses, params = train()
    _, losses_again, params_again = train()
    print(f"{STEPS} AdamW steps of a {IN}-{HIDDEN}-{OUT} MLP, twice, in "
          f"{time.perf_counter() - started:.1f} s: loss {losses[0]:.4f} -> {losses[-1]:.4f}")
    print(f"  losses identical: {losses == losses_again}; parameters bit-identical: "
          f"{same(params, params_again)}")

    sample = data(2, 1)
    with torch.no_grad():
        logits = {b: model(torch.cat([sample, data(b, b - 1)]))[0] for b in (1, 7, 64, 300)}
    agree = all(same(v, logits[1]) for v in logits.values())
    print(f"  a sample's logits in batches of {', '.join(map(str, logits))}: "
          f"{'bit-identical' if agree else 'DIFFER'}")
    return 0 if losses == losses_again and same(params, params_again) and agree else 1


if __name__ == "__main__":
    raise SystemExit(main())
