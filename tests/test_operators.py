"""The operator protocol: which operation each operator calls, operand conversion, reflection,
NotImplemented fallbacks, and which results take part in gradients."""

import operator

import ml_dtypes
import numpy as np
import pytest

from zavra import Tensor

NP_TYPES = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}
FLOAT_DTYPES = list(NP_TYPES)


def f32(values):
    return Tensor(np.array(values, np.float32))


def as_list(t):
    return t.to_numpy().tolist()


def assert_same_tensor(a, b):
    assert a.shape == b.shape and a.dtype == b.dtype and a.strides == b.strides
    x, y = a.to_numpy(), b.to_numpy()
    assert x.tobytes() == y.tobytes()


# ---- mapping of operators to operations ---------------------------------------------------


def test_arithmetic_with_tensors_and_numbers():
    t = f32([1.0, 2.0, 4.0])
    u = f32([2.0, 2.0, 2.0])
    assert as_list(t + u) == [3.0, 4.0, 6.0]
    assert as_list(t - u) == [-1.0, 0.0, 2.0]
    assert as_list(t * u) == [2.0, 4.0, 8.0]
    assert as_list(t / u) == [0.5, 1.0, 2.0]
    assert as_list(t + 2) == [3.0, 4.0, 6.0]
    assert as_list(t - 2) == [-1.0, 0.0, 2.0]
    assert as_list(t * 2) == [2.0, 4.0, 8.0]
    assert as_list(t / 2) == [0.5, 1.0, 2.0]
    assert as_list(2 / t) == [2.0, 1.0, 0.5]


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("s", [2, 2.5, -0.0, 1e-3, True, np.float64(0.1), np.float32(3.0), np.int8(-4)])
def test_reflected_forms_equal_the_forward_forms(dtype, s):
    t = Tensor(np.linspace(-3, 3, 13, dtype=np.float32), dtype=dtype)
    assert_same_tensor(s + t, t + s)
    assert_same_tensor(s * t, t * s)
    assert_same_tensor(s < t, t > s)
    assert_same_tensor(s <= t, t >= s)
    assert_same_tensor(s > t, t < s)
    assert_same_tensor(s >= t, t <= s)
    assert_same_tensor(s == t, t == s)
    assert_same_tensor(t == s, t.__req__(s))
    assert_same_tensor(t.__rlt__(s), t > s)
    assert_same_tensor(t.__rgt__(s), t < s)


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_number_divided_by_a_tensor(dtype):
    a = np.array([1.0, 2.0, 4.0, -0.0, 0.0, 3.0, np.inf, np.nan], np.float32).astype(NP_TYPES[dtype])
    t = Tensor(a, dtype=dtype)
    for s in (2.0, 0.1, -5.0, 0.0):
        out = s / t
        assert out.dtype == dtype and out.shape == t.shape
        # Every element of a tensor filled with s (rounded to the element type), divided
        # by the element, computed in float32 and rounded once.
        filled = np.full(a.shape, s, np.float32).astype(NP_TYPES[dtype]).astype(np.float32)
        with np.errstate(all="ignore"):
            expected = (filled / a.astype(np.float32)).astype(NP_TYPES[dtype])
        np.testing.assert_array_equal(out.to_numpy(), expected)


def test_division_by_a_number_multiplies_by_its_float32_reciprocal():
    assert as_list(f32([49.0]) / 7.0) == [np.float32(7.0000005)]
    assert (f32([49.0]) / 7.0).to_numpy()[0] == np.float32(49.0) * (np.float32(1.0) / np.float32(7.0))
    assert (f32([49.0]) / f32([7.0])).to_numpy()[0] == np.float32(7.0)
    by_zero = as_list(f32([1.0, 0.0, -2.0]) / 0.0)
    assert by_zero[0] == np.inf and np.isnan(by_zero[1]) and by_zero[2] == -np.inf
    by_negative_zero = as_list(f32([1.0, 0.0, -2.0]) / -0.0)
    assert by_negative_zero[0] == -np.inf and np.isnan(by_negative_zero[1]) and by_negative_zero[2] == np.inf
    # In 16 bits the reciprocal is rounded again, to the element type.
    out = Tensor([49.0], dtype="f16") / 7.0
    reciprocal = np.float16(np.float32(1.0) / np.float32(7.0))
    assert out.to_numpy()[0] == np.float16(np.float32(49.0) * np.float32(reciprocal))


def test_numbers_enter_as_float32():
    t = f32([0.0])
    assert (t + 0.1).to_numpy()[0] == np.float32(0.1)
    assert (t + 16777217).to_numpy()[0] == np.float32(16777216.0)
    assert (t + 1e300).to_numpy()[0] == np.inf
    assert (t + True).to_numpy()[0] == 1.0
    assert (t == 0.1 - 0.1).to_numpy()[0]

    class Half:
        def __float__(self):
            return 0.5

    class Three:
        def __index__(self):
            return 3

    assert as_list(t + Half()) == [0.5]
    assert as_list(Half() + t) == [0.5]
    assert as_list(t * Three() + 1) == [1.0]
    assert as_list(t < Half()) == [True]


# ---- operands no slot accepts -------------------------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: 2 - t, "unsupported operand type(s) for -: 'int' and 'zavra.Tensor'"),
        (lambda t: t + "a", "unsupported operand type(s) for +: 'zavra.Tensor' and 'str'"),
        (lambda t: "a" + t, None),
        (lambda t: t * None, "unsupported operand type(s) for *: 'zavra.Tensor' and 'NoneType'"),
        (lambda t: t + 10**400, "unsupported operand type(s) for +: 'zavra.Tensor' and 'int'"),
        (lambda t: 10**400 + t, "unsupported operand type(s) for +: 'int' and 'zavra.Tensor'"),
        (lambda t: t / 10**400, "unsupported operand type(s) for /: 'zavra.Tensor' and 'int'"),
        (lambda t: t - [1.0], "unsupported operand type(s) for -: 'zavra.Tensor' and 'list'"),
        (lambda t: t @ 2, "unsupported operand type(s) for @: 'zavra.Tensor' and 'int'"),
        (lambda t: 2 @ t, "unsupported operand type(s) for @: 'int' and 'zavra.Tensor'"),
        (lambda t: t & 1, "unsupported operand type(s) for &: 'zavra.Tensor' and 'int'"),
        (lambda t: True | t, "unsupported operand type(s) for |: 'bool' and 'zavra.Tensor'"),
        (lambda t: t ^ True, "unsupported operand type(s) for ^: 'zavra.Tensor' and 'bool'"),
        (lambda t: -t, "bad operand type for unary -: 'zavra.Tensor'"),
        (lambda t: +t, "bad operand type for unary +: 'zavra.Tensor'"),
        (lambda t: abs(t), "bad operand type for abs(): 'zavra.Tensor'"),
        (lambda t: t**2, "unsupported operand type(s) for ** or pow(): 'zavra.Tensor' and 'int'"),
        (lambda t: t // 2, "unsupported operand type(s) for //: 'zavra.Tensor' and 'int'"),
        (lambda t: t % 2, "unsupported operand type(s) for %: 'zavra.Tensor' and 'int'"),
        (lambda t: t < "a", "'<' not supported between instances of 'zavra.Tensor' and 'str'"),
        (lambda t: None >= t, "'>=' not supported between instances of 'NoneType' and 'zavra.Tensor'"),
        (lambda t: len(t), "object of type 'zavra.Tensor' has no len()"),
    ],
)
def test_unsupported_operands_raise_pythons_type_error(call, message):
    t = f32([1.0, 2.0])
    with pytest.raises(TypeError) as info:
        call(t)
    if message is not None:
        assert str(info.value) == message
    assert as_list(t) == [1.0, 2.0]


def test_equality_with_unsupported_operands_falls_back_to_identity():
    t = f32([1.0])
    assert (t == "a") is False
    assert (t != "a") is True
    assert ("a" == t) is False
    assert (t == None) is False  # noqa: E711
    assert (t == 10**400) is False


def test_truth_value_is_always_true():
    for t in (f32([0.0]), f32([]), Tensor(False, dtype="bool"), Tensor(np.zeros((0, 3), np.float32))):
        assert bool(t) is True


@pytest.mark.parametrize("method", ["__req__", "__rlt__", "__rgt__"])
def test_explicit_reflected_methods_convert_other(method):
    t = f32([1.0, 2.0])
    bound = getattr(t, method)
    with pytest.raises(TypeError) as info:
        bound("a")
    assert str(info.value) == "must be real number, not str"
    assert info.value.__notes__ == ["while processing 'other'"]
    with pytest.raises(TypeError) as info:
        bound(t)
    assert str(info.value) == "must be real number, not zavra.Tensor"
    assert info.value.__notes__ == ["while processing 'other'"]
    with pytest.raises(OverflowError):
        bound(10**400)
    with pytest.raises(TypeError, match=rf"^Tensor.{method}\(\) missing 1 required positional argument: 'other'$"):
        bound()
    assert_same_tensor(bound(other=1.5), bound(1.5))
    assert getattr(Tensor, method).__text_signature__ == "($self, other)"


def test_explicit_reflected_methods_on_bool_tensors():
    t = Tensor([True], dtype="bool")
    with pytest.raises(RuntimeError, match="^Tensor device or dtype mismatch for scalar == operation.$"):
        t.__req__(1)
    with pytest.raises(RuntimeError, match="^Tensor device or dtype mismatch for scalar > operation.$"):
        t.__rlt__(1)
    with pytest.raises(RuntimeError, match="^Tensor device or dtype mismatch for scalar < operation.$"):
        t.__rgt__(1)


# ---- errors of the operations pass through unchanged ---------------------------------------


@pytest.mark.parametrize(
    "call, cls, message",
    [
        (lambda: f32([1.0]) + Tensor([True], dtype="bool"), ValueError,
         "Tensor DType mismatch during binary execution. Cannot operate between F32 and Bool."),
        (lambda: Tensor([True], dtype="bool") * f32([1.0]), ValueError,
         "Tensor DType mismatch during binary execution. Cannot operate between Bool and F32."),
        (lambda: Tensor([1.0], dtype="f16") - f32([1.0]), ValueError,
         "Tensor DType mismatch during binary execution. Cannot operate between F16 and F32."),
        (lambda: Tensor([True], dtype="bool") / Tensor([True], dtype="bool"), TypeError,
         "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."),
        (lambda: f32([1.0]) == Tensor([1.0], dtype="f16"), RuntimeError,
         "Tensor device or dtype mismatch for element-wise == operation."),
        (lambda: f32([1.0]) != Tensor([1.0], dtype="f16"), RuntimeError,
         "Tensor device or dtype mismatch for element-wise == operation."),
        (lambda: f32([1.0, 2.0, 3.0]) + f32([1.0, 2.0]), RuntimeError,
         "Shape mismatch: cannot broadcast [3] and [2]"),
        (lambda: 2 + Tensor([True], dtype="bool"), ValueError,
         "Tensor DType invalid during scalar add. Cannot operate between Bool and scalar."),
        (lambda: 2 * Tensor([True], dtype="bool"), ValueError,
         "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
        (lambda: 2 / Tensor([True], dtype="bool"), ValueError,
         "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
        (lambda: 2 < Tensor([True], dtype="bool"), RuntimeError,
         "Tensor device or dtype mismatch for scalar > operation."),
        (lambda: Tensor([True], dtype="bool") != 1, RuntimeError,
         "Tensor device or dtype mismatch for scalar == operation."),
        (lambda: f32([1.0]) & f32([1.0]), RuntimeError, "Logical operations are only supported for Bool data types."),
        (lambda: ~f32([1.0]), RuntimeError, "Logical NOT is only supported for Bool data type."),
    ],
)
def test_operation_errors_propagate(call, cls, message):
    with pytest.raises(cls) as info:
        call()
    assert type(info.value) is cls
    assert str(info.value) == message


# ---- not-equal ------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_not_equal_is_element_wise(dtype):
    a = np.array([1.0, 2.0, np.nan, 0.0, -0.0, np.inf], np.float32)
    b = np.array([1.0, 3.0, np.nan, -0.0, 1.0, np.inf], np.float32)
    t, u = Tensor(a, dtype=dtype), Tensor(b, dtype=dtype)
    out = t != u
    assert out.dtype == "bool"
    assert as_list(out) == (a != b).tolist()
    assert_same_tensor(out, ~(t == u))
    assert as_list(t != 1.0) == (a != np.float32(1.0)).tolist()
    assert_same_tensor(t != 1.0, ~(t == 1.0))
    assert_same_tensor(1.0 != t, t != 1.0)
    # Broadcast and exchanged axes keep the layout of ==.
    m = Tensor(np.arange(6, dtype=np.float32).reshape(2, 3), dtype=dtype).transpose(0, 1)
    row = Tensor([1.0, 2.0], dtype=dtype)
    assert_same_tensor(m != m, ~(m == m))
    assert_same_tensor(m != row, ~(m == row))
    assert_same_tensor(m != 1.0, ~(m == 1.0))


def test_not_equal_of_bool_tensors():
    a = Tensor([True, True, False, False], dtype="bool")
    b = Tensor([True, False, True, False], dtype="bool")
    assert as_list(a != b) == [False, True, True, False]


# ---- logical operators ------------------------------------------------------------------------


def test_logical_operators():
    a = Tensor([True, True, False, False], dtype="bool")
    b = Tensor([True, False, True, False], dtype="bool")
    assert as_list(a & b) == [True, False, False, False]
    assert as_list(a | b) == [True, True, True, False]
    assert as_list(a ^ b) == [False, True, True, False]
    assert as_list(~a) == [False, False, True, True]


# ---- augmented assignment ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "update",
    [operator.iadd, operator.isub, operator.imul, operator.itruediv],
)
def test_augmented_assignment_rebinds_to_a_new_tensor(update):
    t = f32([1.0, 2.0])
    original = t
    u = f32([4.0, 4.0])
    t = update(t, u)
    assert t is not original
    assert as_list(original) == [1.0, 2.0]
    plain = {operator.iadd: operator.add, operator.isub: operator.sub, operator.imul: operator.mul,
             operator.itruediv: operator.truediv}[update]
    assert as_list(t) == as_list(plain(original, u))
    s = f32([1.0])
    before = s
    s = update(s, 2)
    assert s is not before and as_list(before) == [1.0]


def test_augmented_logical_assignment():
    a = Tensor([True, False], dtype="bool")
    original = a
    a &= Tensor([False, False], dtype="bool")
    assert a is not original and as_list(original) == [True, False] and as_list(a) == [False, False]


# ---- gradients: which results take part --------------------------------------------------------


# (operation, whether it reads u)
RECORDED = [
    (lambda t, u: t + u, True), (lambda t, u: t - u, True), (lambda t, u: t * u, True),
    (lambda t, u: t / u, True), (lambda t, u: u / t, True),
    (lambda t, u: t + 1.5, False), (lambda t, u: t - 1.5, False), (lambda t, u: t * 1.5, False),
    (lambda t, u: t / 1.5, False), (lambda t, u: 1.5 + t, False), (lambda t, u: 1.5 * t, False),
    (lambda t, u: 1.5 / t, False),
]
CONSTANT = [
    lambda t, u: t == u, lambda t, u: t < u, lambda t, u: t >= 1.0, lambda t, u: 1.0 < t,
    lambda t, u: t != u, lambda t, u: t != 1.0, lambda t, u: t.__req__(1.0), lambda t, u: t.__rgt__(1.0),
    lambda t, u: t.zeros_like(), lambda t, u: t.ones_like(),
]


@pytest.mark.parametrize("call, reads_u", RECORDED)
@pytest.mark.parametrize("t_grad, u_grad", [(True, False), (False, True), (True, True), (False, False)])
def test_arithmetic_requires_grad_when_an_operand_does(call, reads_u, t_grad, u_grad):
    t = Tensor([1.0, 2.0], requires_grad=t_grad)
    u = Tensor([3.0, 4.0], requires_grad=u_grad)
    out = call(t, u)
    assert out.requires_grad is (t_grad or (reads_u and u_grad))
    if out.requires_grad:
        out.backward()
        assert t.grad() is not None if t_grad else t.grad() is None
    else:
        assert out.grad() is None


@pytest.mark.parametrize("call", CONSTANT)
def test_comparisons_and_fills_never_take_part(call):
    t = Tensor([1.0, 2.0], requires_grad=True)
    u = Tensor([2.0, 2.0], requires_grad=True)
    out = call(t, u)
    assert out.requires_grad is False
    assert out.grad() is None
    with pytest.raises(ValueError, match=r"^backward\(\) called on tensor that does not require grad$"):
        out.backward()


def test_logical_operations_never_take_part():
    # Bool tensors may require grad; logical results still do not.
    a = Tensor([True, False], dtype="bool", requires_grad=True)
    b = Tensor([True, True], dtype="bool", requires_grad=True)
    for out in (a & b, a | b, a ^ b, ~a, a == b, a < b):
        assert out.requires_grad is False
        with pytest.raises(ValueError, match="does not require grad"):
            out.backward()


def test_gradient_reaches_the_divisor_of_a_reflected_division():
    u = Tensor([1.0, 2.0, 4.0], requires_grad=True)
    out = 2.0 / u
    assert out.requires_grad is True
    out.backward()
    np.testing.assert_allclose(u.grad(), -2.0 / np.array([1.0, 4.0, 16.0], np.float32), rtol=1e-6)


def test_gradients_through_scalar_operators():
    t = Tensor([1.0, 2.0], requires_grad=True)
    out = ((t * 3.0 + 1.0 - 2.0) / 2.0) * t
    out.backward()
    # d/dt [(3t - 1) / 2 * t] = (6t - 1) / 2
    np.testing.assert_allclose(t.grad(), (6 * np.array([1.0, 2.0]) - 1) / 2, rtol=1e-6)
