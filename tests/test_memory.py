"""Memory: training steps with clear_graph() keep the resident set flat; no reference leaks."""

import os
import sys
import weakref

import numpy as np
import pytest

from zavra import Tensor, nn

UNDER_SANITIZER = bool(os.environ.get("ZAVRA_UNDER_SANITIZER"))


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def step(x, w1, w2, target):
    Tensor.clear_graph()
    a = Tensor(w1, requires_grad=True)
    b = Tensor(w2, requires_grad=True)
    d = nn.functional.relu(x @ a) @ b - target
    (d * d / 2.0).backward()
    return a.grad(), b.grad()


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's quarantine holds freed memory on purpose")
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_resident_memory_stays_flat_over_many_steps():
    rng = np.random.default_rng(0)
    x = Tensor(rng.standard_normal((16, 32)).astype(np.float32))
    target = Tensor(rng.standard_normal((16, 8)).astype(np.float32))
    w1 = rng.standard_normal((32, 32)).astype(np.float32)
    w2 = rng.standard_normal((32, 8)).astype(np.float32)
    for _ in range(2000):
        step(x, w1, w2, target)
    before = resident_bytes()
    for _ in range(18000):
        step(x, w1, w2, target)
    grown = resident_bytes() - before
    assert grown < 4 * 2**20, f"resident memory grew by {grown / 2**20:.1f} MiB"


def test_clear_graph_releases_what_the_tape_held():
    if UNDER_SANITIZER or not os.path.exists("/proc/self/statm"):
        pytest.skip("needs an uninstrumented allocator and /proc")
    big = np.ones((4096, 4096), np.float32)  # 64 MiB
    Tensor.clear_graph()
    baseline = resident_bytes()
    x = Tensor(big, requires_grad=True)
    y = x * x  # the node keeps both operands' data
    y.backward()
    del x, y
    held = resident_bytes() - baseline
    Tensor.clear_graph()
    released = held - (resident_bytes() - baseline)
    assert held > 100 * 2**20 and released > 100 * 2**20


def test_reference_counts_of_inputs_are_unchanged():
    a = np.arange(12, dtype=np.float32).reshape(3, 4)
    dtype = np.dtype("float32")
    before = sys.getrefcount(a), sys.getrefcount(dtype)
    t = Tensor(a, dtype=dtype, requires_grad=True)
    t.to_numpy()
    (t * 2.0).backward()
    grad = t.grad()
    del t, grad
    Tensor.clear_graph()
    assert (sys.getrefcount(a), sys.getrefcount(dtype)) == before


def test_returned_arrays_are_freed_with_their_last_reference():
    t = Tensor(np.ones(8, np.float32), requires_grad=True)
    (t * 2.0).backward()
    refs = [weakref.ref(t.to_numpy()) for _ in range(10)] + [weakref.ref(t.grad()) for _ in range(10)]
    assert all(r() is None for r in refs)


def test_recycled_buffers_never_alias_live_results():
    # Results of a few hundred KiB are recycled through a per-thread cache.
    base = np.arange(50000, dtype=np.float32)
    t = Tensor(base)
    kept = []
    for k in range(12):
        kept.append(t * float(k))
        (t + 1.0).to_numpy()  # a result freed at once, its block recycled
    for k, result in enumerate(kept):
        np.testing.assert_array_equal(result.to_numpy(), base * np.float32(k))


def test_buffers_freed_on_other_threads_and_after_thread_exit():
    import threading

    made = []

    def producer():
        made.extend(Tensor(np.ones(40000, np.float32)) * float(i) for i in range(8))

    thread = threading.Thread(target=producer)
    thread.start()
    thread.join()
    for i, result in enumerate(made):
        assert float(result.to_numpy()[0]) == i
    made.clear()  # freed here, on another thread than the one that allocated them
