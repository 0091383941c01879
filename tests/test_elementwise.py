"""Element-wise arithmetic, comparison, scalar and logical operations against NumPy.

Float results are compared bit for bit; a NaN result only has to be a NaN (16-bit NaNs
must also be quiet). The 16-bit types are replayed in NumPy as float32 arithmetic on the
exactly widened operands followed by one rounding to the 16-bit type.
"""

import operator

import ml_dtypes
import numpy as np
import pytest

from zavra import Tensor

NP_TYPES = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}
FLOAT_DTYPES = list(NP_TYPES)
UINT = {"f32": np.uint32, "f16": np.uint16, "bf16": np.uint16}
QUIET_BIT = {"f16": 0x0200, "bf16": 0x0040}

ARITHMETIC = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv}
COMPARISONS = {"==": operator.eq, ">=": operator.ge, ">": operator.gt, "<=": operator.le, "<": operator.lt}
LOGICAL = {"&": operator.and_, "|": operator.or_, "^": operator.xor}


# ---- reference and comparison helpers ------------------------------------------------


def widen(array):
    return np.asarray(array).astype(np.float32)


def reference(op, a, b, dtype):
    """op in float32 on the widened operands, rounded once to the element type."""
    with np.errstate(all="ignore"):
        result = op(widen(a), widen(b))
        return result.astype(NP_TYPES[dtype]) if result.dtype != np.bool_ else result


def assert_same_floats(ours, expected, dtype):
    ours = np.asarray(ours)
    expected = np.asarray(expected, dtype=NP_TYPES[dtype])
    assert ours.dtype == expected.dtype
    assert ours.shape == expected.shape
    nan = np.isnan(widen(expected))
    assert np.array_equal(np.isnan(widen(ours)), nan), "NaN positions differ"
    ours_bits = ours.view(UINT[dtype])
    assert np.array_equal(ours_bits[~nan], expected.view(UINT[dtype])[~nan])
    if dtype in QUIET_BIT:
        assert np.all(ours_bits[nan] & QUIET_BIT[dtype]), "16-bit NaN results are quiet"


def special_values(dtype):
    info = ml_dtypes.finfo(NP_TYPES[dtype]) if dtype == "bf16" else np.finfo(NP_TYPES[dtype])
    values = [0.0, -0.0, 1.0, -1.0, 0.5, 3.0, -7.25, np.inf, -np.inf, np.nan]
    values += [float(info.max), -float(info.max), float(info.tiny), -float(info.tiny)]
    values += [float(info.smallest_subnormal), -float(info.smallest_subnormal), float(info.eps)]
    return np.array(values, dtype=np.float32).astype(NP_TYPES[dtype])


def random_values(dtype, shape, seed):
    """Every bit pattern is fair game: NaN, infinities, subnormals, zeros of both signs."""
    rng = np.random.default_rng(seed)
    count = int(np.prod(shape, dtype=np.int64))
    bits = rng.integers(0, 2 ** (8 * np.dtype(UINT[dtype]).itemsize), size=count, dtype=np.uint64)
    values = bits.astype(UINT[dtype]).view(NP_TYPES[dtype]).reshape(shape)
    # Sprinkle the special values in so that every run meets them.
    flat = values.reshape(-1)
    specials = special_values(dtype)
    flat[: min(count, specials.size)] = specials[: min(count, specials.size)]
    return values


def moderate_values(dtype, shape, seed):
    """Values whose sums, products and quotients stay finite and mostly normal."""
    rng = np.random.default_rng(seed)
    values = rng.standard_normal(shape) * 4.0
    return values.astype(np.float32).astype(NP_TYPES[dtype])


def tensor(array, dtype, swap=None):
    """A tensor with the values of `array`; with swap=(i, j) its axes i and j are
    stored exchanged (built from the swapped copy and transposed back)."""
    array = np.asarray(array)
    if swap is None:
        return Tensor(array, dtype=dtype)
    i, j = swap
    return Tensor(np.ascontiguousarray(np.swapaxes(array, i, j)), dtype=dtype).transpose(i, j)


# ---- element-type checks and their order --------------------------------------------

ALL_DTYPES = ["f16", "bf16", "f32", "bool"]
DEBUG = {"f16": "F16", "bf16": "BF16", "f32": "F32", "bool": "Bool"}


def ones(dtype, shape):
    return Tensor(np.ones(shape, np.float32), dtype=dtype)


@pytest.mark.parametrize("op", ARITHMETIC.values(), ids=ARITHMETIC.keys())
@pytest.mark.parametrize("left", ALL_DTYPES)
@pytest.mark.parametrize("right", ALL_DTYPES)
def test_arithmetic_element_type_checks(op, left, right):
    # Shapes that do not broadcast either: the element types are looked at first.
    a, b = ones(left, (3,)), ones(right, (2,))
    if left != right:
        with pytest.raises(ValueError) as info:
            op(a, b)
        assert str(info.value) == (
            "Tensor DType mismatch during binary execution. Cannot operate between "
            f"{DEBUG[left]} and {DEBUG[right]}."
        )
    elif left == "bool":
        with pytest.raises(TypeError) as info:
            op(a, b)
        assert str(info.value) == (
            "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."
        )
    else:
        with pytest.raises(RuntimeError, match=r"^Shape mismatch: cannot broadcast \[3\] and \[2\]$"):
            op(a, b)


@pytest.mark.parametrize("symbol", COMPARISONS)
@pytest.mark.parametrize("left", ALL_DTYPES)
@pytest.mark.parametrize("right", ALL_DTYPES)
def test_comparison_element_type_checks(symbol, left, right):
    op = COMPARISONS[symbol]
    a, b = ones(left, (3,)), ones(right, (2,))
    if left != right:
        with pytest.raises(RuntimeError) as info:
            op(a, b)
        assert str(info.value) == f"Tensor device or dtype mismatch for element-wise {symbol} operation."
    else:
        with pytest.raises(RuntimeError, match=r"^Shape mismatch: cannot broadcast \[3\] and \[2\]$"):
            op(a, b)


@pytest.mark.parametrize("symbol", LOGICAL)
@pytest.mark.parametrize("left", ALL_DTYPES)
@pytest.mark.parametrize("right", ALL_DTYPES)
def test_logical_element_type_checks(symbol, left, right):
    op = LOGICAL[symbol]
    a, b = ones(left, (3,)), ones(right, (2,))
    if left == right == "bool":
        with pytest.raises(RuntimeError, match=r"^Shape mismatch: cannot broadcast \[3\] and \[2\]$"):
            op(a, b)
    else:
        with pytest.raises(RuntimeError) as info:
            op(a, b)
        assert str(info.value) == "Logical operations are only supported for Bool data types."


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_logical_not_of_a_float_tensor(dtype):
    with pytest.raises(RuntimeError) as info:
        ~ones(dtype, (2,))
    assert str(info.value) == "Logical NOT is only supported for Bool data type."
    with pytest.raises(RuntimeError, match="^Logical NOT is only supported for Bool data type.$"):
        ~Tensor([1.0], dtype=dtype, requires_grad=True)


SCALAR_MESSAGES = [
    (lambda t: t + 1.0, ValueError, "Tensor DType invalid during scalar add. Cannot operate between Bool and scalar."),
    (lambda t: t - 1.0, ValueError, "Tensor DType invalid during scalar sub. Cannot operate between Bool and scalar."),
    (lambda t: t * 1.0, ValueError,
     "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
    (lambda t: t / 2.0, ValueError,
     "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
    (lambda t: t == 1.0, RuntimeError, "Tensor device or dtype mismatch for scalar == operation."),
    (lambda t: t >= 1.0, RuntimeError, "Tensor device or dtype mismatch for scalar >= operation."),
    (lambda t: t > 1.0, RuntimeError, "Tensor device or dtype mismatch for scalar > operation."),
    (lambda t: t <= 1.0, RuntimeError, "Tensor device or dtype mismatch for scalar <= operation."),
    (lambda t: t < 1.0, RuntimeError, "Tensor device or dtype mismatch for scalar < operation."),
]


@pytest.mark.parametrize("call, cls, message", SCALAR_MESSAGES)
@pytest.mark.parametrize("shape", [(3,), (), (0,)])
def test_scalar_operations_reject_bool(call, cls, message, shape):
    t = Tensor(np.ones(shape, bool), dtype="bool")
    with pytest.raises(cls) as info:
        call(t)
    assert str(info.value) == message
    assert type(info.value) is cls
    assert np.array_equal(t.to_numpy(), np.ones(shape, bool))


# ---- values ---------------------------------------------------------------------------

# Row-major sizes around the vector width, the conversion chunk and their tails.
SIZES = [1, 2, 7, 15, 16, 17, 31, 33, 63, 64, 65, 255, 256, 257, 1000, 4099]


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("symbol", ARITHMETIC)
@pytest.mark.parametrize("size", SIZES)
def test_arithmetic_of_contiguous_operands_is_bit_exact(dtype, symbol, size):
    op = ARITHMETIC[symbol]
    a = random_values(dtype, (size,), seed=size)
    b = random_values(dtype, (size,), seed=size + 1)
    ta, tb = Tensor(a, dtype=dtype), Tensor(b, dtype=dtype)
    out = op(ta, tb)
    assert out.dtype == dtype and out.shape == [size] and out.strides == [1]
    assert_same_floats(out.to_numpy(), reference(op, a, b, dtype), dtype)
    # The operands are untouched.
    assert np.array_equal(ta.to_numpy().view(UINT[dtype]), a.view(UINT[dtype]))
    assert np.array_equal(tb.to_numpy().view(UINT[dtype]), b.view(UINT[dtype]))


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("symbol", ARITHMETIC)
def test_arithmetic_on_every_pair_of_special_values(dtype, symbol):
    op = ARITHMETIC[symbol]
    s = special_values(dtype)
    a, b = s.reshape(-1, 1), s.reshape(1, -1)
    out = op(Tensor(a, dtype=dtype), Tensor(b, dtype=dtype))
    assert_same_floats(out.to_numpy(), reference(op, a, b, dtype), dtype)


# (shape of a, swap of a, shape of b, swap of b): broadcasts, stored-exchanged axes,
# rank 0 and empty operands, and axis counts beyond what is kept inline.
LAYOUTS = [
    ((4, 5), None, (4, 5), None),
    ((300, 1), None, (1, 257), None),
    ((3, 1, 70), None, (5, 1), None),
    ((17, 33), None, (33,), None),
    ((33,), None, (17, 33), None),
    ((6, 40), (0, 1), (6, 40), (0, 1)),
    ((6, 40), (0, 1), (6, 40), None),
    ((6, 40), None, (6, 40), (0, 1)),
    ((6, 40), (0, 1), (40,), None),
    ((6, 40), (0, 1), (6, 1), None),
    ((3, 4, 19), (0, 2), (3, 4, 19), (0, 2)),
    ((3, 4, 19), (0, 1), (3, 4, 19), (1, 2)),
    ((3, 4, 19), (1, 2), (4, 1), None),
    ((), None, (), None),
    ((), None, (2, 3), None),
    ((2, 3), (0, 1), (), None),
    ((0,), None, (1,), None),
    ((2, 0), None, (2, 1), None),
    ((0, 3), (0, 1), (0, 3), None),
    ((2,) * 8, (0, 7), (2,) * 8, (3, 5)),
    ((2, 1) * 7, (0, 12), (1, 2) * 7, None),
    ((3,) * 13, (0, 12), (3,) * 13, (2, 7)),
]


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("symbol", ARITHMETIC)
@pytest.mark.parametrize("shape_a, swap_a, shape_b, swap_b", LAYOUTS)
def test_arithmetic_in_every_layout(dtype, symbol, shape_a, swap_a, shape_b, swap_b):
    op = ARITHMETIC[symbol]
    a = random_values(dtype, shape_a, seed=11)
    b = random_values(dtype, shape_b, seed=12)
    out = op(tensor(a, dtype, swap_a), tensor(b, dtype, swap_b))
    expected = reference(op, a, b, dtype)
    assert out.shape == list(expected.shape)
    assert_same_floats(out.to_numpy(), expected, dtype)


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("symbol", COMPARISONS)
@pytest.mark.parametrize("shape_a, swap_a, shape_b, swap_b", LAYOUTS)
def test_comparisons_in_every_layout(dtype, symbol, shape_a, swap_a, shape_b, swap_b):
    op = COMPARISONS[symbol]
    # Few distinct values, so that equal pairs are common.
    a = moderate_values(dtype, shape_a, seed=21).round()
    b = moderate_values(dtype, shape_b, seed=22).round()
    if a.size:
        a.reshape(-1)[0] = np.nan
    out = op(tensor(a, dtype, swap_a), tensor(b, dtype, swap_b))
    assert out.dtype == "bool"
    assert np.array_equal(out.to_numpy(), op(widen(a), widen(b)))


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("symbol", COMPARISONS)
@pytest.mark.parametrize("size", [1, 15, 16, 63, 64, 65, 130, 1000])
def test_comparisons_of_random_bit_patterns(dtype, symbol, size):
    op = COMPARISONS[symbol]
    a = random_values(dtype, (size,), seed=31 + size)
    b = random_values(dtype, (size,), seed=32 + size)
    b[::3] = a[::3]  # equal pairs, NaN with NaN among them
    out = op(Tensor(a, dtype=dtype), Tensor(b, dtype=dtype)).to_numpy()
    assert np.array_equal(out, op(widen(a), widen(b)))


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_comparison_edge_cases(dtype):
    def t(values):
        return Tensor(np.array(values, np.float32), dtype=dtype)

    nan = float("nan")
    assert (t([nan]) == t([nan])).to_numpy().tolist() == [False]
    assert (t([0.0]) == t([-0.0])).to_numpy().tolist() == [True]
    assert (t([-0.0]) >= t([0.0])).to_numpy().tolist() == [True]
    assert (t([nan]) >= t([1.0])).to_numpy().tolist() == [False]
    assert (t([nan]) < t([1.0])).to_numpy().tolist() == [False]
    assert (t([np.inf]) > t([-np.inf])).to_numpy().tolist() == [True]


def test_bool_comparisons():
    a = np.array([True, True, False, False])
    b = np.array([True, False, True, False])
    ta, tb = Tensor(a, dtype="bool"), Tensor(b, dtype="bool")
    for symbol, op in COMPARISONS.items():
        out = op(ta, tb)
        assert out.dtype == "bool"
        assert np.array_equal(out.to_numpy(), op(a, b)), symbol
    assert (Tensor([True, False], dtype="bool") >= Tensor([False, True], dtype="bool")).to_numpy().tolist() == [
        True,
        False,
    ]
    assert (Tensor([True], dtype="bool") > Tensor([False], dtype="bool")).to_numpy().tolist() == [True]
    # Broadcast and exchanged axes.
    c = np.random.default_rng(0).random((5, 7)) < 0.5
    d = np.random.default_rng(1).random((7,)) < 0.5
    out = tensor(c, "bool", (0, 1)) <= Tensor(d, dtype="bool")
    assert np.array_equal(out.to_numpy(), c <= d)


EXAMPLES = [
    ("f32", [1.0, -1.0, 0.0], "/", [0.0, 0.0, 0.0], [np.inf, -np.inf, np.nan]),
    ("f32", [3.0], "*", [np.nan], [np.nan]),
    ("f16", [65504.0], "+", [65504.0], [np.inf]),
    ("f16", [1.0], "+", [2.0**-11], [1.0]),
    ("f16", [1.0], "+", [3 * 2.0**-11], [1.0 + 2.0**-9]),
    ("f16", [-65504.0], "-", [32.0], [-np.inf]),
    ("bf16", [256.0], "+", [1.0], [256.0]),
    ("bf16", [256.0], "+", [3.0], [260.0]),
    ("bf16", [3.0e38], "*", [2.0], [np.inf]),
]


@pytest.mark.parametrize("dtype, a, symbol, b, expected", EXAMPLES)
def test_arithmetic_examples(dtype, a, symbol, b, expected):
    out = ARITHMETIC[symbol](Tensor(a, dtype=dtype), Tensor(b, dtype=dtype))
    assert out.dtype == dtype
    assert_same_floats(out.to_numpy(), np.array(expected, np.float32).astype(NP_TYPES[dtype]), dtype)


# ---- scalar operations ------------------------------------------------------------------

SCALAR_ARITHMETIC = {"+": operator.add, "-": operator.sub, "*": operator.mul}
SCALARS = [0.0, -0.0, 1.0, -2.5, 0.1, 1e-3, 3.0e38, 1e-40, 65519.0, 100000.0, np.inf, -np.inf, np.nan]


def rounded_scalar(s, dtype):
    """The scalar as the engine sees it: float32, then the element type."""
    with np.errstate(over="ignore"):
        return np.array([s], np.float32).astype(NP_TYPES[dtype])


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("symbol", SCALAR_ARITHMETIC)
@pytest.mark.parametrize("s", SCALARS)
def test_scalar_arithmetic(dtype, symbol, s):
    op = SCALAR_ARITHMETIC[symbol]
    a = random_values(dtype, (67,), seed=41)
    out = op(Tensor(a, dtype=dtype), s)
    assert out.dtype == dtype and out.shape == [67]
    assert_same_floats(out.to_numpy(), reference(op, a, rounded_scalar(s, dtype), dtype), dtype)


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("symbol", COMPARISONS)
@pytest.mark.parametrize("s", SCALARS)
def test_scalar_comparisons(dtype, symbol, s):
    op = COMPARISONS[symbol]
    a = moderate_values(dtype, (70,), seed=42)
    with np.errstate(over="ignore"):
        a[: len(SCALARS)] = np.array(SCALARS, np.float32).astype(NP_TYPES[dtype])
    out = op(Tensor(a, dtype=dtype), s)
    assert out.dtype == "bool" and out.shape == [70]
    assert np.array_equal(out.to_numpy(), op(widen(a), widen(rounded_scalar(s, dtype))))


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("swap", [None, (0, 1), (1, 2), (0, 2)])
@pytest.mark.parametrize(
    "call", [lambda t: t + 1.5, lambda t: t - 0.25, lambda t: t * 3.0, lambda t: t / 3.0, lambda t: t < 0.5],
    ids=["add", "sub", "mul", "div", "lt"],
)
def test_scalar_operations_keep_the_operand_layout(dtype, swap, call):
    a = moderate_values(dtype, (3, 4, 5), seed=43)
    t = tensor(a, dtype, swap)
    out = call(t)
    assert out.shape == [3, 4, 5]
    assert out.strides == t.strides
    expected = call(widen(a))
    if expected.dtype == np.bool_:
        assert np.array_equal(out.to_numpy(), expected)


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_scalar_operations_on_rank_0_and_empty_operands(dtype):
    scalar = Tensor(np.float32(2.0), dtype=dtype)
    out = scalar * 3.0
    assert out.shape == [] and out.strides == []
    assert float(widen(out.to_numpy())) == 6.0
    empty = Tensor(np.zeros((2, 0), np.float32), dtype=dtype)
    for out in (empty + 1.0, empty < 1.0):
        assert out.shape == [2, 0] and out.strides == [0, 0]


SCALAR_EXAMPLES = [
    ("f32", [1.0, 2.0], lambda t: t - 0.5, [0.5, 1.5]),
    ("f32", [np.inf], lambda t: t * 0.0, [np.nan]),
    ("f16", [65504.0], lambda t: t + 16.0, [np.inf]),
    ("f16", [1.0, -3.0, 65504.0], lambda t: t + 100000.0, [np.inf, np.inf, np.inf]),
    ("bf16", [1.0], lambda t: t + (2.0**-8 + 2.0**-17), [1.0]),
    ("f32", [1.0, -2.0], lambda t: t + float("nan"), [np.nan, np.nan]),
    ("bf16", [1.0, -2.0], lambda t: t * float("nan"), [np.nan, np.nan]),
]


@pytest.mark.parametrize("dtype, a, call, expected", SCALAR_EXAMPLES)
def test_scalar_examples(dtype, a, call, expected):
    out = call(Tensor(a, dtype=dtype))
    assert_same_floats(out.to_numpy(), np.array(expected, np.float32).astype(NP_TYPES[dtype]), dtype)


def test_scalar_is_rounded_to_the_element_type_before_comparing():
    assert (Tensor([0.1], dtype="f16") == 0.1).to_numpy().tolist() == [True]
    assert (Tensor([0.1], dtype="bf16") == 0.1).to_numpy().tolist() == [True]
    assert (Tensor([0.1], dtype="f32") == 0.1).to_numpy().tolist() == [True]
    finite = Tensor([-65504.0, 0.0, 65504.0], dtype="f16")
    assert (finite < 100000.0).to_numpy().tolist() == [True, True, True]
    for call in (lambda t: t == float("nan"), lambda t: t < float("nan"), lambda t: t >= float("nan")):
        assert not call(finite).to_numpy().any()


# ---- memory order of results -------------------------------------------------------------


@pytest.mark.parametrize("dtype", FLOAT_DTYPES + ["bool"])
@pytest.mark.parametrize(
    "shape_a, swap_a, shape_b, swap_b, strides",
    [
        # Two row-major operands: row-major.
        ((3, 2), None, (3, 2), None, [2, 1]),
        # Two column-major operands of one shape: column-major.
        ((3, 2), (0, 1), (3, 2), (0, 1), [1, 3]),
        ((4, 3, 2), (0, 2), (4, 3, 2), (0, 2), [1, 4, 12]),
        # One of each: row-major.
        ((3, 2), None, (3, 2), (0, 1), [2, 1]),
        ((3, 2), (0, 1), (3, 2), None, [2, 1]),
        # A column-major operand with a broadcast row or column leans column-major.
        ((3, 2), (0, 1), (2,), None, [1, 3]),
        ((3, 2), (0, 1), (3, 1), None, [1, 3]),
        # Exchanged outer axes with a contiguous last axis: row-major.
        ((4, 3, 2), (0, 1), (4, 3, 2), (0, 1), [6, 2, 1]),
        # Rank 1 and rank 0 are always row-major.
        ((5,), None, (5,), None, [1]),
        ((), None, (), None, []),
        ((1, 4), (0, 1), (1, 4), (0, 1), [4, 1]),
        # Empty operands count as row-major.
        ((0, 3), (0, 1), (0, 3), (0, 1), [0, 0]),
    ],
)
def test_result_memory_order(dtype, shape_a, swap_a, shape_b, swap_b, strides):
    rng = np.random.default_rng(5)
    a, b = rng.random(shape_a) < 0.5, rng.random(shape_b) < 0.5
    if dtype == "bool":
        ops = [operator.eq, operator.lt, operator.and_, operator.xor]
    else:
        ops = [operator.eq, operator.lt, operator.add, operator.truediv]
        a, b = a.astype(np.float32), b.astype(np.float32) + 1.0
    ta, tb = tensor(a, dtype, swap_a), tensor(b, dtype, swap_b)
    for op in ops:
        out = op(ta, tb)
        assert out.strides == strides, op.__name__
        assert np.array_equal(widen(out.to_numpy()), widen(op(a, b)))


# ---- logical operations ----------------------------------------------------------------


def test_logical_truth_tables():
    a = Tensor([True, True, False, False], dtype="bool")
    b = Tensor([True, False, True, False], dtype="bool")
    assert (a | b).to_numpy().tolist() == [True, True, True, False]
    assert (a & b).to_numpy().tolist() == [True, False, False, False]
    assert (a ^ b).to_numpy().tolist() == [False, True, True, False]
    assert (~a).to_numpy().tolist() == [False, False, True, True]
    for out in (a | b, a & b, a ^ b, ~a):
        assert out.dtype == "bool"
        assert out.to_numpy().view(np.uint8).max() <= 1


@pytest.mark.parametrize("symbol", list(LOGICAL) + list(COMPARISONS))
@pytest.mark.parametrize("shape_a, swap_a, shape_b, swap_b", LAYOUTS)
def test_bool_operations_in_every_layout(symbol, shape_a, swap_a, shape_b, swap_b):
    op = {**LOGICAL, **COMPARISONS}[symbol]
    rng = np.random.default_rng(6)
    a, b = rng.random(shape_a) < 0.5, rng.random(shape_b) < 0.5
    out = op(tensor(a, "bool", swap_a), tensor(b, "bool", swap_b))
    assert np.array_equal(out.to_numpy(), op(a, b))


def test_logical_broadcast_examples():
    out = Tensor([[True], [False]], dtype="bool") & Tensor([True, False, True], dtype="bool")
    assert out.shape == [2, 3]
    assert out.to_numpy().tolist() == [[True, False, True], [False, False, False]]
    out = Tensor([True], dtype="bool") | Tensor(np.zeros(0, bool), dtype="bool")
    assert out.shape == [0]


@pytest.mark.parametrize("swap", [None, (0, 1), (1, 2), (0, 2)])
def test_logical_not_keeps_the_operand_layout(swap):
    a = np.random.default_rng(7).random((3, 4, 5)) < 0.5
    t = tensor(a, "bool", swap)
    out = ~t
    assert out.strides == t.strides
    assert np.array_equal(out.to_numpy(), ~a)
    assert (~Tensor(np.bool_(True), dtype="bool")).to_numpy().tolist() is False
    empty = ~Tensor(np.zeros((0, 2), bool), dtype="bool")
    assert empty.shape == [0, 2] and empty.strides == [0, 0]


def test_results_never_share_data_with_operands():
    a = Tensor([1.0, 2.0])
    b = a + 0.0
    c = a * Tensor([1.0])
    for out in (b, c):
        array = out.to_numpy()
        array[:] = 99.0
    assert a.to_numpy().tolist() == [1.0, 2.0]
    assert b.to_numpy().tolist() == [1.0, 2.0] and c.to_numpy().tolist() == [1.0, 2.0]


def test_large_results_are_independent_of_freed_ones():
    # Results of several MiB live in memory of their own that is recycled once freed;
    # a recycled block must never be shared with a live result.
    n = (1 << 20) + 3
    rng = np.random.default_rng(8)
    a = rng.standard_normal(n).astype(np.float32)
    b = rng.standard_normal(n).astype(np.float32)
    ta, tb = Tensor(a), Tensor(b)
    kept = []
    for step in range(6):
        total = ta + tb
        product = ta * tb
        if step % 2:
            kept.append((step, product))
        del total
        less = ta < tb
        assert np.array_equal(less.to_numpy(), a < b)
        assert np.array_equal(product.to_numpy(), a * b)
    for step, product in kept:
        assert np.array_equal(product.to_numpy(), a * b), step
    h = a.astype(np.float16)
    th = Tensor(h, dtype="f16")
    halved = reference(operator.mul, h, np.float16(0.5), "f16")
    assert_same_floats((th - th * 0.5).to_numpy(), reference(operator.sub, h, halved, "f16"), "f16")
