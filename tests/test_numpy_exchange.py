# Exchange with NumPy: inputs of every layout, arrays handed back, round trips and reference counts.
import os
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest

from zavra import Tensor

from conftest import bits

DTYPES = {name: np.dtype(np_name) for name, np_name in
          [("f32", "float32"), ("f16", "float16"), ("bf16", "bfloat16"), ("bool", "bool")]}


def row_major(shape):
    strides, step = [], 1
    for extent in reversed(shape):
        strides.insert(0, step)
        step *= extent
    return [0] * len(shape) if step == 0 else strides


def base(shape=(3, 4)):
    return np.arange(np.prod(shape), dtype=np.float32).reshape(shape) * 0.5 - 2.0


def unaligned(shape, order="C"):
    """A writable float32 array whose data start one byte into a buffer."""
    n = int(np.prod(shape))
    raw = np.zeros(4 * n + 1, dtype=np.uint8)
    out = np.ndarray(shape, dtype=np.float32, buffer=raw.data, offset=1, order=order)
    out[...] = base(shape)
    assert not out.flags.aligned
    return out


def read_only(array):
    array = array.copy()
    array.flags.writeable = False
    return array


LAYOUTS = {
    "c_order": lambda: base((2, 3, 4)),
    "fortran": lambda: np.asfortranarray(base((3, 4))),
    "fortran_3d": lambda: np.asfortranarray(base((2, 3, 4))),
    "permuted_3d": lambda: base((2, 3, 4)).transpose(2, 0, 1),
    "middle_swap": lambda: base((2, 3, 4)).transpose(0, 2, 1),
    "reversed": lambda: base((6,))[::-1],
    "step_minus_two": lambda: base((9,))[::-2],
    "negative_2d": lambda: base((4, 5))[::-1, ::-2],
    "strided_cols": lambda: base((4, 6))[:, 1::2],
    "broadcast_rows": lambda: np.broadcast_to(base((1, 4)), (3, 4)),
    "broadcast_cols": lambda: np.broadcast_to(base((3, 1)), (3, 4)),
    "broadcast_scalar": lambda: np.broadcast_to(np.float32(1.5), (2, 3)),
    "unaligned": lambda: unaligned((2, 3)),
    "unaligned_fortran": lambda: unaligned((3, 2), order="F"),
    "unaligned_strided": lambda: unaligned((4, 6))[::2, ::-3],
    "read_only": lambda: read_only(base((3, 4))),
    "read_only_view": lambda: read_only(base((3, 4))).T,
    "big_endian": lambda: base((3, 4)).astype(">f4"),
    "big_endian_f16": lambda: base((3, 4)).astype(">f2"),
    "float64": lambda: base((3, 4)).astype(np.float64) / 3,
    "int64": lambda: np.arange(-6, 6).reshape(3, 4),
    "zero_size": lambda: np.zeros((2, 0), np.float32),
    "zero_size_leading": lambda: np.zeros((0, 3), np.float32).T,
    "rank_0": lambda: np.array(4.25, np.float32),
    "rank_0_view": lambda: base((3,))[1, ...],
    "extent_one_axes": lambda: base((1, 4, 1))[:, ::-1, :],
}


@pytest.mark.parametrize("make", LAYOUTS.values(), ids=LAYOUTS.keys())
@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16"])
def test_input_layouts(make, dtype):
    source = make()
    snapshot = source.copy()
    t = Tensor(source, dtype=dtype)
    assert t.shape == list(source.shape)
    assert t.strides == row_major(source.shape)
    out = t.to_numpy()
    expected = np.array(snapshot, dtype=DTYPES[dtype])
    assert out.dtype == expected.dtype and out.shape == expected.shape
    assert out.flags.c_contiguous
    np.testing.assert_array_equal(bits(out), bits(expected))
    np.testing.assert_array_equal(source, snapshot)  # the source is only read


def test_bool_input_layouts():
    source = np.array([[0.0, 1.0, -2.0], [0.5, 0.0, np.nan]], dtype=np.float32)
    for view in (source, source.T, source[:, ::-1], np.asfortranarray(source)):
        t = Tensor(view, dtype="bool")
        np.testing.assert_array_equal(t.to_numpy(), view.astype(bool))


SPECIALS = {
    "f32": [0.0, -0.0, 1.0, -2.5, 1e-45, 1.17549435e-38, 3.4028235e38, np.inf, -np.inf, np.nan],
    "f16": [0.0, -0.0, 1.0, -2.5, 6e-08, 6.1035156e-05, 65504.0, np.inf, -np.inf, np.nan],
    "bf16": [0.0, -0.0, 1.0, -2.5, 9.2e-41, 1.1754944e-38, 3.3895314e38, np.inf, -np.inf, np.nan],
}


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16"])
def test_round_trip_keeps_every_bit(dtype):
    source = np.array(SPECIALS[dtype], dtype=DTYPES[dtype])
    # Also the raw patterns of a signalling NaN and a NaN with payload.
    raw = source.view(np.uint32 if dtype == "f32" else np.uint16).copy()
    raw[-1] = {"f32": 0x7FA00001, "f16": 0x7D01, "bf16": 0x7F81}[dtype]
    source = raw.view(DTYPES[dtype]).reshape(2, 5)
    out = Tensor(source, dtype=dtype).to_numpy()
    assert out.dtype == DTYPES[dtype]
    np.testing.assert_array_equal(bits(out), bits(source))


def test_round_trip_bool():
    source = np.array([[True, False, True], [False, False, True]])
    out = Tensor(source, dtype="bool").to_numpy()
    assert out.dtype == np.bool_
    np.testing.assert_array_equal(out, source)
    # Any non-zero value is true, and stored as the byte 1.
    out = Tensor([3, 0, -1, 0.5], dtype="bool").to_numpy()
    assert out.view(np.uint8).tolist() == [1, 0, 1, 1]


def test_bool_bytes_other_than_one_are_read_as_true():
    # A bool view of other bytes holds values NumPy copies unchanged.
    raw = np.array([[2, 1, 0], [255, 0, 128]], dtype=np.uint8)
    for view in (raw.view(bool), raw.view(bool).T):
        t = Tensor(view, dtype="bool")
        assert t.to_numpy().view(np.uint8).tolist() == (view != 0).view(np.uint8).tolist()
        ones = Tensor(np.ones(view.shape, bool), dtype="bool")
        np.testing.assert_array_equal((t ^ ones).to_numpy(), np.logical_xor(view, True))
        np.testing.assert_array_equal((~t).to_numpy(), np.logical_not(view))
        np.testing.assert_array_equal((t == ones).to_numpy(), view != 0)


def test_bfloat16_arrays_come_back_as_numpys_bfloat16():
    out = Tensor([1.0, 2.0], dtype="bf16").to_numpy()
    assert out.dtype == np.dtype("bfloat16") and out.dtype.name == "bfloat16"
    assert out.dtype.itemsize == 2 and out.tolist() == [1.0, 2.0]


@pytest.mark.parametrize("dtype", list(DTYPES))
def test_to_numpy_returns_a_new_owning_array(dtype):
    t = Tensor([[1.0, 0.0], [3.0, 4.0]], dtype=dtype)
    first, second = t.to_numpy(), t.to_numpy()
    assert first is not second and not np.shares_memory(first, second)
    assert first.flags.owndata and first.flags.writeable
    expected = first.copy()
    first[...] = 0
    np.testing.assert_array_equal(t.to_numpy(), expected)


def test_rank_0_and_zero_size_come_back():
    out = Tensor(2.5).to_numpy()
    assert out.shape == () and out.dtype == np.float32 and out[()] == 2.5
    for shape in [(0,), (2, 0), (0, 3, 1)]:
        out = Tensor(np.zeros(shape), dtype="f16").to_numpy()
        assert out.shape == shape and out.dtype == np.float16


# ---- arrays handed back in other layouts -------------------------------------------


@pytest.mark.parametrize("dtype", list(DTYPES))
def test_transposed_2d_comes_back_fortran_ordered(dtype):
    source = np.array(base((3, 4)), dtype=DTYPES[dtype])
    t = Tensor(source, dtype=dtype).transpose(0, 1)
    assert t.strides == [1, 4]
    out = t.to_numpy()
    width = DTYPES[dtype].itemsize
    assert out.flags.f_contiguous and not out.flags.c_contiguous
    assert out.strides == (width, 4 * width)
    np.testing.assert_array_equal(out, source.T)


@pytest.mark.parametrize("dtype", list(DTYPES))
@pytest.mark.parametrize(
    "shape, dims, order",
    [
        ((2, 3, 4), (1, 2), "C"),  # only the walk can produce this
        ((2, 3, 4), (0, 1), "C"),
        ((2, 3, 4), (0, 2), "F"),  # all axes reversed: column-major
        ((1, 3), (0, 1), "C"),  # the exchanged axis has extent 1
        ((3, 1, 4), (0, 2), "F"),
        ((2, 0), (0, 1), "C"),
        ((2, 3, 4, 5), (1, 3), "C"),
    ],
)
def test_exchanged_axes_come_back(dtype, shape, dims, order):
    source = np.array(base(shape), dtype=DTYPES[dtype])
    out = Tensor(source, dtype=dtype).transpose(*dims).to_numpy()
    axes = list(range(len(shape)))
    axes[dims[0]], axes[dims[1]] = axes[dims[1]], axes[dims[0]]
    expected = source.transpose(axes)
    assert out.shape == expected.shape and out.dtype == expected.dtype
    assert out.flags.c_contiguous if order == "C" else out.flags.f_contiguous
    np.testing.assert_array_equal(out, expected)


def test_chained_exchanges_come_back():
    source = base((2, 3, 4))
    t = Tensor(source).transpose(0, 2).transpose(1, 2).transpose(0, 1)
    expected = source.swapaxes(0, 2).swapaxes(1, 2).swapaxes(0, 1)
    np.testing.assert_array_equal(t.to_numpy(), expected)


# ---- references ----------------------------------------------------------------------


@pytest.mark.parametrize("dtype", list(DTYPES))
def test_reference_counts_are_balanced(dtype):
    source = np.asfortranarray(base((3, 4)))
    data = [[1.0, 2.0], [3.0, 4.0]]
    descr = DTYPES[dtype]
    before = sys.getrefcount(source), sys.getrefcount(data), sys.getrefcount(descr)
    for _ in range(50):
        t = Tensor(source, dtype=dtype)
        Tensor(data, dtype=dtype).to_numpy()
        t.to_numpy()
        t.transpose(0, 1).to_numpy()
    del t
    assert (sys.getrefcount(source), sys.getrefcount(data), sys.getrefcount(descr)) == before


def test_arrays_handed_out_are_released():
    t = Tensor(base((3, 4)))
    out = t.to_numpy()
    ref = weakref.ref(out)
    del out
    assert ref() is None


def test_first_use_from_many_threads_at_once():
    # A fresh interpreter, so that binding NumPy's C API and finding the bfloat16
    # dtype happen under the race.
    code = """
        import threading
        import numpy as np
        import zavra
        barrier = threading.Barrier(8)
        source = np.arange(24, dtype=np.float32).reshape(2, 3, 4)
        results, errors = [], []

        def work(i):
            try:
                barrier.wait()
                dtype = ["bf16", "f16", "f32", "bool"][i % 4]
                t = zavra.Tensor(source.transpose(2, 0, 1), dtype=dtype)
                for _ in range(200):
                    out = t.transpose(0, 2).to_numpy()
                results.append((dtype, out.dtype.name, out.shape, t.strides, out.astype(np.float32).sum()))
            except BaseException as error:
                errors.append(repr(error))

        threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        print(errors)
        for row in sorted(results):
            print(*row)
    """
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == "[]"
    expected = {"bf16": "bfloat16 (3, 2, 4) [6, 3, 1] 276.0", "f16": "float16 (3, 2, 4) [6, 3, 1] 276.0",
                "f32": "float32 (3, 2, 4) [6, 3, 1] 276.0", "bool": "bool (3, 2, 4) [6, 3, 1] 23.0"}
    assert lines[1:] == sorted(f"{k} {v}" for k in expected for v in [expected[k]] * 2)
