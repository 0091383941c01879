import threading

import numpy as np
import pytest

import zavra  # noqa: F401  (registers bfloat16 with NumPy before any test builds one)
from zavra import Tensor


@pytest.fixture(autouse=True)
def fresh_tape():
    """Every test starts and ends with an empty tape on its thread."""
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


def bits(array):
    """The raw bit patterns of a float array, for exact comparisons (NaN included)."""
    array = np.asarray(array)
    return array.view({2: np.uint16, 4: np.uint32}[array.dtype.itemsize])


def sum_to(grad, shape):
    """Reduce an unreduced (broadcast-shaped) gradient to an operand's shape."""
    grad = np.asarray(grad, dtype=np.float64)
    while grad.ndim > len(shape):
        grad = grad.sum(axis=0)
    for axis, extent in enumerate(shape):
        if extent == 1 and grad.shape[axis] != 1:
            grad = grad.sum(axis=axis, keepdims=True)
    return grad


def run_in_thread(fn):
    """Runs fn on a new thread and returns its result or raises its exception."""
    box = {}

    def target():
        try:
            box["value"] = fn()
        except BaseException as error:  # noqa: BLE001 - handed back to the caller
            box["error"] = error

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    if "error" in box:
        raise box["error"]
    return box.get("value")
