"""Broadcasting of two operands: the common shape, the three failure messages and their order."""

import operator

import numpy as np
import pytest

from zavra import Tensor

ARITHMETIC = [operator.add, operator.sub, operator.mul, operator.truediv]
COMPARISONS = [operator.eq, operator.ge, operator.gt, operator.le, operator.lt]
LOGICAL = [operator.and_, operator.or_, operator.xor]


def float_operands(shape_a, shape_b, seed=0):
    rng = np.random.default_rng(seed)
    a = rng.standard_normal(shape_a).astype(np.float32)
    b = rng.standard_normal(shape_b).astype(np.float32) + 3.0
    return a, b


def bool_operands(shape_a, shape_b, seed=0):
    rng = np.random.default_rng(seed)
    return rng.random(shape_a) < 0.5, rng.random(shape_b) < 0.5


COMPATIBLE = [
    ((2, 3), (3,), (2, 3)),
    ((3,), (2, 3), (2, 3)),
    ((2, 1), (1, 3), (2, 3)),
    ((5, 1, 4), (3, 1), (5, 3, 4)),
    ((), (2, 3), (2, 3)),
    ((2, 3), (), (2, 3)),
    ((), (), ()),
    ((1,), (), (1,)),
    ((0,), (1,), (0,)),
    ((1,), (0,), (0,)),
    ((0,), (0,), (0,)),
    ((2, 0), (2, 1), (2, 0)),
    ((3, 1, 0), (1, 4, 1), (3, 4, 0)),
    ((1, 1, 1), (7,), (1, 1, 7)),
    ((4, 1, 3, 1), (1, 5, 1, 2), (4, 5, 3, 2)),
    ((2, 1, 2, 1, 2, 1, 2), (1, 2, 1, 2, 1, 2, 1), (2,) * 7),
]


@pytest.mark.parametrize("shape_a, shape_b, common", COMPATIBLE)
@pytest.mark.parametrize("op", ARITHMETIC + COMPARISONS, ids=lambda op: op.__name__)
def test_common_shape_and_values_match_numpy(shape_a, shape_b, common, op):
    a, b = float_operands(shape_a, shape_b)
    out = op(Tensor(a), Tensor(b))
    expected = op(a, b)
    assert out.shape == list(common)
    assert np.array_equal(out.to_numpy(), expected)


@pytest.mark.parametrize("shape_a, shape_b, common", COMPATIBLE)
@pytest.mark.parametrize("op", LOGICAL, ids=lambda op: op.__name__)
def test_logical_operands_broadcast_alike(shape_a, shape_b, common, op):
    a, b = bool_operands(shape_a, shape_b)
    out = op(Tensor(a, dtype="bool"), Tensor(b, dtype="bool"))
    assert out.shape == list(common)
    assert np.array_equal(out.to_numpy(), op(a, b))


def test_result_strides_are_those_of_the_common_shape():
    a, b = float_operands((2, 3), (3,))
    assert (Tensor(a) + Tensor(b)).strides == [3, 1]
    a, b = float_operands((2, 1), (1, 3))
    assert (Tensor(a) * Tensor(b)).strides == [3, 1]
    a, b = float_operands((2, 0), (2, 1))
    assert (Tensor(a) - Tensor(b)).strides == [0, 0]
    a, b = float_operands((), ())
    out = Tensor(a) / Tensor(b)
    assert out.shape == [] and out.strides == []


MISMATCHED = [
    ((3,), (2,)),
    ((2, 3), (4, 3)),
    ((0,), (3,)),
    ((2,), (0,)),
    ((4, 2, 3), (5, 1, 3)),
    ((2, 1, 3), (3, 2)),
]


def mismatch_message(shape_a, shape_b):
    def text(shape):
        return "[" + ", ".join(str(d) for d in shape) + "]"

    return f"Shape mismatch: cannot broadcast {text(shape_a)} and {text(shape_b)}"


@pytest.mark.parametrize("shape_a, shape_b", MISMATCHED)
@pytest.mark.parametrize("op", ARITHMETIC + COMPARISONS, ids=lambda op: op.__name__)
@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16"])
def test_mismatch_names_both_whole_shapes_in_operand_order(shape_a, shape_b, op, dtype):
    a, b = float_operands(shape_a, shape_b)
    ta, tb = Tensor(a, dtype=dtype), Tensor(b, dtype=dtype)
    with pytest.raises(RuntimeError) as info:
        op(ta, tb)
    assert str(info.value) == mismatch_message(shape_a, shape_b)
    with pytest.raises(RuntimeError) as info:
        op(tb, ta)
    assert str(info.value) == mismatch_message(shape_b, shape_a)


@pytest.mark.parametrize("shape_a, shape_b", MISMATCHED)
@pytest.mark.parametrize("op", COMPARISONS + LOGICAL, ids=lambda op: op.__name__)
def test_mismatch_of_bool_operands(shape_a, shape_b, op):
    a, b = bool_operands(shape_a, shape_b)
    with pytest.raises(RuntimeError) as info:
        op(Tensor(a, dtype="bool"), Tensor(b, dtype="bool"))
    assert str(info.value) == mismatch_message(shape_a, shape_b)


def empty(shape, dtype="f32"):
    """A zero-size tensor of any extents: a zero extent comes first, so NumPy never
    multiplies the large ones together and nothing is allocated."""
    np_type = np.bool_ if dtype == "bool" else np.float32
    return Tensor(np.zeros(shape, dtype=np_type), dtype=dtype)


BIG = 2**32
OVERFLOWING = [
    # The product of the non-zero extents of the common shape passes 2^63 - 1.
    ((0, BIG, 1), (0, 1, BIG), (0, BIG, BIG)),
    ((0, 2**31, 1), (0, 1, BIG), (0, 2**31, BIG)),
    ((0, 2**30, 1, 1), (0, 1, 2**30, 8), (0, 2**30, 2**30, 8)),
    ((0, 2**60, 1), (9,), (0, 2**60, 9)),
]


@pytest.mark.parametrize("shape_a, shape_b, common", OVERFLOWING)
@pytest.mark.parametrize("op", ARITHMETIC + COMPARISONS, ids=lambda op: op.__name__)
def test_unaddressable_common_shape_is_reported_for_a(shape_a, shape_b, common, op):
    def text(shape):
        return "[" + ", ".join(str(d) for d in shape) + "]"

    # Both operands are empty, yet the common shape counts more elements than an
    # index can address; the check belongs to the view of A, whichever side is large.
    b = empty(shape_b) if 0 in shape_b else Tensor(np.ones(shape_b, np.float32))
    for left, right, shape_left in ((empty(shape_a), b, shape_a), (b, empty(shape_a), shape_b)):
        with pytest.raises(RuntimeError) as info:
            op(left, right)
        assert str(info.value) == f"Broadcast failed for A: {text(shape_left)} -> {text(common)}"


def test_unaddressable_common_shape_of_bool_operands():
    with pytest.raises(RuntimeError) as info:
        empty((0, BIG, 1), "bool") & empty((0, 1, BIG), "bool")
    assert str(info.value) == "Broadcast failed for A: [0, 4294967296, 1] -> [0, 4294967296, 4294967296]"


@pytest.mark.parametrize(
    "shape_a, shape_b, common",
    [
        # Just below the limit: an empty result, whatever the large extents.
        ((0, 2**31 - 1, 1), (0, 1, BIG), (0, 2**31 - 1, BIG)),
        ((0, 2**60, 1), (0, 1, 7), (0, 2**60, 7)),
        ((0, BIG, 1), (2**30, 1, 1, 0), (2**30, 0, BIG, 0)),
    ],
)
def test_large_empty_common_shapes_that_fit(shape_a, shape_b, common):
    out = empty(shape_a) + empty(shape_b)
    assert out.shape == list(common)
    assert out.strides == [0] * len(common)
    cmp = empty(shape_a) < empty(shape_b)
    assert cmp.shape == list(common) and cmp.dtype == "bool"


def test_element_type_is_checked_before_shapes():
    f32 = Tensor(np.ones(3, np.float32))
    other = Tensor(np.ones(2, np.float32), dtype="bool")
    with pytest.raises(ValueError, match="^Tensor DType mismatch during binary execution"):
        f32 + other
    with pytest.raises(RuntimeError, match="^Tensor device or dtype mismatch for element-wise < operation.$"):
        f32 < other
    with pytest.raises(RuntimeError, match="^Logical operations are only supported for Bool data types.$"):
        f32 & other


def test_broadcast_operand_is_read_repeatedly_not_copied():
    # A [1] operand against a large one: every result element sees the one value,
    # whether it stands left or right.
    big = np.arange(100_003, dtype=np.float32)
    one = np.array([2.5], np.float32)
    assert np.array_equal((Tensor(big) - Tensor(one)).to_numpy(), big - one)
    assert np.array_equal((Tensor(one) - Tensor(big)).to_numpy(), one - big)
    col = np.arange(1, 301, dtype=np.float32).reshape(300, 1)
    row = np.arange(1, 258, dtype=np.float32).reshape(1, 257)
    assert np.array_equal((Tensor(col) / Tensor(row)).to_numpy(), col / row)
    assert np.array_equal((Tensor(row) / Tensor(col)).to_numpy(), row / col)
