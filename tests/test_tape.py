# The per-thread tape seen through the public API: leaves, stale tensors, tensors on other threads.
import threading

import numpy as np
import pytest

from conftest import run_in_thread
from zavra import Tensor, nn

relu = nn.functional.relu
STALE = (
    "This tensor's graph is gone: it was recorded before Tensor.clear_graph() or on another thread. "
    "Build the tensor again (for example from its to_numpy() data) on this thread."
)


def leaf(values, **kwargs):
    return Tensor(np.asarray(values, dtype=np.float32), requires_grad=True, **kwargs)


def test_leaf_takes_part_in_gradients():
    a = leaf([2.0, 3.0])
    c = Tensor([5.0, 7.0])
    assert a.grad() is None and c.grad() is None
    (a * a + c).backward()
    np.testing.assert_array_equal(a.grad(), [4.0, 6.0])
    assert c.grad() is None
    assert Tensor([1.0], requires_grad=False).grad() is None


# Every recording path, with the stale tensor s on either side.
RECORDING = {
    "add": lambda s, f: s + f,
    "radd": lambda s, f: f + s,
    "sub": lambda s, f: f - s,
    "mul": lambda s, f: s * f,
    "div": lambda s, f: f / s,
    "matmul": lambda s, f: f.reshape([1, 2]) @ s.reshape([2, 1]),
    "scalar_add": lambda s, f: s + 1.0,
    "scalar_sub": lambda s, f: s - 1.0,
    "scalar_rdiv": lambda s, f: 1.0 / s,
    "scalar_mul": lambda s, f: 2.0 * s,
    "scalar_div": lambda s, f: s / 2.0,
    "reshape": lambda s, f: s.reshape([2, 1]),
    "transpose": lambda s, f: s.transpose(0, 0),
    "relu": lambda s, f: relu(s),
    "with_constant": lambda s, f: s * Tensor([1.0, 1.0]),
}


@pytest.mark.parametrize("op", RECORDING.values(), ids=RECORDING.keys())
def test_stale_after_clear_graph(op):
    stale = leaf([1.0, 2.0])
    (stale * stale).backward()
    Tensor.clear_graph()
    fresh = leaf([3.0, 4.0])
    y = fresh * 5.0  # a graph in progress that the refused recording must not disturb
    assert stale.grad() is None
    with pytest.raises(RuntimeError) as info:
        op(stale, fresh)
    assert str(info.value) == STALE
    with pytest.raises(RuntimeError, match="clear_graph"):
        stale.backward()
    y.backward()
    np.testing.assert_array_equal(fresh.grad(), [5.0, 5.0])
    assert stale.grad() is None  # id 0 of the new graph is not its node


def test_stale_tensor_is_still_data():
    stale = leaf([1.0, -2.0])
    Tensor.clear_graph()
    assert (stale.shape, stale.dtype, stale.requires_grad) == ([2], "f32", True)
    np.testing.assert_array_equal(stale.to_numpy(), [1.0, -2.0])
    np.testing.assert_array_equal((stale > 0.0).to_numpy(), [True, False])
    np.testing.assert_array_equal((stale == Tensor([1.0, 1.0])).to_numpy(), [True, False])
    np.testing.assert_array_equal(stale.ones_like().to_numpy(), [1.0, 1.0])


def test_constant_tensors_survive_clear_graph():
    c = Tensor([1.0, 2.0])
    Tensor.clear_graph()
    w = leaf([3.0, 4.0])
    (w * c).backward()
    np.testing.assert_array_equal(w.grad(), [1.0, 2.0])
    np.testing.assert_array_equal((c * c + 1.0).to_numpy(), [2.0, 5.0])


def test_grad_tensor_used_on_another_thread():
    w = leaf([1.0, 2.0])
    y = w * 3.0
    with pytest.raises(RuntimeError) as info:
        run_in_thread(lambda: w * leaf([3.0, 4.0]))
    assert str(info.value) == STALE
    with pytest.raises(RuntimeError, match="another thread"):
        run_in_thread(lambda: relu(w))
    with pytest.raises(RuntimeError, match="another thread"):
        run_in_thread(w.backward)
    assert run_in_thread(w.grad) is None
    # Data access and unrecorded operations work anywhere.
    np.testing.assert_array_equal(run_in_thread(lambda: (w < 1.5).to_numpy()), [True, False])
    # The owning thread's graph is untouched by all of that.
    y.backward()
    np.testing.assert_array_equal(w.grad(), [3.0, 3.0])


def test_grad_tensor_from_a_finished_thread():
    w = run_in_thread(lambda: leaf([1.0, 2.0]))
    with pytest.raises(RuntimeError, match="another thread"):
        w + leaf([0.0, 0.0])
    assert w.grad() is None


def test_clear_graph_on_another_thread_leaves_this_one():
    w = leaf([1.0, 2.0])
    y = w * w
    run_in_thread(Tensor.clear_graph)
    y.backward()
    np.testing.assert_array_equal(w.grad(), [2.0, 4.0])


def test_constant_tensors_are_shared_across_threads():
    a = Tensor(np.arange(12, dtype=np.float32).reshape(3, 4))
    b = run_in_thread(lambda: Tensor(np.ones((4, 2), np.float32)))
    expected = a.to_numpy() @ b.to_numpy()
    barrier = threading.Barrier(4)
    results, errors = [], []

    def work():
        try:
            barrier.wait()
            for _ in range(50):
                w = leaf(np.ones((3, 4)))
                ((a * w) @ b).backward()
                results.append(((a @ b).to_numpy(), w.grad(), a.shape, b.strides))
                Tensor.clear_graph()
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    assert len(results) == 200
    for product, grad, shape, strides in results:
        np.testing.assert_array_equal(product, expected)
        np.testing.assert_array_equal(grad, a.to_numpy() * 2.0)
        assert (shape, strides) == ([3, 4], [2, 1])
