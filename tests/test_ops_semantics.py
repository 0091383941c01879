"""Element-wise, scalar, logical and shape operations: messages, order of checks,
exact 16-bit rounding and result layouts, checked against NumPy."""

import ml_dtypes
import numpy as np
import pytest

from conftest import bits
from zavra import Tensor

F32, F16, BF16 = np.float32, np.float16, ml_dtypes.bfloat16


def internal_failure_class():
    try:
        Tensor([[1.0]]).transpose(0, 3)
    except BaseException as error:  # noqa: BLE001 - this is the class under test
        return type(error)
    raise AssertionError("no internal failure raised")


def t(values, dtype="f32"):
    return Tensor(values, dtype=dtype)


# ---- messages and their order ---------------------------------------------------

MISMATCH = "Tensor DType mismatch during binary execution. Cannot operate between {} and {}."
BOOL_ARITH = "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."


@pytest.mark.parametrize("op", ["+", "-", "*", "/"])
@pytest.mark.parametrize(
    "left, right, exc, message",
    [
        ("f32", "bool", ValueError, MISMATCH.format("F32", "Bool")),
        ("bool", "f32", ValueError, MISMATCH.format("Bool", "F32")),
        ("f16", "f32", ValueError, MISMATCH.format("F16", "F32")),
        ("bf16", "f16", ValueError, MISMATCH.format("BF16", "F16")),
        ("bool", "bool", TypeError, BOOL_ARITH),
        ("f32", "f32", RuntimeError, "Shape mismatch: cannot broadcast [3] and [2]"),
    ],
)
def test_arithmetic_errors_in_order(op, left, right, exc, message):
    # Shapes [3] and [2] never broadcast: the element-type checks come first.
    a, b = t([1, 0, 1], left), t([1, 0], right)
    with pytest.raises(exc) as info:
        eval(f"a {op} b")
    assert str(info.value) == message


@pytest.mark.parametrize("op", ["==", ">=", ">", "<=", "<"])
def test_comparison_errors(op):
    with pytest.raises(RuntimeError) as info:
        eval(f"t([1.0], 'f32') {op} t([1.0], 'f16')")
    assert str(info.value) == f"Tensor device or dtype mismatch for element-wise {op} operation."
    with pytest.raises(RuntimeError, match=r"^Shape mismatch: cannot broadcast \[3\] and \[2\]$"):
        eval(f"t([1, 0, 1], 'bool') {op} t([1, 0], 'bool')")


@pytest.mark.parametrize(
    "expr, exc, message",
    [
        ("b + 1.0", ValueError, "Tensor DType invalid during scalar add. Cannot operate between Bool and scalar."),
        ("b - 1.0", ValueError, "Tensor DType invalid during scalar sub. Cannot operate between Bool and scalar."),
        ("b * 1.0", ValueError, "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
        ("b / 2.0", ValueError, "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
        ("2.0 / b", ValueError, "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
        ("b == 1.0", RuntimeError, "Tensor device or dtype mismatch for scalar == operation."),
        ("b >= 1.0", RuntimeError, "Tensor device or dtype mismatch for scalar >= operation."),
        ("b > 1.0", RuntimeError, "Tensor device or dtype mismatch for scalar > operation."),
        ("b <= 1.0", RuntimeError, "Tensor device or dtype mismatch for scalar <= operation."),
        ("b < 1.0", RuntimeError, "Tensor device or dtype mismatch for scalar < operation."),
        ("x & b", RuntimeError, "Logical operations are only supported for Bool data types."),
        ("b | x", RuntimeError, "Logical operations are only supported for Bool data types."),
        ("x ^ x", RuntimeError, "Logical operations are only supported for Bool data types."),
        ("~x", RuntimeError, "Logical NOT is only supported for Bool data type."),
        ("b & t([True, False], 'bool')", RuntimeError, "Shape mismatch: cannot broadcast [3] and [2]"),
        ("x.reshape([4])", ValueError, "Error while reshape: ShapeError/IncompatibleShape: incompatible shapes"),
        (
            "x.reshape([3]).transpose(0, 0).reshape([3, 1]).transpose(0, 1).reshape([3])",
            None,
            None,
        ),
    ],
)
def test_scalar_logical_and_reshape_errors(expr, exc, message):
    b = t([True, False, True], "bool")
    x = t([1.0, 2.0, 3.0])
    if exc is None:
        eval(expr)  # an exchanged axis of extent 1 keeps the layout standard
        return
    with pytest.raises(exc) as info:
        eval(expr)
    assert str(info.value) == message


def test_reshape_checks_count_before_layout():
    moved = t(np.arange(6).reshape(2, 3)).transpose(0, 1)
    with pytest.raises(ValueError) as info:
        moved.reshape([4])
    assert str(info.value) == "Error while reshape: ShapeError/IncompatibleShape: incompatible shapes"
    for shape in ([6], [3, 2]):
        with pytest.raises(ValueError) as info:
            moved.reshape(shape)
        assert str(info.value) == "Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout"


@pytest.mark.parametrize("dims, named", [((0, 2), 2), ((5, 7), 5), ((2, 0), 2)])
def test_transpose_beyond_rank_is_an_internal_failure(dims, named):
    cls = internal_failure_class()
    assert cls.__bases__ == (BaseException,)
    with pytest.raises(cls) as info:
        t(np.zeros((2, 3))).transpose(*dims)
    assert str(info.value) == f"index out of bounds: the len is 2 but the index is {named}"


# ---- broadcasting ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "a, b",
    [((2, 3), (3,)), ((2, 1), (1, 3)), ((5, 1, 4), (3, 1)), ((3,), (2, 3)), ((), (2, 3)), ((), ()), ((1,), ()),
     ((0,), (1,)), ((0,), (0,)), ((2, 0), (2, 1))],
)
def test_broadcast_shapes_follow_numpy(a, b):
    x = np.arange(int(np.prod(a)), dtype=F32).reshape(a)
    y = np.arange(int(np.prod(b)), dtype=F32).reshape(b) + 1
    got = Tensor(x) * Tensor(y)
    np.testing.assert_array_equal(got.to_numpy(), x * y)
    assert got.shape == list(np.broadcast_shapes(a, b))


@pytest.mark.parametrize("a, b", [((0,), (3,)), ((3,), (2,)), ((2, 3), (4, 3))])
def test_broadcast_mismatch_names_both_whole_shapes(a, b):
    for x, y in ((a, b), (b, a)):
        with pytest.raises(RuntimeError) as info:
            Tensor(np.zeros(x, F32)) + Tensor(np.zeros(y, F32))
        assert str(info.value) == f"Shape mismatch: cannot broadcast {list(x)} and {list(y)}"


# ---- element arithmetic -------------------------------------------------------------------


@pytest.mark.parametrize(
    "dtype, a, b, op, want_bits",
    [
        ("f16", 65504.0, 65504.0, "+", 0x7C00),  # overflow to +inf
        ("f16", 1.0, 2.0**-11, "+", 0x3C00),  # tie to even: stays 1
        ("f16", 1.0, 3 * 2.0**-11, "+", 0x3C02),  # a tie between 1 + 2^-10 and 1 + 2^-9: even
        ("f16", 2.0**-14, 0.5, "*", 0x0200),  # a subnormal result
        ("bf16", 256.0, 1.0, "+", 0x4380),  # tie to even: 256
        ("bf16", 256.0, 3.0, "+", 0x4382),  # 260
        ("bf16", 1.0, 0.0, "/", 0x7F80),
    ],
)
def test_16_bit_results_round_to_nearest_even(dtype, a, b, op, want_bits):
    got = eval(f"t([a], dtype) {op} t([b], dtype)").to_numpy()
    assert int(bits(got)[0]) == want_bits


def test_f32_special_values():
    got = (t([1.0, -1.0, 0.0]) / t([0.0, 0.0, 0.0])).to_numpy()
    np.testing.assert_array_equal(got, [np.inf, -np.inf, np.nan])
    assert np.isnan((t([3.0]) * t([np.nan])).to_numpy()[0])
    cmp = [(t([np.nan]) == t([np.nan])), (t([0.0]) == t([-0.0])), (t([np.nan]) >= t([1.0])), (t([np.nan]) < t([1.0]))]
    assert [c.to_numpy()[0] for c in cmp] == [False, True, False, False]


def test_bool_comparisons():
    a, b = t([True, False], "bool"), t([False, True], "bool")
    np.testing.assert_array_equal((a >= b).to_numpy(), [True, False])
    np.testing.assert_array_equal((t([True], "bool") > t([False], "bool")).to_numpy(), [True])
    np.testing.assert_array_equal((a == a).to_numpy(), [True, True])


def test_logical_truth_tables_and_broadcast():
    a = t([True, True, False, False], "bool")
    b = t([True, False, True, False], "bool")
    assert (a | b).to_numpy().tolist() == [True, True, True, False]
    assert (a & b).to_numpy().tolist() == [True, False, False, False]
    assert (a ^ b).to_numpy().tolist() == [False, True, True, False]
    assert (t([[True], [False]], "bool") & t([True, False, True], "bool")).shape == [2, 3]
    assert (t([True], "bool") | Tensor(np.zeros(0, bool), dtype="bool")).shape == [0]


@pytest.mark.parametrize("dtype, np_type", [("f16", F16), ("bf16", BF16)])
def test_every_16_bit_pattern_widens_exactly(dtype, np_type):
    patterns = np.arange(65536, dtype=np.uint16).view(np_type)
    x = Tensor(patterns, dtype=dtype)
    assert np.array_equal(bits(x.to_numpy()), np.arange(65536, dtype=np.uint16))
    # Multiplying by an exact one widens, multiplies exactly and narrows back: every
    # non-NaN pattern survives bit for bit; NaNs stay NaN with the quiet bit set.
    got = bits((x * Tensor(np.ones(65536, np_type), dtype=dtype)).to_numpy())
    wide = patterns.astype(F32)
    nan = np.isnan(wide)
    np.testing.assert_array_equal(got[~nan], np.arange(65536, dtype=np.uint16)[~nan])
    quiet = 0x0200 if dtype == "f16" else 0x0040
    assert np.all(got[nan] & quiet) and np.all(np.isnan(got[nan].view(np_type).astype(F32)))
    # Comparisons of 16-bit values equal comparisons of their exact widenings.
    np.testing.assert_array_equal((x < 1.0).to_numpy(), wide < 1.0)


def random_16_bit(np_type, count, rng):
    """Random bit patterns: normals, subnormals, zeros, infinities and NaNs alike."""
    return rng.integers(0, 65536, count, dtype=np.uint16).view(np_type)


@pytest.mark.parametrize("dtype, np_type", [("f16", F16), ("bf16", BF16)])
@pytest.mark.parametrize("op", ["+", "-", "*", "/"])
def test_16_bit_arithmetic_is_float32_then_one_rounding(dtype, np_type, op):
    rng = np.random.default_rng(11)
    a, b = random_16_bit(np_type, 50000, rng), random_16_bit(np_type, 50000, rng)
    got = eval(f"Tensor(a, dtype=dtype) {op} Tensor(b, dtype=dtype)").to_numpy()
    with np.errstate(all="ignore"):
        want = eval(f"a.astype(F32) {op} b.astype(F32)").astype(np_type)
    nan = np.isnan(want.astype(F32))
    np.testing.assert_array_equal(np.isnan(got.astype(F32)), nan)
    np.testing.assert_array_equal(bits(got)[~nan], bits(want)[~nan])


@pytest.mark.parametrize("dtype, np_type, half_ulp", [("f16", F16, 2.0**-11), ("bf16", BF16, 2.0**-8)])
def test_exact_ties_round_to_even(dtype, np_type, half_ulp):
    rng = np.random.default_rng(12)
    a = rng.uniform(1.01, 2, 4000).astype(np_type)  # exact 16-bit values in (1, 2): a +- half ulp is a tie
    b = np.full(4000, half_ulp, np_type) * rng.choice([-1, 1], 4000).astype(np_type)
    got = (Tensor(a, dtype=dtype) + Tensor(b, dtype=dtype)).to_numpy()
    want = (a.astype(F32) + b.astype(F32)).astype(np_type)
    np.testing.assert_array_equal(bits(got), bits(want))
    assert np.all(bits(got) % 2 == 0)  # every tie went to the even neighbour


# ---- scalars -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "expr, dtype, want",
    [
        ("t([1.0, 2.0]) - 0.5", "f32", [0.5, 1.5]),
        ("t([np.inf]) * 0.0", "f32", [np.nan]),
        ("t([65504.0], 'f16') + 16.0", "f16", [np.inf]),
        ("t([1.0, 2.0, -3.0], 'f16') + 100000.0", "f16", [np.inf, np.inf, np.inf]),
        ("t([1.0], 'bf16') + (2.0**-8 + 2.0**-17)", "bf16", [1.0]),
        ("t([49.0]) / 7.0", "f32", [np.float32(7.0000005)]),
        ("t([1.0, 0.0, -2.0]) / 0.0", "f32", [np.inf, np.nan, -np.inf]),
        ("t([1.0, 0.0, -2.0]) / -0.0", "f32", [-np.inf, np.nan, np.inf]),
        ("t([1.0, 2.0]) + np.nan", "f32", [np.nan, np.nan]),
        ("2 / t([1.0, 2.0, 4.0])", "f32", [2.0, 1.0, 0.5]),
        ("t([1.0, 2.0, 4.0]) / 2", "f32", [0.5, 1.0, 2.0]),
        ("t([1.0]) + True", "f32", [2.0]),
    ],
)
def test_scalar_arithmetic(expr, dtype, want):
    got = eval(expr)
    assert got.dtype == dtype
    np.testing.assert_array_equal(got.to_numpy().astype(F32), np.array(want, F32))


def test_scalar_comparisons_round_the_scalar_first():
    assert (t([0.1], "f16") == 0.1).to_numpy().tolist() == [True]
    assert (t([1.0, 65504.0], "f16") < 100000.0).to_numpy().tolist() == [True, True]
    assert (t([1.0]) < np.nan).to_numpy().tolist() == [False]
    assert (2 < t([1.0, 3.0])).to_numpy().tolist() == (t([1.0, 3.0]) > 2).to_numpy().tolist() == [False, True]
    x = t([1.0, 2.0])
    for method, want in (("__req__", [False, True]), ("__rlt__", [False, False]), ("__rgt__", [True, False])):
        assert getattr(x, method)(2).to_numpy().tolist() == want
    with pytest.raises(TypeError) as info:
        x.__req__("a")
    assert info.value.__notes__ == ["while processing 'other'"]


# ---- result layouts ------------------------------------------------------------------------


def test_result_memory_order():
    rm = t(np.arange(6).reshape(3, 2))
    cm = t(np.arange(6).reshape(2, 3)).transpose(0, 1)
    assert cm.strides == [1, 3]
    assert (cm + cm).strides == [1, 3]
    assert (rm + cm).strides == [2, 1] and (cm + rm).strides == [2, 1]
    assert (t(np.zeros((2, 3))) + t(np.zeros(3))).strides == [3, 1]
    assert (cm * 2.0).strides == [1, 3] and (cm > 1.0).strides == [1, 3]
    bcm = t(np.zeros((2, 3)), "bool").transpose(0, 1)
    assert (~bcm).strides == [1, 3] and (bcm & bcm).strides == [1, 3]
    assert t(3.0).__add__(1.0).strides == []
    np.testing.assert_array_equal((cm + cm).to_numpy(), 2 * np.arange(6).reshape(2, 3).T)


# ---- operators ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "expr",
    ["2 - x", "x + 'a'", "x @ 2", "x & 1", "-x", "x ** 2", "x // 2", "x % 2", "abs(x)", "x + 10**400", "1 & x"],
)
def test_unsupported_operands_raise_type_error(expr):
    x = t([1.0, 2.0])
    with pytest.raises(TypeError):
        eval(expr)


def test_reflected_and_augmented_operators():
    x = t([1.0, 2.0, 4.0])
    np.testing.assert_array_equal((2 + x).to_numpy(), (x + 2).to_numpy())
    np.testing.assert_array_equal((2 * x).to_numpy(), (x * 2).to_numpy())
    np.testing.assert_array_equal((x - 2).to_numpy(), [-1.0, 0.0, 2.0])
    old = x
    x += t([1.0, 1.0, 1.0])
    assert x is not old and old.to_numpy().tolist() == [1.0, 2.0, 4.0]
    assert bool(t([0.0])) is True


@pytest.mark.parametrize("other", [2.0, [2.0, 0.0, np.nan]])
def test_not_equal_is_elementwise(other):
    x = t([2.0, 1.0, np.nan])
    u = other if isinstance(other, float) else t(other)
    np.testing.assert_array_equal((x != u).to_numpy(), (~(x == u)).to_numpy())
    assert (x != u).to_numpy().tolist()[1] is True


def test_comparisons_and_fills_never_record():
    x = Tensor([1.0, 2.0], requires_grad=True)
    for result in (x == x, x < 1.0, x.zeros_like(), x.ones_like(), (x > 0.0) & (x > 1.0)):
        assert result.requires_grad is False
        with pytest.raises(ValueError, match="does not require grad"):
            result.backward()


def test_fills_and_shape_operations():
    moved = t(np.arange(6).reshape(2, 3)).transpose(0, 1)
    ones = moved.ones_like()
    assert ones.strides == [2, 1] and ones.to_numpy().tolist() == [[1.0] * 2] * 3
    assert bits(t([1.0], "f16").ones_like().to_numpy())[0] == 0x3C00
    assert bits(t([1.0], "bf16").ones_like().to_numpy())[0] == 0x3F80
    assert t([True], "bool").zeros_like().to_numpy().tolist() == [False]
    src = t(np.arange(6).reshape(2, 3))
    for shape, strides in (([3, 2], [2, 1]), ([6], [1]), ([1, 6], [6, 1]), ([6, 1], [1, 1])):
        r = src.reshape(shape)
        assert r.strides == strides and r.to_numpy().ravel().tolist() == list(range(6))
    assert t([[5.0]]).reshape([]).shape == [] and t([[5.0]]).reshape([]).reshape([1]).shape == [1]
    assert t(np.zeros((2, 0))).reshape([0, 5]).strides == [0, 0]
    assert t(np.zeros((1, 3))).transpose(0, 1).reshape([3]).shape == [3]
    twice = src.transpose(0, 1).transpose(0, 1)
    assert (twice.shape, twice.strides) == (src.shape, src.strides)


@pytest.mark.parametrize("shape", [(3, 2), [3, 2], range(3, 1, -1), np.array([3, 2]), (np.int64(3), np.int32(2))])
def test_reshape_accepts_sequences_of_integers(shape):
    assert t(np.arange(6)).reshape(shape).shape == [3, 2]
