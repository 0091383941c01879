"""Matrix product throughput (GFLOPS), zavra against NumPy and PyTorch, all on one thread.

Run as `python bench/bench_matmul.py` with zavra importable. NumPy's BLAS is limited to one
thread with threadpoolctl; PyTorch, when installed, with torch.set_num_threads(1).
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE change which kernel NumPy's OpenBLAS runs: leave
them unset for a fair comparison (env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE ...).
"""

import os

import ml_dtypes
import numpy as np

from common import best_time, try_torch
from zavra import Tensor

# name, batch shape, m, k, n, dtype, transpose the left operand
CASES = [
    ("f32 n=64", (), 64, 64, 64, "f32", False),
    ("f32 n=256", (), 256, 256, 256, "f32", False),
    ("f32 n=1024", (), 1024, 1024, 1024, "f32", False),
    ("f32 n=2048", (), 2048, 2048, 2048, "f32", False),
    ("f32 [64,256]x[256,128]", (), 64, 256, 128, "f32", False),
    ("f32 [512,32,32] batched", (512,), 32, 32, 32, "f32", False),
    ("f32 n=1024, A transposed", (), 1024, 1024, 1024, "f32", True),
    ("f16 n=1024", (), 1024, 1024, 1024, "f16", False),
    ("bf16 n=1024", (), 1024, 1024, 1024, "bf16", False),
]

NUMPY_TYPES = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}


def operands(batch, m, k, n, dtype, transposed, seed=0):
    rng = np.random.default_rng(seed)
    a = rng.standard_normal((*batch, m, k)).astype(np.float32)
    b = rng.standard_normal((*batch, k, n)).astype(np.float32)
    if transposed:
        # Stored as A^T in row-major order; the product reads it through swapped strides.
        a = np.ascontiguousarray(np.swapaxes(a, -1, -2))
    return a.astype(NUMPY_TYPES[dtype]), b.astype(NUMPY_TYPES[dtype])


def zavra_call(a, b, transposed):
    ta, tb = Tensor(a), Tensor(b)
    if transposed:
        ta = ta.transpose(ta.ndim - 2, ta.ndim - 1)
    return lambda: ta @ tb


def numpy_call(a, b, dtype, transposed):
    if transposed:
        a = np.swapaxes(a, -1, -2)
    if dtype == "f32":
        return lambda: a @ b, "NumPy"
    # NumPy has no BLAS for 16-bit floats; its fair counterpart of our path is
    # widen, single-precision product, round once.
    target = NUMPY_TYPES[dtype]
    return (lambda: (a.astype(np.float32) @ b.astype(np.float32)).astype(target)), "NumPy widen+sgemm+round"


def torch_call(torch, a, b, dtype, transposed):
    kind = {"f32": torch.float32, "f16": torch.float16, "bf16": torch.bfloat16}[dtype]
    ta = torch.from_numpy(a.astype(np.float32)).to(kind)
    tb = torch.from_numpy(b.astype(np.float32)).to(kind)
    if transposed:
        ta = ta.transpose(-1, -2)
    return lambda: ta @ tb


def numpy_blas_note():
    """NumPy's BLAS and the kernel it runs here, as threadpoolctl reports them."""
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return "threadpoolctl not installed"
    parts = []
    for pool in threadpool_info():
        if pool.get("user_api") != "blas":
            continue
        owner = "NumPy" if "numpy" in pool.get("filepath", "") else "zavra (own AVX-512 kernels when available)"
        parts.append(
            f"{owner}: {pool.get('internal_api')} {pool.get('version')}, kernel {pool.get('architecture')}"
        )
    return "; ".join(parts) or "no BLAS found"


def run(torch):
    rows = []
    f32_1024 = None
    for name, batch, m, k, n, dtype, transposed in CASES:
        a, b = operands(batch, m, k, n, dtype, transposed)
        flops = 2.0 * m * n * k * int(np.prod(batch, dtype=np.int64))
        ours = flops / best_time(zavra_call(a, b, transposed)) / 1e9
        if name == "f32 n=1024":
            f32_1024 = ours
        fn, label = numpy_call(a, b, dtype, transposed)
        peers = [(label, flops / best_time(fn, repeat=3) / 1e9)]
        if torch is not None:
            peers.append(("PyTorch", flops / best_time(torch_call(torch, a, b, dtype, transposed)) / 1e9))
        rows.append((name, dtype, ours, peers))
    return rows, f32_1024


def main():
    torch = try_torch()
    print("Matrix product, one thread, GFLOPS (higher is better); ratio = zavra / peer")
    print(f"  BLAS libraries: {numpy_blas_note()}")
    for var in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
        if var in os.environ:
            print(f"  note: {var}={os.environ[var]} is set and may slow NumPy's OpenBLAS")
    if torch is None:
        print("  PyTorch not installed: NumPy only")
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        threadpool_limits = None
    if threadpool_limits is not None:
        with threadpool_limits(limits=1):
            rows, f32_1024 = run(torch)
    else:
        rows, f32_1024 = run(torch)
    for name, dtype, ours, peers in rows:
        line = f"  {name:28s} zavra {ours:7.1f}"
        for label, theirs in peers:
            line += f" | {label} {theirs:7.1f} ({ours / theirs:4.2f}x)"
        if dtype != "f32" and f32_1024:
            line += f" | of zavra f32 n=1024: {ours / f32_1024:4.2f}x"
        print(line)


if __name__ == "__main__":
    main()
