"""Property tests: random shapes, layouts and values replayed in NumPy, bit for bit."""

import ml_dtypes
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from conftest import bits
from zavra import Tensor

pytestmark = pytest.mark.timeout(300)

NP_TYPES = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}
FAST = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])

floats32 = st.floats(width=32, allow_nan=True, allow_infinity=True)


def as_tensor(data, array, dtype):
    """A tensor with array's values, built directly or as an axis exchange of
    another layout, so that kernels see non-row-major operands too."""
    if array.ndim >= 2 and data.draw(st.booleans()):
        i, j = data.draw(st.permutations(range(array.ndim)))[:2]
        return Tensor(np.ascontiguousarray(np.swapaxes(array, i, j)), dtype=dtype).transpose(i, j)
    if array.ndim >= 1 and data.draw(st.booleans()):
        # A view with negative strides: the constructor walks it in logical order.
        return Tensor(np.flip(np.flip(array).copy()), dtype=dtype)
    return Tensor(array, dtype=dtype)


def assert_same_floats(got, want):
    assert got.dtype == want.dtype and got.shape == want.shape
    nan = np.isnan(want.astype(np.float32))
    np.testing.assert_array_equal(np.isnan(got.astype(np.float32)), nan)
    np.testing.assert_array_equal(bits(got)[~nan], bits(want)[~nan])


def dense(shape, strides):
    """Strides of a gap-free block in row- or column-major order."""
    def standard(order):
        out, step = [0] * len(shape), 1
        for axis in order:
            out[axis] = step
            step *= shape[axis]
        return out

    if 0 in shape:
        return True
    long_axes = [k for k, n in enumerate(shape) if n > 1]
    row = standard(list(reversed(range(len(shape)))))
    col = standard(list(range(len(shape))))
    return any(all(strides[k] == ref[k] for k in long_axes) for ref in (row, col))


ARITH = {"add": np.add, "sub": np.subtract, "mul": np.multiply, "div": np.divide}
COMPARE = {"eq": np.equal, "ge": np.greater_equal, "gt": np.greater, "le": np.less_equal, "lt": np.less}
ZAVRA = {
    "add": lambda a, b: a + b, "sub": lambda a, b: a - b, "mul": lambda a, b: a * b, "div": lambda a, b: a / b,
    "eq": lambda a, b: a == b, "ge": lambda a, b: a >= b, "gt": lambda a, b: a > b,
    "le": lambda a, b: a <= b, "lt": lambda a, b: a < b,
}


@FAST
@given(
    data=st.data(),
    shapes=hnp.mutually_broadcastable_shapes(num_shapes=2, min_dims=0, max_dims=5, min_side=0, max_side=4),
    dtype=st.sampled_from(sorted(NP_TYPES)),
    op=st.sampled_from(sorted(ZAVRA)),
)
def test_binary_operations_match_numpy(data, shapes, dtype, op):
    np_type = NP_TYPES[dtype]
    with np.errstate(over="ignore"):  # large float32 values become 16-bit infinities
        a, b = (
            data.draw(hnp.arrays(np.float32, s, elements=floats32)).astype(np_type) for s in shapes.input_shapes
        )
    result = ZAVRA[op](as_tensor(data, a, dtype), as_tensor(data, b, dtype))
    with np.errstate(all="ignore"):
        if op in ARITH:
            want = ARITH[op](a.astype(np.float32), b.astype(np.float32)).astype(np_type)
            assert_same_floats(result.to_numpy(), want)
        else:
            want = COMPARE[op](a.astype(np.float32), b.astype(np.float32))
            np.testing.assert_array_equal(result.to_numpy(), want)
    assert result.shape == list(shapes.result_shape)
    assert dense(result.shape, result.strides)


@FAST
@given(
    data=st.data(),
    shape=hnp.array_shapes(min_dims=0, max_dims=5, min_side=0, max_side=4),
    dtype=st.sampled_from(sorted(NP_TYPES)),
    op=st.sampled_from(["add", "sub", "mul", "div", "eq", "ge", "gt", "le", "lt"]),
    scalar=st.floats(allow_nan=True, allow_infinity=True) | st.integers(-(2**40), 2**40),
)
def test_scalar_operations_match_numpy_and_keep_layout(data, shape, dtype, op, scalar):
    np_type = NP_TYPES[dtype]
    with np.errstate(over="ignore"):
        a = data.draw(hnp.arrays(np.float32, shape, elements=floats32)).astype(np_type)
    t = as_tensor(data, a, dtype)
    result = ZAVRA[op](t, scalar)
    # The scalar enters as float32 and is rounded to the element type first; a
    # division multiplies by the float32 reciprocal.
    with np.errstate(all="ignore"):
        s = np.float32(scalar)
        if op == "div":
            s = np.float32(1.0) / s
        s = np.asarray(s).astype(np_type).astype(np.float32)
        wide = a.astype(np.float32)
        if op in ARITH:
            fn = np.multiply if op == "div" else ARITH[op]
            assert_same_floats(result.to_numpy(), fn(wide, s).astype(np_type))
        else:
            np.testing.assert_array_equal(result.to_numpy(), COMPARE[op](wide, s))
    assert result.strides == t.strides


@FAST
@given(
    data=st.data(),
    shapes=hnp.mutually_broadcastable_shapes(num_shapes=2, min_dims=0, max_dims=5, min_side=0, max_side=4),
    op=st.sampled_from(["and", "or", "xor"]),
)
def test_logical_operations_match_numpy(data, shapes, op):
    a, b = (data.draw(hnp.arrays(np.bool_, s)) for s in shapes.input_shapes)
    ta, tb = as_tensor(data, a, "bool"), as_tensor(data, b, "bool")
    result = {"and": ta & tb, "or": ta | tb, "xor": ta ^ tb}[op]
    want = {"and": np.logical_and, "or": np.logical_or, "xor": np.logical_xor}[op](a, b)
    np.testing.assert_array_equal(result.to_numpy(), want)
    np.testing.assert_array_equal((~ta).to_numpy(), ~a)
    assert (~ta).strides == ta.strides


@FAST
@given(
    data=st.data(),
    batch=hnp.mutually_broadcastable_shapes(num_shapes=2, min_dims=0, max_dims=2, min_side=0, max_side=3),
    m=st.integers(0, 9),
    k=st.integers(0, 40),
    n=st.integers(0, 9),
    dtype=st.sampled_from(sorted(NP_TYPES)),
)
def test_matmul_matches_a_float64_reference(data, batch, m, k, n, dtype):
    np_type = NP_TYPES[dtype]
    values = st.floats(-4, 4, width=32)
    a = data.draw(hnp.arrays(np.float32, batch.input_shapes[0] + (m, k), elements=values)).astype(np_type)
    b = data.draw(hnp.arrays(np.float32, batch.input_shapes[1] + (k, n), elements=values)).astype(np_type)
    got = (as_tensor(data, a, dtype) @ as_tensor(data, b, dtype)).to_numpy()
    want = np.matmul(a.astype(np.float64), b.astype(np.float64))
    assert got.shape == want.shape and got.dtype == np_type
    scale = np.matmul(np.abs(a.astype(np.float64)), np.abs(b.astype(np.float64)))
    # Float32 accumulation: per step, half an ulp relative or half the smallest
    # subnormal absolute; then one rounding to a 16-bit type (relative in its normal
    # range, absolute among its subnormals).
    relative, absolute = {"f32": (0.0, 0.0), "f16": (2.0**-11, 2.0**-25), "bf16": (2.0**-8, 2.0**-134)}[dtype]
    accumulation = (k + 1) * (2.0**-23 * scale + 2.0**-149)
    tolerance = accumulation * (1 + relative) + relative * np.abs(want) + absolute
    assert np.all(np.abs(got.astype(np.float64) - want) <= tolerance)
    if dtype != "f32":
        # One rounding of the float32 product of the widened operands.
        wide = (Tensor(a.astype(np.float32)) @ Tensor(b.astype(np.float32))).to_numpy()
        np.testing.assert_array_equal(bits(got), bits(wide.astype(np_type)))


@FAST
@given(
    data=st.data(),
    shape=hnp.array_shapes(min_dims=1, max_dims=5, min_side=0, max_side=4),
    dtype=st.sampled_from(["f32", "f16", "bf16", "bool"]),
)
def test_reshape_and_transpose_round_trips(data, shape, dtype):
    a = data.draw(hnp.arrays(np.float32, shape, elements=st.floats(-100, 100, width=32)))
    t = Tensor(a, dtype=dtype)
    want = t.to_numpy()
    flat = t.reshape([int(np.prod(shape))])
    np.testing.assert_array_equal(flat.reshape(list(shape)).to_numpy(), want)
    pairs = data.draw(st.lists(st.tuples(st.integers(0, len(shape) - 1), st.integers(0, len(shape) - 1)), max_size=4))
    u = t
    for i, j in pairs:
        u = u.transpose(i, j)
    expected = want
    for i, j in pairs:
        expected = np.swapaxes(expected, i, j)
    np.testing.assert_array_equal(u.to_numpy(), expected)
    for i, j in reversed(pairs):
        u = u.transpose(i, j)
    assert u.strides == t.strides
    np.testing.assert_array_equal(u.to_numpy(), want)
