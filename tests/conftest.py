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
