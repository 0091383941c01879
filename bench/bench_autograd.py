"""One training step of a small MLP (batch 64, 256-128-10, relu, squared error):
forward, backward and every gradient read back as NumPy, zavra against PyTorch."""

import numpy as np

from common import best_time, fmt_time, try_torch
from zavra import Tensor, nn


def make_data(seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((64, 256)).astype(np.float32)
    y = rng.standard_normal((64, 10)).astype(np.float32)
    w1 = (rng.standard_normal((256, 128)) * 0.05).astype(np.float32)
    b1 = np.zeros(128, np.float32)
    w2 = (rng.standard_normal((128, 10)) * 0.05).astype(np.float32)
    b2 = np.zeros(10, np.float32)
    return x, y, [w1, b1, w2, b2]


def zavra_step(x, y, params):
    Tensor.clear_graph()
    w1, b1, w2, b2 = (Tensor(p, requires_grad=True) for p in params)
    h = nn.functional.relu(Tensor(x) @ w1 + b1)
    diff = h @ w2 + b2 - Tensor(y)
    (diff * diff).backward()
    return [w1.grad(), b1.grad(), w2.grad(), b2.grad()]


def torch_step(torch, x, y, params):
    w1, b1, w2, b2 = (torch.tensor(p, requires_grad=True) for p in params)
    h = torch.relu(torch.from_numpy(x) @ w1 + b1)
    diff = h @ w2 + b2 - torch.from_numpy(y)
    (diff * diff).sum().backward()
    return [w1.grad.numpy(), b1.grad.numpy(), w2.grad.numpy(), b2.grad.numpy()]


def main():
    x, y, params = make_data()
    print("MLP training step (batch 64, 256-128-10, relu, squared error), one thread")
    ours = best_time(lambda: zavra_step(x, y, params))
    print(f"  zavra   {fmt_time(ours)}")
    torch = try_torch()
    if torch is None:
        print("  PyTorch not installed: no comparison")
        return
    theirs = best_time(lambda: torch_step(torch, x, y, params))
    print(f"  PyTorch {fmt_time(theirs)}   zavra/PyTorch = {ours / theirs:.2f}x  (target <= 0.70x)")


if __name__ == "__main__":
    main()
