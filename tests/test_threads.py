"""Threads: many threads build graphs, run backward and check gradients at once.

Runs unchanged on a free-threaded interpreter (python3.14t -X gil=0), where the
threads really compute in parallel."""

import sys
import threading

import numpy as np
import pytest

from zavra import Tensor, nn

THREADS = 8
ITERATIONS = 200


def test_gil_stays_disabled_on_free_threaded_builds():
    if not hasattr(sys, "_is_gil_enabled"):
        pytest.skip("interpreter without a GIL switch")
    import zavra_core  # noqa: F401

    if sys._is_gil_enabled() and "free-threading" in sys.version:
        pytest.fail("importing zavra_core re-enabled the GIL")


def test_concurrent_training_steps_get_their_own_gradients():
    rng = np.random.default_rng(0)
    x_np = rng.standard_normal((16, 8)).astype(np.float32)
    target_np = rng.standard_normal((16, 4)).astype(np.float32)
    # Read-only inputs shared by every thread.
    x, target = Tensor(x_np), Tensor(target_np)
    errors = []
    start = threading.Barrier(THREADS)

    def worker(seed):
        try:
            local = np.random.default_rng(seed)
            w_np = local.standard_normal((8, 4)).astype(np.float32)
            b_np = local.standard_normal(4).astype(np.float32)
            pre = x_np @ w_np + b_np
            diff = np.maximum(pre, 0) - target_np
            grad_pre = 2 * diff * (pre > 0)
            want_w = x_np.T @ grad_pre
            start.wait()
            previous = None
            for _ in range(ITERATIONS):
                w = Tensor(w_np, requires_grad=True)
                b = Tensor(b_np, requires_grad=True)
                d = nn.functional.relu(x @ w + b) - target
                (d * d).backward()
                np.testing.assert_allclose(w.grad(), want_w, rtol=1e-4, atol=1e-4)
                np.testing.assert_allclose(b.grad(), grad_pre, rtol=1e-4, atol=1e-4)
                Tensor.clear_graph()
                # The cleared graph's ids must never name another node.
                assert w.grad() is None
                if previous is not None:
                    assert previous.grad() is None
                    with pytest.raises(RuntimeError):
                        previous * w
                previous = w
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append((seed, error))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors[0]


def test_threads_exit_with_graphs_on_their_tapes():
    # A thread's tape, with its nodes and gradients, is released when the thread ends.
    def leave_a_graph():
        x = Tensor(np.ones((64, 64), np.float32), requires_grad=True)
        (x @ x).backward()

    for _ in range(20):
        t = threading.Thread(target=leave_a_graph)
        t.start()
        t.join()
    y = Tensor([1.0], requires_grad=True)
    (y * 3.0).backward()
    np.testing.assert_array_equal(y.grad(), [3.0])
