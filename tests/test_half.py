"""The 16-bit float types: exact widening of every bit pattern, and rounding to nearest even.

NumPy is the reference: float16 and ml_dtypes' bfloat16 widen exactly with astype(float32)
and narrow from float32 with round-to-nearest-even. NaN payloads may differ from NumPy's
(ours keeps the upper payload bits and sets the quiet bit), so a NaN result is checked for
being a quiet NaN and every other result bit for bit.
"""

import operator

import ml_dtypes
import numpy as np
import pytest

from zavra import Tensor

NP_TYPES = {"f16": np.float16, "bf16": ml_dtypes.bfloat16}
QUIET = {"f16": 0x0200, "bf16": 0x0040}
EXPONENT = {"f16": 0x7C00, "bf16": 0x7F80}
MANTISSA = {"f16": 0x03FF, "bf16": 0x007F}


def all_patterns(dtype):
    return np.arange(65536, dtype=np.uint16).view(NP_TYPES[dtype])


def is_nan_bits(bits, dtype):
    return ((bits & EXPONENT[dtype]) == EXPONENT[dtype]) & ((bits & MANTISSA[dtype]) != 0)


def narrow(values, dtype):
    with np.errstate(over="ignore", invalid="ignore"):
        return np.asarray(values, np.float32).astype(NP_TYPES[dtype])


def reference(op, a, b, dtype):
    with np.errstate(all="ignore"):
        return narrow(op(np.asarray(a).astype(np.float32), np.asarray(b).astype(np.float32)), dtype)


def assert_same(ours, expected, dtype):
    ours_bits = np.asarray(ours).view(np.uint16)
    expected_bits = np.asarray(expected, NP_TYPES[dtype]).view(np.uint16)
    assert ours_bits.shape == expected_bits.shape
    nan = is_nan_bits(expected_bits, dtype)
    assert np.array_equal(is_nan_bits(ours_bits, dtype), nan), "NaN positions differ"
    assert np.all(ours_bits[nan] & QUIET[dtype]), "NaN results are quiet"
    mismatch = np.flatnonzero((ours_bits != expected_bits) & ~nan)
    assert mismatch.size == 0, (
        f"{mismatch.size} results differ, first at {mismatch[0]}: "
        f"ours {ours_bits.flat[mismatch[0]]:#06x}, expected {expected_bits.flat[mismatch[0]]:#06x}"
    )


# ---- every bit pattern widened and narrowed back ------------------------------------------


@pytest.mark.parametrize("dtype", ["f16", "bf16"])
@pytest.mark.parametrize(
    "call, keeps_negative_zero",
    [
        (lambda t: t * 1.0, True),
        (lambda t: t - 0.0, True),
        (lambda t: t / 1.0, True),
        (lambda t: t * t.ones_like(), True),
        (lambda t: t + 0.0, False),  # -0 + +0 is +0
        (lambda t: t + t.zeros_like(), False),
    ],
    ids=["mul-scalar", "sub-scalar", "div-scalar", "mul-ones", "add-scalar", "add-zeros"],
)
def test_every_pattern_survives_the_round_trip(dtype, call, keeps_negative_zero):
    patterns = all_patterns(dtype)
    bits = patterns.view(np.uint16)
    out = call(Tensor(patterns, dtype=dtype)).to_numpy().view(np.uint16)
    nan = is_nan_bits(bits, dtype)
    expected = np.where(nan, bits | QUIET[dtype], bits)
    if not keeps_negative_zero:
        expected = np.where(bits == 0x8000, 0, expected)
    assert np.array_equal(out, expected)


# Scalars exact in both 16-bit formats, chosen to move results across exponent ranges,
# into the subnormals, onto ties and past the largest finite value.
EXACT_SCALARS = [0.5, 0.25, 0.75, 1.5, 3.0, -1.25, 2.0**-10, 2.0**-14, 2.0**-20, 1024.0, 1.0078125, -0.0]


@pytest.mark.parametrize("dtype", ["f16", "bf16"])
@pytest.mark.parametrize("symbol, op", [("*", operator.mul), ("+", operator.add), ("/", operator.truediv)])
@pytest.mark.parametrize("s", EXACT_SCALARS)
def test_every_pattern_with_a_scalar(dtype, symbol, op, s):
    patterns = all_patterns(dtype)
    scalar = narrow([s], dtype)
    assert float(scalar[0]) == s
    expected = reference(op, patterns, scalar, dtype)
    # Through the scalar operation, and through a tensor operand whose inner runs are
    # too short for the vector conversions (8 elements against a broadcast row).
    if symbol != "/":
        assert_same(op(Tensor(patterns, dtype=dtype), s).to_numpy(), expected, dtype)
    row = Tensor(np.full(8, s, np.float32), dtype=dtype)
    short_runs = op(Tensor(patterns.reshape(-1, 8), dtype=dtype), row)
    assert_same(short_runs.to_numpy().reshape(-1), expected, dtype)
    full = op(Tensor(patterns, dtype=dtype), Tensor(np.full(65536, s, np.float32), dtype=dtype))
    assert_same(full.to_numpy(), expected, dtype)


@pytest.mark.parametrize("dtype", ["f16", "bf16"])
@pytest.mark.parametrize("symbol, op", [("+", operator.add), ("-", operator.sub), ("*", operator.mul),
                                        ("/", operator.truediv)])
@pytest.mark.parametrize("seed", [0, 1])
def test_every_pattern_against_shuffled_partners(dtype, symbol, op, seed):
    patterns = all_patterns(dtype)
    partners = np.random.default_rng(seed).permutation(patterns.view(np.uint16)).view(NP_TYPES[dtype])
    out = op(Tensor(patterns, dtype=dtype), Tensor(partners, dtype=dtype))
    assert_same(out.to_numpy(), reference(op, patterns, partners, dtype), dtype)
    # The same pairs read through exchanged axes (element-by-element widening).
    a = patterns.reshape(256, 256)
    b = partners.reshape(256, 256)
    ta = Tensor(np.ascontiguousarray(a.T), dtype=dtype).transpose(0, 1)
    out = op(ta, Tensor(b, dtype=dtype))
    assert_same(out.to_numpy(), reference(op, a, b, dtype), dtype)


@pytest.mark.parametrize("dtype", ["f16", "bf16"])
@pytest.mark.parametrize("symbol, op", [("==", operator.eq), (">=", operator.ge), (">", operator.gt),
                                        ("<=", operator.le), ("<", operator.lt)])
def test_every_pattern_compared(dtype, symbol, op):
    patterns = all_patterns(dtype)
    wide = patterns.astype(np.float32)
    partners = np.random.default_rng(3).permutation(patterns.view(np.uint16)).view(NP_TYPES[dtype])
    t = Tensor(patterns, dtype=dtype)
    out = op(t, Tensor(partners, dtype=dtype)).to_numpy()
    assert np.array_equal(out, op(wide, partners.astype(np.float32)))
    # Against itself: every non-NaN pattern equals itself, -0 equals +0.
    assert np.array_equal(op(t, t).to_numpy(), op(wide, wide))
    for s in (0.0, -0.0, 1.0, -2.5, 65504.0, float("inf"), 2.0**-24, 1e-30):
        scalar = narrow([s], dtype).astype(np.float32)[0]
        assert np.array_equal(op(t, s).to_numpy(), op(wide, scalar)), s


# ---- narrowing of float32 values --------------------------------------------------------


def float32_neighbours(values):
    values = np.asarray(values, np.float32)
    with np.errstate(over="ignore"):
        return np.concatenate([values, np.nextafter(values, np.float32(np.inf)),
                               np.nextafter(values, np.float32(-np.inf))])


def f16_narrowing_cases():
    h = np.arange(0x0001, 0x7C00, 37, dtype=np.uint16).view(np.float16)
    h = np.concatenate([h, np.array([1.0, 2.0, 1024.0, 2048.0, 6.1035156e-05, 65504.0], np.float16)])
    with np.errstate(over="ignore"):
        nxt = np.nextafter(h, np.float16(np.inf))
    ties = (h.astype(np.float32) + nxt.astype(np.float32)) / np.float32(2)  # exact in float32
    subnormal_ties = np.arange(1, 2048, 2, dtype=np.float32) * np.float32(2.0**-25)
    special = np.array([65504.0, 65519.99609375, 65520.0, 65536.0, 1e38, 2.0**-24, 2.0**-25, 2.0**-26,
                        3 * 2.0**-26, 1e-40, 1.4e-45, 0.0, 2.0**-14, 2.0**-14 - 2.0**-25, np.inf], np.float32)
    values = float32_neighbours(np.concatenate([ties, subnormal_ties, special]))
    return np.concatenate([values, -values])


def bf16_narrowing_cases():
    h = np.arange(0x0001, 0x7F80, 41, dtype=np.uint16).view(ml_dtypes.bfloat16)
    nxt = (h.view(np.uint16) + 1).view(ml_dtypes.bfloat16)
    ties = (h.astype(np.float32).view(np.uint32) | np.uint32(0x8000)).view(np.float32)
    assert np.all(ties > h.astype(np.float32)) and np.all(ties < nxt.astype(np.float32))
    special = np.array([3.3895314e38, 3.4028235e38, 2.0**-126, 2.0**-133, 1e-45, 0.0, 1.0, 256.0, 257.0,
                        259.0, 1.00390625, 1.01171875, np.inf], np.float32)
    values = float32_neighbours(np.concatenate([ties, special]))
    return np.concatenate([values, -values])


def random_float32(count, seed):
    bits = np.random.default_rng(seed).integers(0, 2**32, size=count, dtype=np.uint64).astype(np.uint32)
    return bits.view(np.float32)


NARROWING = {
    "f16": lambda: np.concatenate([f16_narrowing_cases(), random_float32(100_000, 8)]),
    "bf16": lambda: np.concatenate([bf16_narrowing_cases(), random_float32(100_000, 9)]),
}


@pytest.mark.parametrize("dtype", ["f16", "bf16"])
def test_scalars_are_narrowed_to_nearest_even(dtype):
    # ones * s is exactly the scalar after its conversion to the element type.
    values = NARROWING[dtype]()
    ones = Tensor(np.ones(1, np.float32), dtype=dtype)
    ours = np.concatenate([(ones * float(v)).to_numpy() for v in values])
    assert_same(ours, narrow(values, dtype), dtype)


def test_scalar_nan_payloads_keep_their_upper_bits():
    # A float32 NaN keeps the bits that fit, with the quiet bit set.
    patterns = np.array([0x7F800001, 0x7FC00000, 0xFFC00000, 0x7FA00000, 0x7F812345, 0xFFFFFFFF], np.uint32)
    for bits in patterns:
        value = float(bits.view(np.float32))
        bf16 = (Tensor([1.0], dtype="bf16") * value).to_numpy().view(np.uint16)[0]
        assert bf16 == (bits >> 16) | 0x0040
        f16 = (Tensor([1.0], dtype="f16") * value).to_numpy().view(np.uint16)[0]
        assert is_nan_bits(np.uint16(f16), "f16") and f16 & 0x0200
        assert (f16 & 0x8000) == ((bits >> 16) & 0x8000)


def f16_sum_cases():
    """Pairs of exact f16 values whose float32 sum lands on a tie, next to a tie, or
    at the overflow boundary; the sum is exact in float32."""
    h = np.arange(0x0400, 0x7BFF, 53, dtype=np.uint16).view(np.float16)
    ulp = (np.nextafter(h, np.float16(np.inf)) - h).astype(np.float32)
    a, b = [], []
    for frac in (0.5, 0.25, 0.75, 0.5 + 2.0**-8, 0.5 - 2.0**-8):
        offset = (ulp * np.float32(frac)).astype(np.float16)
        keep = offset.astype(np.float32) == ulp * np.float32(frac)
        a.append(h[keep])
        b.append(offset[keep])
    a.append(np.array([65504.0, 65504.0, 65504.0, -65504.0, 65504.0], np.float16))
    b.append(np.array([15.9921875, 16.0, 8.0, -16.0, 32.0], np.float16))
    return np.concatenate(a), np.concatenate(b)


@pytest.mark.parametrize("layout", ["flat", "short-runs"])
def test_f16_sums_round_to_nearest_even(layout):
    a, b = f16_sum_cases()
    assert np.all(a.astype(np.float32) + b.astype(np.float32) - a.astype(np.float32) == b.astype(np.float32))
    expected = reference(operator.add, a, b, "f16")
    if layout == "flat":
        out = (Tensor(a, dtype="f16") + Tensor(b, dtype="f16")).to_numpy()
    else:
        # Rows of 3 against a partner stored column-major: runs too short for the
        # vector conversions, and a partner read element by element.
        n = a.size - a.size % 3
        ta = Tensor(a[:n].reshape(-1, 3), dtype="f16")
        tb = Tensor(np.ascontiguousarray(b[:n].reshape(-1, 3).T), dtype="f16").transpose(0, 1)
        out = (ta + tb).to_numpy().reshape(-1)
        expected = expected[:n]
    assert_same(out, expected, "f16")
    last = (Tensor([65504.0, 65504.0], dtype="f16") + Tensor([15.9921875, 16.0], dtype="f16")).to_numpy()
    assert last.tolist() == [65504.0, np.inf]


@pytest.mark.parametrize("dtype", ["f16", "bf16"])
def test_quotients_of_random_operands_narrow_like_numpy(dtype):
    # Quotients use all 24 bits of float32: a broad sample of narrowing inputs.
    rng = np.random.default_rng(12)
    a = rng.integers(0, 65536, size=100_003, dtype=np.uint32).astype(np.uint16).view(NP_TYPES[dtype])
    b = rng.integers(0, 65536, size=100_003, dtype=np.uint32).astype(np.uint16).view(NP_TYPES[dtype])
    out = Tensor(a, dtype=dtype) / Tensor(b, dtype=dtype)
    assert_same(out.to_numpy(), reference(operator.truediv, a, b, dtype), dtype)


@pytest.mark.parametrize(
    "dtype, a, b, expected",
    [
        ("f16", 65504.0, 65504.0, np.inf),
        ("f16", 1.0, 2.0**-11, 1.0),
        ("f16", 1.0, 3 * 2.0**-11, 1.0 + 2.0**-9),
        ("f16", 2.0**-24, -2.0**-24, 0.0),
        ("f16", 2.0**-14, -2.0**-24, 2.0**-14 - 2.0**-24),
        ("bf16", 256.0, 1.0, 256.0),
        ("bf16", 256.0, 3.0, 260.0),
        ("bf16", 258.0, 1.0, 260.0),
        ("bf16", 3.3895314e38, 3.3895314e38, np.inf),
    ],
)
def test_sum_examples(dtype, a, b, expected):
    out = Tensor([a], dtype=dtype) + Tensor([b], dtype=dtype)
    assert out.to_numpy().astype(np.float32).tolist() == [expected]


def test_f16_scalar_examples():
    def f16(values):
        return Tensor(np.array(values, np.float32), dtype="f16")

    assert (f16([65504.0]) + 16.0).to_numpy().tolist() == [np.inf]
    assert (f16([65504.0]) + 15.0).to_numpy().tolist() == [65504.0]
    assert (f16([1.0, -3.0]) + 100000.0).to_numpy().tolist() == [np.inf, np.inf]
    assert (f16([0.0]) + 2.0**-25).to_numpy().view(np.uint16).tolist() == [0]
    assert (f16([0.0]) + 2.0**-25 * 1.5).to_numpy().view(np.uint16).tolist() == [1]
    assert (Tensor([1.0], dtype="bf16") + (2.0**-8 + 2.0**-17)).to_numpy().tolist() == [1.0]
