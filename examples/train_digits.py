"""Train a multilayer perceptron on scikit-learn's handwritten digits with zavra.

Forward and backward run in zavra; the SGD-with-momentum update runs in NumPy on
the arrays that grad() returns. zavra has no reductions, so the loss tensor is the
element-wise squared error and backward() on it gives the gradient of its sum.

    python examples/train_digits.py [--dtype f32|bf16|f16] [--epochs N]
"""

import argparse
import os
import time

import numpy as np

from zavra import Tensor, nn

relu = nn.functional.relu


def load_data(seed, subset=None):
    from sklearn.datasets import load_digits
    from sklearn.model_selection import train_test_split

    digits = load_digits()
    x = (digits.data / 16.0).astype(np.float32)  # 8x8 images, pixels 0..16
    y = np.eye(10, dtype=np.float32)[digits.target]  # one-hot targets
    if subset:
        x, y = x[:subset], y[:subset]
    return train_test_split(x, y, test_size=0.25, random_state=seed, stratify=y.argmax(1))


def init_params(rng, sizes):
    params = []
    for fan_in, fan_out in zip(sizes[:-1], sizes[1:]):
        params.append((rng.standard_normal((fan_in, fan_out)) * np.sqrt(2.0 / fan_in)).astype(np.float32))
        params.append(np.zeros(fan_out, np.float32))
    return params


def forward(x, tensors):
    """The network on a zavra tensor; returns the output tensor."""
    h = x
    for layer in range(0, len(tensors), 2):
        w, b = tensors[layer], tensors[layer + 1]
        h = h @ w + b  # b is broadcast over the batch axis
        if layer + 2 < len(tensors):
            h = relu(h)
    return h


def train_step(xb, yb, params, dtype):
    # Every step rebuilds the parameter tensors from NumPy on a fresh graph.
    Tensor.clear_graph()
    tensors = [Tensor(p, dtype=dtype, requires_grad=True) for p in params]
    diff = forward(Tensor(xb, dtype=dtype), tensors) - Tensor(yb, dtype=dtype)
    loss = diff * diff
    loss.backward()
    grads = []
    for t in tensors:
        g = t.grad().astype(np.float32)
        # A broadcast bias receives the gradient of its broadcast shape
        # [batch, features]: summing over the batch axis gives the bias gradient.
        if g.ndim == 2 and t.ndim == 1:
            g = g.sum(axis=0)
        grads.append(g)
    return float(loss.to_numpy().astype(np.float32).sum()) / len(xb), grads


def accuracy(x, y, params, dtype):
    tensors = [Tensor(p, dtype=dtype) for p in params]
    out = forward(Tensor(x, dtype=dtype), tensors).to_numpy().astype(np.float32)
    return float((out.argmax(1) == y.argmax(1)).mean())


def save_plot(path, losses, accuracies, dtype):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    epochs = np.arange(1, len(losses) + 1)
    fig, left = plt.subplots(figsize=(7, 4))
    left.plot(epochs, losses, color="tab:blue", label="training loss")
    left.set_xlabel("epoch")
    left.set_ylabel("training loss (squared error per example)", color="tab:blue")
    right = left.twinx()
    right.plot(epochs, accuracies, color="tab:orange", label="test accuracy")
    right.set_ylabel("test accuracy", color="tab:orange")
    right.set_ylim(0.0, 1.0)
    left.set_title(f"zavra MLP on scikit-learn digits ({dtype})")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def train(dtype="f32", epochs=40, batch_size=32, lr=0.01, momentum=0.9, seed=0, subset=None, max_steps=None,
          progress=True):
    from tqdm import tqdm

    x_train, x_test, y_train, y_test = load_data(seed, subset)
    rng = np.random.default_rng(seed)
    params = init_params(rng, [64, 128, 64, 10])
    velocity = [np.zeros_like(p) for p in params]
    losses, accuracies = [], []
    steps = 0
    bar = tqdm(range(epochs), desc=f"training ({dtype})", unit="epoch", disable=not progress)
    for _ in bar:
        order = rng.permutation(len(x_train))
        total, seen = 0.0, 0
        for start in range(0, len(order), batch_size):
            batch = order[start:start + batch_size]
            loss, grads = train_step(x_train[batch], y_train[batch], params, dtype)
            for p, v, g in zip(params, velocity, grads):
                v *= momentum
                v -= (lr / len(batch)) * g
                p += v
            total += loss * len(batch)
            seen += len(batch)
            steps += 1
            if max_steps and steps >= max_steps:
                break
        losses.append(total / seen)
        accuracies.append(accuracy(x_test, y_test, params, dtype))
        bar.set_postfix(loss=f"{losses[-1]:.4f}", test_acc=f"{accuracies[-1]:.3f}")
        if max_steps and steps >= max_steps:
            break
    Tensor.clear_graph()
    return losses, accuracies


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dtype", choices=["f32", "bf16", "f16"], default="f32")
    parser.add_argument("--epochs", type=int, default=40)
    parser.add_argument("--batch-size", type=int, default=32)
    parser.add_argument("--lr", type=float, default=0.01)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--plot", default=None, help="PNG path (default: examples/train_digits_<dtype>.png)")
    args = parser.parse_args()

    start = time.perf_counter()
    losses, accuracies = train(args.dtype, args.epochs, args.batch_size, args.lr, seed=args.seed)
    elapsed = time.perf_counter() - start
    plot = args.plot or os.path.join(os.path.dirname(os.path.abspath(__file__)), f"train_digits_{args.dtype}.png")
    save_plot(plot, losses, accuracies, args.dtype)
    print(f"trained {len(losses)} epochs in {elapsed:.1f} s; plot of loss and accuracy: {plot}")
    print(f"test accuracy: {accuracies[-1]:.4f}")


if __name__ == "__main__":
    main()
