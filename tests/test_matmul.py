"""The matrix product: shapes and batch broadcasting, error messages in the order of the
checks, empty extents, strided operands, accuracy against a float64 reference on both
sides of the small-matrix/BLIS switch, the 16-bit types, threads and the gradient."""

import threading

import ml_dtypes
import numpy as np
import pytest

from conftest import bits
from zavra import Tensor

NP_TYPES = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}


def tensor(array):
    """A tensor of the array's own element type (the constructor defaults to f32)."""
    names = {np.dtype(v): k for k, v in NP_TYPES.items()} | {np.dtype(np.bool_): "bool"}
    return Tensor(array, dtype=names[np.asarray(array).dtype])


def normal(rng, shape, dtype="f32"):
    return rng.standard_normal(shape).astype(np.float32).astype(NP_TYPES[dtype])


def tolerance(a, b, k):
    """A float32 sum of k products may be off by about k rounding errors of the magnitudes."""
    scale = np.matmul(np.abs(a.astype(np.float64)), np.abs(b.astype(np.float64)))
    return (k + 1) * 2.0**-23 * scale


def assert_close_to_reference(got, a, b, extra=0.0):
    want = np.matmul(a.astype(np.float64), b.astype(np.float64))
    assert got.shape == want.shape
    err = np.abs(got.astype(np.float64) - want)
    assert np.all(err <= tolerance(a, b, a.shape[-1]) + extra * np.abs(want))


def row_major_strides(shape):
    return [int(np.prod(shape[i + 1 :])) for i in range(len(shape))]


def view(array, layout):
    """A tensor holding `array` in the requested layout of its last two axes."""
    if layout == "row":
        return tensor(np.ascontiguousarray(array))
    # Stored with the last two axes exchanged, read back through swapped strides.
    stored = tensor(np.ascontiguousarray(np.swapaxes(array, -1, -2)))
    return stored.transpose(stored.ndim - 2, stored.ndim - 1)


# ---- shapes and batch broadcasting -----------------------------------------------


@pytest.mark.parametrize(
    "a_shape, b_shape, result",
    [
        ((2, 3), (3, 4), (2, 4)),
        ((5, 2, 3), (3, 4), (5, 2, 4)),
        ((2, 3), (5, 3, 4), (5, 2, 4)),
        ((2, 1, 2, 3), (4, 3, 5), (2, 4, 2, 5)),
        ((1, 6, 7), (3, 1, 7, 2), (3, 1, 6, 2)),
        ((1, 1), (1, 1), (1, 1)),
    ],
)
def test_batch_axes_broadcast_and_values_match_numpy(a_shape, b_shape, result):
    rng = np.random.default_rng(0)
    a, b = normal(rng, a_shape), normal(rng, b_shape)
    out = Tensor(a) @ Tensor(b)
    assert out.shape == list(result) and out.dtype == "f32"
    got = out.to_numpy()
    assert_close_to_reference(got, a, b)
    # The result is in standard row-major layout, so it reshapes directly.
    assert out.strides == row_major_strides(result)
    count = int(np.prod(result))
    np.testing.assert_array_equal(out.reshape([count]).to_numpy(), got.reshape(count))


# ---- errors, in the order of the checks -------------------------------------------

DTYPE_MISMATCH = "Tensor DType mismatch during binary execution. Cannot operate between {} and {}."
BOOL_ARITH = "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."


def typed(shape, dtype):
    return Tensor(np.zeros(shape, np.float32), dtype=dtype)


@pytest.mark.parametrize(
    "a, b, error, message",
    [
        # Element types first, whatever the shapes.
        (((2, 3), "f16"), ((3, 4), "f32"), ValueError, DTYPE_MISMATCH.format("F16", "F32")),
        (((3,), "f32"), ((4,), "bf16"), ValueError, DTYPE_MISMATCH.format("F32", "BF16")),
        (((2, 3), "bool"), ((3, 4), "f32"), ValueError, DTYPE_MISMATCH.format("Bool", "F32")),
        (((2, 3), "bool"), ((3, 4), "bool"), TypeError, BOOL_ARITH),
        (((3,), "bool"), ((5,), "bool"), TypeError, BOOL_ARITH),
        # Then ranks, before any extent.
        (((3,), "f32"), ((3, 4), "f32"), RuntimeError, "Matmul requires at least 2D tensors. A: 1D, B: 2D"),
        (((), "f32"), ((3, 4), "f32"), RuntimeError, "Matmul requires at least 2D tensors. A: 0D, B: 2D"),
        (((2, 3), "f16"), ((3,), "f16"), RuntimeError, "Matmul requires at least 2D tensors. A: 2D, B: 1D"),
        (((7,), "bf16"), ((4,), "bf16"), RuntimeError, "Matmul requires at least 2D tensors. A: 1D, B: 1D"),
        # Then the inner extents, before the batch axes.
        (((2, 3), "f32"), ((4, 5), "f32"), RuntimeError, "Matrix inner dimensions mismatch for matmul: 3 vs 4"),
        (((2, 2, 3), "f32"), ((3, 4, 5), "f32"), RuntimeError, "Matrix inner dimensions mismatch for matmul: 3 vs 4"),
        (((2, 0), "f16"), ((1, 3), "f16"), RuntimeError, "Matrix inner dimensions mismatch for matmul: 0 vs 1"),
        # Finally the batch shapes.
        (((2, 2, 3), "f32"), ((3, 3, 4), "f32"), RuntimeError, "Shape mismatch: cannot broadcast [2] and [3]"),
        (((4, 2, 1, 3), "bf16"), ((3, 3, 4), "bf16"), RuntimeError, "Shape mismatch: cannot broadcast [4, 2] and [3]"),
    ],
)
def test_errors_follow_the_order_of_the_checks(a, b, error, message):
    ta, tb = typed(*a), typed(*b)
    with pytest.raises(error) as info:
        ta @ tb
    assert str(info.value) == message
    assert type(info.value) is error


@pytest.mark.parametrize("other", [2, 2.5, True, None, "x"])
def test_matrix_product_with_a_non_tensor_raises_type_error(other):
    t = Tensor(np.ones((2, 2), np.float32))
    with pytest.raises(TypeError):
        t @ other
    with pytest.raises(TypeError):
        other @ t


# ---- empty extents ------------------------------------------------------------------


@pytest.mark.parametrize("dtype", sorted(NP_TYPES))
@pytest.mark.parametrize(
    "a_shape, b_shape, result",
    [
        ((2, 0), (0, 3), (2, 3)),
        ((4, 2, 0), (1, 0, 3), (4, 2, 3)),
        ((0, 3), (3, 4), (0, 4)),
        ((2, 3), (3, 0), (2, 0)),
        ((0, 2, 3), (3, 4), (0, 2, 4)),
        ((0, 2, 3), (1, 3, 4), (0, 2, 4)),
        ((2, 0, 3), (3, 4), (2, 0, 4)),
        ((0, 0), (0, 0), (0, 0)),
    ],
)
def test_empty_extents(dtype, a_shape, b_shape, result):
    out = typed(a_shape, dtype) @ typed(b_shape, dtype)
    assert out.shape == list(result) and out.dtype == dtype
    got = out.to_numpy()
    assert got.shape == result and got.dtype == NP_TYPES[dtype]
    # An empty sum is +0.0, never garbage left in fresh memory.
    assert np.all(bits(got) == 0)


# ---- layouts --------------------------------------------------------------------------


@pytest.mark.parametrize("m, k, n", [(3, 4, 2), (1, 9, 1), (33, 65, 7), (129, 257, 40), (140, 300, 1600)])
@pytest.mark.parametrize("a_layout, b_layout", [("col", "row"), ("row", "col"), ("col", "col")])
def test_transposed_operand_gives_the_values_of_its_row_major_copy(m, k, n, a_layout, b_layout):
    rng = np.random.default_rng(m + n)
    a, b = normal(rng, (m, k)), normal(rng, (k, n))
    row = (Tensor(a) @ Tensor(b)).to_numpy()
    strided = view(a, a_layout) @ view(b, b_layout)
    assert strided.strides == [n, 1]
    got = strided.to_numpy()
    # Each result element sums the same products whatever the operand layouts; the
    # kernel's summation order may still depend on the layout, so allow its rounding.
    assert np.all(np.abs(got.astype(np.float64) - row) <= 2 * tolerance(a, b, k))
    if m * n * k <= 64:
        np.testing.assert_array_equal(bits(got), bits(row))


@pytest.mark.parametrize(
    "shape, axes",
    [
        ((3, 4, 1), (1, 2)),  # rows of extent 1 with a column stride of 1
        ((3, 1, 4), (0, 2)),  # a matrix axis of extent 1 carrying the batch stride
        ((1, 5, 3), (0, 2)),
        ((6, 1, 1), (0, 2)),
        ((2, 3, 4), (0, 2)),  # no unit stride on either matrix axis
    ],
)
def test_operands_with_unusual_strides(shape, axes):
    rng = np.random.default_rng(1)
    base = normal(rng, shape)
    t = Tensor(base).transpose(*axes)
    a = np.swapaxes(base, *axes)
    b = normal(rng, (a.shape[-1], 37))
    assert_close_to_reference((t @ Tensor(b)).to_numpy(), a, b)
    c = normal(rng, (23, a.shape[-2]))
    assert_close_to_reference((Tensor(c) @ t).to_numpy(), c, a)


# ---- float32 accuracy across the kernels -----------------------------------------------

# From register-blocked small products (k beyond one pass of 256) through the BLIS path
# (A with more than 128 rows, B with more than 16 columns, more than 400^3
# multiply-adds), crossing its block boundaries (k beyond 1024, m beyond 336, n beyond
# 4096).
SIZES = [
    (1, 1, 1),
    (7, 7, 7),
    (1, 33, 65),
    (65, 1, 33),
    (33, 65, 1),
    (32, 32, 32),
    (33, 129, 65),
    (129, 65, 7),
    (64, 256, 128),
    (5, 300, 3),
    (33, 700, 65),
    (257, 256, 255),
    (420, 390, 410),
    (347, 1030, 200),
    (150, 100, 4200),
]


@pytest.mark.parametrize("m, k, n", SIZES)
def test_float32_products_match_a_float64_reference(m, k, n):
    rng = np.random.default_rng(m * 7 + k * 3 + n)
    a, b = normal(rng, (m, k)), normal(rng, (k, n))
    assert_close_to_reference((Tensor(a) @ Tensor(b)).to_numpy(), a, b)


@pytest.mark.parametrize("m, k, n", [(5, 6, 7), (33, 17, 65), (140, 260, 300)])
def test_broadcast_batches_read_one_matrix_for_every_step(m, k, n):
    # Stride-0 batch axes on both sides: [3, 1] x [4] -> [3, 4].
    rng = np.random.default_rng(2)
    a, b = normal(rng, (3, 1, m, k)), normal(rng, (4, k, n))
    got = (Tensor(a) @ Tensor(b)).to_numpy()
    assert got.shape == (3, 4, m, n)
    assert_close_to_reference(got, a, b)
    # Every step along a stretched axis multiplies the same matrix: identical results.
    single = (Tensor(a[1, 0]) @ Tensor(b[2])).to_numpy()
    np.testing.assert_array_equal(bits(got[1, 2]), bits(single))


def test_batched_strided_operands_through_transpose():
    rng = np.random.default_rng(3)
    stored = normal(rng, (6, 40, 30))  # read as [6, 30, 40]
    t = Tensor(stored).transpose(1, 2)
    b = normal(rng, (6, 40, 50))
    assert_close_to_reference((t @ Tensor(b)).to_numpy(), np.swapaxes(stored, 1, 2), b)
    # Batch axis exchanged with a matrix axis: the matrices have no unit stride.
    t2 = Tensor(stored).transpose(0, 2)  # [30, 40, 6]
    c = normal(rng, (6, 9))
    assert_close_to_reference((t2 @ Tensor(c)).to_numpy(), np.swapaxes(stored, 0, 2), c)


# ---- 16-bit types: widen once, multiply in float32, round once -------------------------


@pytest.mark.parametrize("dtype", ["f16", "bf16"])
@pytest.mark.parametrize("m, k, n", [(3, 5, 4), (33, 65, 17), (2, 3, 40), (130, 300, 150), (420, 390, 410)])
def test_half_products_round_the_float32_product_once(dtype, m, k, n):
    rng = np.random.default_rng(k)
    a, b = normal(rng, (2, m, k), dtype), normal(rng, (1, k, n), dtype)
    out = tensor(a) @ tensor(b)
    assert out.dtype == dtype
    got = out.to_numpy()
    assert got.dtype == NP_TYPES[dtype]
    # Bit for bit: our own float32 product of the widened operands, rounded once.
    wide = (Tensor(a.astype(np.float32)) @ Tensor(b.astype(np.float32))).to_numpy()
    np.testing.assert_array_equal(bits(got), bits(wide.astype(NP_TYPES[dtype])))
    # And within half a 16-bit ulp (plus the float32 error) of the exact product.
    half_ulp = {"f16": 2.0**-11, "bf16": 2.0**-8}[dtype]
    assert_close_to_reference(got, a, b, extra=half_ulp * 1.01)


def test_f16_sum_is_rounded_once_not_per_product():
    # 1 + 2^-11 + 2^-11: exact in float32 and equal to the f16 value 1 + 2^-10, while
    # summing in f16 would round 1 + 2^-11 back to 1 at each step.
    a = np.array([[1.0, 2.0**-11, 2.0**-11]], np.float16)
    b = np.ones((3, 1), np.float16)
    got = (tensor(a) @ tensor(b)).to_numpy()
    assert got.dtype == np.float16 and got[0, 0] == np.float16(1.0 + 2.0**-10)


@pytest.mark.parametrize("dtype", ["f16", "bf16"])
def test_half_products_overflow_and_nan(dtype):
    big = {"f16": 300.0, "bf16": 1e20}[dtype]
    a = np.array([[big, big], [np.inf, 1.0]], np.float32).astype(NP_TYPES[dtype])
    b = np.array([[big, 0.0], [big, 1.0]], np.float32).astype(NP_TYPES[dtype])
    got = (tensor(a) @ tensor(b)).to_numpy().astype(np.float64)
    assert got[0, 0] == np.inf  # beyond the 16-bit range, rounded once to infinity
    assert got[0, 1] == np.float64(NP_TYPES[dtype](big))
    assert np.isnan(got[1, 1])  # inf * 0 + 1 * 1
    assert got[1, 0] == np.inf


# ---- threads ------------------------------------------------------------------------------


def test_concurrent_products_match_a_single_threaded_result():
    rng = np.random.default_rng(4)
    cases = [
        (normal(rng, (16, 32, 32)), normal(rng, (16, 32, 32))),  # small kernel
        (normal(rng, (300, 500)), normal(rng, (500, 450))),  # BLIS
        (normal(rng, (2, 64, 96), "bf16"), normal(rng, (96, 70), "bf16")),
    ]
    tensors = [(tensor(a), tensor(b)) for a, b in cases]
    expected = [bits((ta @ tb).to_numpy()) for ta, tb in tensors]
    failures = []
    start = threading.Barrier(2)

    def worker():
        start.wait()
        for _ in range(100):
            for (ta, tb), want in zip(tensors, expected):
                if not np.array_equal(bits((ta @ tb).to_numpy()), want):
                    failures.append("mismatch")

    threads = [threading.Thread(target=worker) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures


# ---- gradient -------------------------------------------------------------------------------


@pytest.mark.parametrize("a_shape, b_shape", [((2, 1, 5, 4), (3, 4, 6)), ((2, 1, 300, 500), (2, 500, 450))])
def test_gradient_is_grad_times_transposes(a_shape, b_shape):
    rng = np.random.default_rng(5)
    a, b = normal(rng, a_shape), normal(rng, b_shape)
    ta, tb = Tensor(a, requires_grad=True), Tensor(b, requires_grad=True)
    product = ta @ tb
    weights = normal(rng, tuple(product.shape))
    (product * Tensor(weights)).backward()
    # The gradient reaching the product is `weights`; neither operand's gradient is
    # reduced over the batch axes it was broadcast along.
    ga, gb = ta.grad(), tb.grad()
    batch = np.broadcast_shapes(a_shape[:-2], b_shape[:-2])
    assert ga.shape == batch + a_shape[-2:] and gb.shape == batch + b_shape[-2:]
    assert_close_to_reference(ga, weights, np.swapaxes(b, -1, -2))
    assert_close_to_reference(gb, np.swapaxes(a, -1, -2), weights)
