import threading

import ml_dtypes
import numpy as np
import pytest

from conftest import bits, run_in_thread
from zavra import Tensor, nn

relu = nn.functional.relu
f32 = np.float32


def leaf(values, dtype="f32"):
    return Tensor(np.asarray(values, dtype=np.float32), dtype=dtype, requires_grad=True)


# ---- gradient rules ---------------------------------------------------------------

RULES = {
    "add": (lambda a, b: a + b, lambda a, b, g: (g, g)),
    "sub": (lambda a, b: a - b, lambda a, b, g: (g, -g)),
    "mul": (lambda a, b: a * b, lambda a, b, g: (g * b, g * a)),
    "div": (lambda a, b: a / b, lambda a, b, g: (g / b, (-g * a) / (b * b))),
}


@pytest.mark.parametrize("op", sorted(RULES))
@pytest.mark.parametrize("shapes", [((2, 3), (2, 3)), ((3,), (2, 3)), ((2, 1), (1, 3)), ((), (4,))])
def test_binary_rules_keep_broadcast_shape(op, shapes):
    rng = np.random.default_rng(0)
    a = rng.uniform(0.5, 2.0, shapes[0]).astype(f32)
    b = rng.uniform(0.5, 2.0, shapes[1]).astype(f32)
    forward, rule = RULES[op]
    ta, tb = leaf(a), leaf(b)
    out = forward(ta, tb)
    out.backward()
    common = np.broadcast_shapes(a.shape, b.shape)
    ones = np.ones(common, f32)
    want_a, want_b = rule(np.broadcast_to(a, common), np.broadcast_to(b, common), ones)
    assert ta.grad().shape == common and tb.grad().shape == common
    np.testing.assert_array_equal(ta.grad(), want_a.astype(f32))
    np.testing.assert_array_equal(tb.grad(), want_b.astype(f32))
    np.testing.assert_array_equal(out.grad(), ones)


@pytest.mark.parametrize(
    "build, want",
    [
        (lambda x: x + 3.0, lambda x: np.ones_like(x)),
        (lambda x: x - 3.0, lambda x: np.ones_like(x)),
        (lambda x: x * 4.0, lambda x: np.full_like(x, 4.0)),
        (lambda x: x / 4.0, lambda x: np.full_like(x, 0.25)),
        (lambda x: 3.0 + x, lambda x: np.ones_like(x)),
        (lambda x: 2.0 * x, lambda x: np.full_like(x, 2.0)),
        (lambda x: 2.0 / x, lambda x: np.divide(-2.0, x * x, where=x != 0, out=np.full_like(x, -np.inf))),
        (lambda x: x * x, lambda x: 2 * x),
        (lambda x: relu(x), lambda x: (x > 0).astype(f32)),
        (lambda x: x.reshape([3, 2]), lambda x: np.ones_like(x)),
        (lambda x: x.reshape((6,)).reshape([2, 3]) * x, lambda x: 2 * x),
    ],
    ids=["sadd", "ssub", "smul", "sdiv", "radd", "rmul", "rdiv", "square", "relu", "reshape", "reshape2"],
)
def test_unary_and_scalar_rules(build, want):
    x = np.array([[-1.5, 0.0, 2.0], [3.0, -0.5, 0.25]], f32)
    t = leaf(x)
    build(t).backward()
    np.testing.assert_allclose(t.grad(), want(x), rtol=1e-6)


def test_transpose_gradient_is_exchanged_back_without_moving_data():
    x = leaf(np.arange(6).reshape(2, 3))
    y = x.transpose(0, 1)
    y.backward()
    # The delivered gradient is the exchanged view of the seed: strides [1, 2].
    assert x.grad().shape == (2, 3)
    np.testing.assert_array_equal(x.grad(), np.ones((2, 3), f32))


def test_transpose_of_broadcast_result_gets_gradient_of_broadcast_shape():
    # The result of the transpose is broadcast against a rank-3 tensor, so its
    # gradient arrives with a leading axis; the exchange must count from the end.
    x = leaf(np.arange(6).reshape(2, 3))
    y = x.transpose(0, 1) * Tensor(np.arange(24, dtype=f32).reshape(4, 3, 2))
    y.backward()
    want = np.arange(24, dtype=f32).reshape(4, 3, 2).transpose(0, 2, 1)
    assert x.grad().shape == (4, 2, 3)
    np.testing.assert_array_equal(x.grad(), want)


def test_matmul_gradients_keep_broadcast_batch():
    rng = np.random.default_rng(1)
    a = rng.standard_normal((3, 4)).astype(f32)
    b = rng.standard_normal((5, 4, 2)).astype(f32)
    ta, tb = leaf(a), leaf(b)
    (ta @ tb).backward()
    g = np.ones((5, 3, 2), f32)
    assert ta.grad().shape == (5, 3, 4) and tb.grad().shape == (5, 4, 2)
    np.testing.assert_allclose(ta.grad(), g @ b.transpose(0, 2, 1), rtol=1e-5)
    np.testing.assert_allclose(tb.grad(), a.T @ g, rtol=1e-5)


def test_operand_used_twice_and_in_two_branches_sums_contributions():
    x = leaf([1.0, 2.0, 3.0])
    y = x * x + x * 3.0 - x
    y.backward()
    np.testing.assert_array_equal(x.grad(), np.array([4.0, 6.0, 8.0], f32))


def test_gradients_of_intermediates_and_root_are_stored():
    a, b = leaf([2.0, 3.0]), leaf([5.0, 7.0])
    c = a * b
    d = c + a
    d.backward()
    np.testing.assert_array_equal(c.grad(), [1.0, 1.0])
    np.testing.assert_array_equal(d.grad(), [1.0, 1.0])
    np.testing.assert_array_equal(a.grad(), [6.0, 8.0])


def test_second_pass_replaces_instead_of_summing_and_unreached_slots_stay():
    a, b = leaf([1.0, 2.0]), leaf([3.0, 4.0])
    c = a + b
    d = a * b
    c.backward()
    c.backward()
    np.testing.assert_array_equal(a.grad(), [1.0, 1.0])
    d.backward()
    np.testing.assert_array_equal(a.grad(), [3.0, 4.0])
    np.testing.assert_array_equal(b.grad(), [1.0, 2.0])
    np.testing.assert_array_equal(c.grad(), [1.0, 1.0])  # kept from the first pass


def test_backward_from_a_leaf_stores_the_seed():
    x = leaf(np.zeros((2, 2)))
    x.backward()
    np.testing.assert_array_equal(x.grad(), np.ones((2, 2), f32))


def test_grad_returns_independent_copies():
    x = leaf([1.0, 2.0])
    (x * 2.0).backward()
    first = x.grad()
    first[:] = 99.0
    np.testing.assert_array_equal(x.grad(), [2.0, 2.0])


@pytest.mark.parametrize("dtype, np_dtype", [("f16", np.float16), ("bf16", ml_dtypes.bfloat16)])
def test_16_bit_division_gradient_rounds_every_step(dtype, np_dtype):
    rng = np.random.default_rng(2)
    a = rng.uniform(-3, 3, 64).astype(np_dtype)
    b = rng.uniform(0.3, 3, 64).astype(np_dtype)
    g = np.ones(64, np_dtype)
    ta = Tensor(a, dtype=dtype, requires_grad=True)
    tb = Tensor(b, dtype=dtype, requires_grad=True)
    (ta / tb).backward()

    def r(v):
        return np.asarray(v, np.float32).astype(np_dtype).astype(np.float32)

    a32, b32, g32 = (v.astype(np.float32) for v in (a, b, g))
    want_a = r(g32 / b32)
    want_b = r(r(-g32 * a32) / r(b32 * b32))
    assert ta.grad().dtype == np_dtype
    np.testing.assert_array_equal(bits(ta.grad()), bits(want_a.astype(np_dtype)))
    np.testing.assert_array_equal(bits(tb.grad()), bits(want_b.astype(np_dtype)))


def test_relu_gradient_at_zero_and_nan_is_zero():
    x = leaf([-1.0, 0.0, 2.0, np.nan, -0.0])
    (relu(x) * 5.0).backward()
    np.testing.assert_array_equal(x.grad(), [0.0, 0.0, 5.0, 0.0, 0.0])


# ---- failures ------------------------------------------------------------------------


def test_backward_requires_grad():
    with pytest.raises(ValueError, match=r"^backward\(\) called on tensor that does not require grad$"):
        Tensor([1.0]).backward()
    a = leaf([1.0])
    with pytest.raises(ValueError, match="does not require grad"):
        (a > 0.0).backward()


@pytest.mark.parametrize(
    "build, exc, message",
    [
        (
            lambda x: x.reshape([3, 2]).transpose(0, 1),
            ValueError,
            "Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout",
        ),
        (
            lambda x: relu(x) + Tensor(np.zeros((4, 2, 3), f32)),
            RuntimeError,
            "Shape mismatch in relu_backward: grad [4, 2, 3] vs input [2, 3]",
        ),
        (
            lambda x: x.reshape([6]) + Tensor(np.zeros((2, 6), f32)),
            ValueError,
            "Error while reshape: ShapeError/IncompatibleShape: incompatible shapes",
        ),
    ],
    ids=["transposed-gradient-into-reshape", "broadcast-into-relu", "broadcast-into-reshape"],
)
def test_failed_pass_raises_and_leaves_stored_gradients_unchanged(build, exc, message):
    x = leaf(np.arange(6).reshape(2, 3))
    good = x * 2.0
    good.backward()
    before = x.grad()
    bad = build(x)
    with pytest.raises(exc) as info:
        bad.backward()
    assert str(info.value) == message
    np.testing.assert_array_equal(x.grad(), before)
    assert bad.grad() is None
    np.testing.assert_array_equal(good.grad(), np.ones((2, 3), f32))


def test_failed_recording_keeps_nodes_but_later_passes_work():
    x = leaf([1.0, 2.0])
    with pytest.raises(ValueError, match="DType mismatch"):
        x + Tensor([1.0, 2.0], dtype="f16")
    with pytest.raises(TypeError, match="Tensor Dtype not supported for this operation: relu"):
        relu(Tensor([True], dtype="bool", requires_grad=True))
    y = x * x
    y.backward()
    np.testing.assert_array_equal(x.grad(), [2.0, 4.0])


# ---- stale ids: cleared graphs and other threads ----------------------------------


def test_tensor_kept_across_clear_graph_is_stale():
    w = leaf([1.0, 2.0])
    (w * 3.0).backward()
    Tensor.clear_graph()
    assert w.grad() is None
    # New nodes now reuse id 0..; the old tensor must not pick up their gradient.
    fresh = leaf([5.0, 6.0])
    (fresh * fresh).backward()
    assert w.grad() is None
    with pytest.raises(RuntimeError, match="clear_graph"):
        w.backward()
    with pytest.raises(RuntimeError, match="clear_graph"):
        w * fresh
    with pytest.raises(RuntimeError, match="clear_graph"):
        relu(w)
    # Nothing was pushed by the refused recordings: the fresh graph is intact.
    np.testing.assert_array_equal(fresh.grad(), [10.0, 12.0])


def test_stale_tensor_without_recording_still_computes():
    w = leaf([1.0, 2.0])
    Tensor.clear_graph()
    np.testing.assert_array_equal((w == 1.0).to_numpy(), [True, False])
    np.testing.assert_array_equal(w.zeros_like().to_numpy(), [0.0, 0.0])
    np.testing.assert_array_equal(w.to_numpy(), [1.0, 2.0])


def test_tensor_from_another_thread_is_stale_there():
    w = leaf([1.0, 2.0])
    with pytest.raises(RuntimeError, match="another thread"):
        run_in_thread(lambda: w * leaf([3.0, 4.0]))
    assert run_in_thread(w.grad) is None
    with pytest.raises(RuntimeError, match="another thread"):
        run_in_thread(w.backward)
    # A constant tensor is plain data and may be used anywhere.
    c = Tensor([3.0, 4.0])
    out = run_in_thread(lambda: (c * 2.0).to_numpy())
    np.testing.assert_array_equal(out, [6.0, 8.0])
    # The owning thread's graph is untouched.
    (w * c).backward()
    np.testing.assert_array_equal(w.grad(), [3.0, 4.0])


def test_each_thread_records_on_its_own_tape():
    def work(seed):
        rng = np.random.default_rng(seed)
        a = rng.standard_normal((4, 3)).astype(f32)
        b = rng.standard_normal((3, 2)).astype(f32)
        results = []
        for _ in range(50):
            ta, tb = leaf(a), leaf(b)
            relu(ta @ tb).backward()
            results.append((ta.grad(), tb.grad()))
            Tensor.clear_graph()
        mask = (a @ b > 0).astype(f32)
        for ga, gb in results:
            np.testing.assert_allclose(ga, mask @ b.T, rtol=1e-5, atol=1e-6)
            np.testing.assert_allclose(gb, a.T @ mask, rtol=1e-5, atol=1e-6)

    errors = []

    def guarded(seed):
        try:
            work(seed)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(seed,)) for seed in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors


@pytest.mark.parametrize("lhs_grad, rhs_grad", [(True, True), (True, False), (False, True)])
@pytest.mark.parametrize(
    "lhs_shape, rhs_shape, broadcast_to, message",
    [
        ((1, 3), (3, 4), (5, 4), "Matrix inner dimensions mismatch for matmul: 1 vs 5"),
        ((2, 3), (3, 1), (2, 5), "Matrix inner dimensions mismatch for matmul: 5 vs 1"),
    ],
)
def test_matmul_gradient_errors_do_not_depend_on_which_operands_need_gradients(
    lhs_grad, rhs_grad, lhs_shape, rhs_shape, broadcast_to, message
):
    # The product's result is broadcast, so one of its gradient products cannot be
    # formed; the pass must fail the same way whether or not that gradient is wanted.
    a = Tensor(np.ones(lhs_shape, f32), requires_grad=lhs_grad)
    b = Tensor(np.ones(rhs_shape, f32), requires_grad=rhs_grad)
    y = (a @ b) + Tensor(np.zeros(broadcast_to, f32))
    with pytest.raises(RuntimeError) as info:
        y.backward()
    assert str(info.value) == message


def test_matmul_with_a_constant_operand_gives_the_other_gradient():
    rng = np.random.default_rng(5)
    x = rng.standard_normal((4, 3)).astype(f32)
    w = rng.standard_normal((3, 2)).astype(f32)
    tw = leaf(w)
    (Tensor(x) @ tw).backward()
    np.testing.assert_allclose(tw.grad(), x.T @ np.ones((4, 2), f32), rtol=1e-6)
    tx = leaf(x)
    (tx @ Tensor(w)).backward()
    np.testing.assert_allclose(tx.grad(), np.ones((4, 2), f32) @ w.T, rtol=1e-6)
