import ml_dtypes
import numpy as np
import pytest

from zavra import Tensor


@pytest.mark.parametrize(
    "data, dtype",
    [
        ([[1.0, 2.0], [3.0, 4.0]], "f32"),
        (np.arange(2000, dtype=np.float32).reshape(40, 50) / 7, "f32"),
        ([0.1, 65504.0, 6e-8, np.nan, -np.inf], "f16"),
        ([True, False], "bool"),
        (3.5, "f32"),
    ],
)
def test_repr_uses_numpy_formatting(data, dtype):
    t = Tensor(data, dtype=dtype)
    body = np.array2string(t.to_numpy(), separator=", ", prefix="Tensor(")
    assert repr(t) == f"Tensor({body}, dtype={dtype})"
    assert str(t) == repr(t)


def test_repr_of_bfloat16_shows_shortest_round_trip_decimals():
    values = [0.1, 1 / 3, 3.14159, 1e-5, -2.0]
    t = Tensor(values, dtype="bf16")
    text = repr(t)
    assert text.startswith("Tensor([") and text.endswith(", dtype=bf16)")
    inner = text[len("Tensor(["):-len("], dtype=bf16)")]
    shown = np.array([float(v) for v in inner.split(",")], np.float32).astype(ml_dtypes.bfloat16)
    np.testing.assert_array_equal(shown.view(np.uint16), t.to_numpy().view(np.uint16))
    assert "0.1," in text or "1.00e-01" in text


def test_repr_shows_grad_flag_and_empty_shape_and_records_nothing():
    x = Tensor([[1.0, -1.0]], requires_grad=True)
    assert repr(x) == "Tensor([[ 1., -1.]], dtype=f32, requires_grad=True)"
    assert repr(Tensor(np.zeros((2, 0), np.float32))) == "Tensor([], shape=[2, 0], dtype=f32)"
    y = x * 2.0
    repr(y)
    y.backward()
    np.testing.assert_array_equal(x.grad(), [[2.0, 2.0]])
