"""Timing helpers shared by the benchmarks: best-of-N wall time per call."""

import os
import time


def best_time(fn, *, repeat=5, min_time=0.2):
    """Seconds per call: the best of `repeat` rounds, each long enough to time."""
    fn()  # warm up
    calls = 1
    while True:
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= min_time / repeat or calls >= 1 << 20:
            break
        calls *= 4
    best = elapsed / calls
    for _ in range(repeat - 1):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit}"
    return f"{seconds / 1e-9:8.2f} ns"


def try_torch():
    try:
        import torch
    except ImportError:
        return None
    torch.set_num_threads(1)
    return torch


def single_thread_numpy():
    """Limits NumPy's BLAS to one thread for the duration of the process."""
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        return None
    return threadpool_limits(1)


def environment_note():
    notes = [f"OPENBLAS_CORETYPE={os.environ.get('OPENBLAS_CORETYPE', '(unset)')}"]
    return ", ".join(notes)
