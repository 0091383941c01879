"""Gradients replayed in references: PyTorch's autograd (when installed) and finite differences."""

import numpy as np
import pytest

from conftest import sum_to
from zavra import Tensor, nn

f32 = np.float32


class Ops:
    """The same graph written once, run on zavra tensors or torch tensors."""

    def __init__(self, lib):
        self.lib = lib

    def relu(self, x):
        return nn.functional.relu(x) if self.lib == "zavra" else x.relu()

    def transpose(self, x, a, b):
        return x.transpose(a, b)

    def reshape(self, x, shape):
        return x.reshape(list(shape))


# Each graph: (leaf shapes, function of (ops, *leaves)).
GRAPHS = {
    "broadcast-arith": (
        [(3, 4), (4,), (3, 1)],
        lambda o, a, b, c: (a + b) * c - a / (c + 3.0),
    ),
    "scalars": ([(2, 3)], lambda o, a: 2.0 / (a * 3.0 - 1.5 + 10.0) + 4.0 * a / 2.0),
    "reused-operand": ([(5,)], lambda o, a: a * a * a + a),
    "mlp": (
        [(8, 6), (6, 5), (5,), (5, 3)],
        lambda o, x, w1, b1, w2: o.relu(x @ w1 + b1) @ w2,
    ),
    "batched-matmul": (
        [(2, 1, 3, 4), (5, 4, 2)],
        lambda o, a, b: o.relu(a @ b) * (a @ b),
    ),
    "reshape-transpose": (
        [(2, 3), (3, 2)],
        lambda o, a, b: o.transpose(o.reshape(a, (3, 2)) * b, 0, 1) @ b,
    ),
    "division-chain": ([(4, 4), (4, 1)], lambda o, a, b: (a / b) / (b * b + 1.0)),
}


def positive_away_from_zero(rng, shape):
    values = rng.uniform(0.5, 2.0, shape) * rng.choice([-1.0, 1.0], shape)
    return values.astype(f32)


@pytest.mark.parametrize("name", sorted(GRAPHS))
@pytest.mark.parametrize("seed", [0, 1])
def test_gradients_match_torch(name, seed):
    torch = pytest.importorskip("torch")
    shapes, graph = GRAPHS[name]
    rng = np.random.default_rng(seed)
    values = [positive_away_from_zero(rng, s) for s in shapes]

    leaves = [Tensor(v, requires_grad=True) for v in values]
    out = graph(Ops("zavra"), *leaves)
    out.backward()

    t_leaves = [torch.tensor(v, requires_grad=True) for v in values]
    t_out = graph(Ops("torch"), *t_leaves)
    t_out.backward(torch.ones_like(t_out))

    np.testing.assert_allclose(out.to_numpy(), t_out.detach().numpy(), rtol=1e-5, atol=1e-6)
    for mine, theirs, value in zip(leaves, t_leaves, values):
        reduced = sum_to(mine.grad(), value.shape)
        np.testing.assert_allclose(reduced, theirs.grad.numpy(), rtol=2e-5, atol=1e-5)


def test_elementwise_gradients_are_bit_identical_to_torch():
    torch = pytest.importorskip("torch")
    rng = np.random.default_rng(3)
    a, b = (positive_away_from_zero(rng, (64,)) for _ in range(2))
    ta, tb = Tensor(a, requires_grad=True), Tensor(b, requires_grad=True)
    (ta * tb + ta - tb * 2.0).backward()
    pa, pb = torch.tensor(a, requires_grad=True), torch.tensor(b, requires_grad=True)
    (pa * pb + pa - pb * 2.0).backward(torch.ones(64))
    np.testing.assert_array_equal(ta.grad(), pa.grad.numpy())
    np.testing.assert_array_equal(tb.grad(), pb.grad.numpy())


def test_mlp_gradients_match_finite_differences():
    rng = np.random.default_rng(4)
    x = rng.standard_normal((6, 4)).astype(f32)
    w1 = (rng.standard_normal((4, 5)) * 0.5).astype(f32)
    b1 = (rng.standard_normal(5) * 0.1).astype(f32)
    w2 = (rng.standard_normal((5, 2)) * 0.5).astype(f32)
    target = rng.standard_normal((6, 2)).astype(f32)

    def loss64(params):
        w1_, b1_, w2_ = params
        h = np.maximum(x.astype(np.float64) @ w1_ + b1_, 0.0)
        diff = h @ w2_ - target
        return float((diff * diff).sum())

    tensors = [Tensor(p, requires_grad=True) for p in (w1, b1, w2)]
    diff = nn.functional.relu(Tensor(x) @ tensors[0] + tensors[1]) @ tensors[2] - Tensor(target)
    (diff * diff).backward()
    grads = [sum_to(t.grad(), p.shape) for t, p in zip(tensors, (w1, b1, w2))]

    params = [p.astype(np.float64) for p in (w1, b1, w2)]
    eps = 1e-4
    for k, param in enumerate(params):
        numeric = np.zeros_like(param)
        for index in np.ndindex(param.shape):
            saved = param[index]
            param[index] = saved + eps
            up = loss64(params)
            param[index] = saved - eps
            down = loss64(params)
            param[index] = saved
            numeric[index] = (up - down) / (2 * eps)
        np.testing.assert_allclose(grads[k], numeric, rtol=1e-3, atol=1e-3)
