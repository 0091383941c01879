# The Tensor constructor: accepted arguments, attributes, and every rejection with its message.
import ml_dtypes
import numpy as np
import pytest

from zavra import Tensor

from conftest import bits

DATA = [1.0, 1 / 3, -0.0, 65504.0, 70000.0, 1e-8, 3.0e38, float("inf"), float("nan")]


def raised(fn):
    with pytest.raises(BaseException) as info:
        fn()
    return info


def assert_error(info, cls, message, notes=None):
    assert info.type is cls
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == notes


# ---- attributes ------------------------------------------------------------------


@pytest.mark.parametrize(
    "data, shape, strides",
    [
        ([[1, 2], [3, 4]], [2, 2], [2, 1]),
        (3.0, [], []),
        (np.float32(3.0), [], []),
        ([], [0], [0]),
        (np.zeros((2, 0)), [2, 0], [0, 0]),
        (np.zeros((0, 3, 2)), [0, 3, 2], [0, 0, 0]),
        (np.zeros((1, 3, 1)), [1, 3, 1], [3, 1, 1]),
        ((((1.0,), (2.0,)),), [1, 2, 1], [2, 1, 1]),
        (np.ones((2, 3, 4, 5)), [2, 3, 4, 5], [60, 20, 5, 1]),
    ],
)
def test_attributes(data, shape, strides):
    t = Tensor(data)
    assert (t.shape, t.ndim, t.strides) == (shape, len(shape), strides)
    assert (t.dtype, t.device, t.requires_grad) == ("f32", "cpu", False)
    assert all(type(v) is int for v in t.shape + t.strides)
    assert type(t.ndim) is int
    np.testing.assert_array_equal(t.to_numpy(), np.array(data, dtype=np.float32))


def test_attribute_lists_are_new_each_time():
    t = Tensor(np.zeros((2, 3)))
    shape, strides = t.shape, t.strides
    assert shape is not t.shape and strides is not t.strides
    shape.append(7)
    strides[0] = 99
    assert (t.shape, t.strides) == ([2, 3], [3, 1])


@pytest.mark.parametrize("name", ["shape", "ndim", "strides", "dtype", "device", "requires_grad"])
def test_attributes_are_read_only(name):
    t = Tensor([1.0])
    before = getattr(t, name)
    with pytest.raises(AttributeError):
        setattr(t, name, before)
    with pytest.raises(AttributeError):
        delattr(t, name)
    assert getattr(t, name) == before


# ---- element types -----------------------------------------------------------------

F32, F16, BF16, BOOL = (np.dtype(n) for n in ("float32", "float16", "bfloat16", "bool"))


@pytest.mark.parametrize(
    "dtype, name, np_dtype",
    [
        (None, "f32", F32),
        ("f32", "f32", F32),
        ("float32", "f32", F32),
        (np.float32, "f32", F32),
        (np.dtype("float32"), "f32", F32),
        (np.dtype(">f4"), "f32", F32),  # a dtype instance goes by its name
        ("f16", "f16", F16),
        ("float16", "f16", F16),
        (np.float16, "f16", F16),
        (np.dtype("float16"), "f16", F16),
        ("bf16", "bf16", BF16),
        ("bfloat16", "bf16", BF16),
        (ml_dtypes.bfloat16, "bf16", BF16),
        (np.dtype("bfloat16"), "bf16", BF16),
        ("bool", "bool", BOOL),
        (bool, "bool", BOOL),
        (np.bool_, "bool", BOOL),
        (np.dtype("bool"), "bool", BOOL),
    ],
    ids=repr,
)
@pytest.mark.filterwarnings("ignore:overflow encountered in cast")
def test_dtype_spellings(dtype, name, np_dtype):
    data = DATA if np_dtype != BOOL else [1, 0, 2, -0.5, 0.0]
    t = Tensor(data, dtype=dtype)
    assert t.dtype == name
    out = t.to_numpy()
    expected = np.array(data, dtype=np_dtype)
    assert out.dtype == np_dtype
    if np_dtype == BOOL:
        np.testing.assert_array_equal(out, expected)
    else:
        np.testing.assert_array_equal(bits(out), bits(expected))


def test_dtype_by_position_and_str_subclass():
    class Name(str):
        pass

    assert Tensor([1.0], Name("f16")).dtype == "f16"
    assert Tensor([1.0], "bf16", "cpu", True).requires_grad is True


@pytest.mark.parametrize(
    "dtype, shown",
    [
        (float, "float"),
        (int, "int"),
        ("float64", "float64"),
        ("F32", "F32"),
        ("Float32", "Float32"),
        ("BF16", "BF16"),
        ("Bool", "Bool"),
        ("f32 ", "f32 "),
        ("", ""),
        ("int32", "int32"),
        (np.float64, "float64"),
        (np.int32, "int32"),
        (np.dtype("float64"), "float64"),
        (np.dtype("<i2"), "int16"),
        ("f32\x00", "f32\x00"),
        ("\ud800", "\ud800"),
    ],
    ids=repr,
)
def test_unsupported_dtype(dtype, shown):
    info = raised(lambda: Tensor([1.0], dtype=dtype))
    assert_error(info, ValueError, f"Unsupported or invalid data type: '{shown}'")


class NamedBy:
    def __init__(self, name):
        self.__name__ = name


@pytest.mark.parametrize(
    "name, message",
    [
        (5, "'int' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
        (b"f32", "'bytes' object is not an instance of 'str'"),
    ],
)
def test_dtype_name_must_be_str(name, message):
    # The element type's own name is not a parameter, so no note is added.
    assert_error(raised(lambda: Tensor([1.0], dtype=NamedBy(name))), TypeError, message)


def test_dtype_name_attribute():
    assert Tensor([1.0], dtype=NamedBy("f16")).dtype == "f16"


@pytest.mark.parametrize("dtype", [5, object(), "no-such-type".encode()])
def test_dtype_resolved_by_numpy_raises_numpys_error(dtype):
    with pytest.raises(BaseException) as expected:
        np.dtype(dtype)
    info = raised(lambda: Tensor([1.0], dtype=dtype))
    assert_error(info, expected.type, str(expected.value))


def test_dtype_name_lookup_failure_propagates():
    class Broken:
        @property
        def __name__(self):
            raise KeyError("boom")

    assert raised(lambda: Tensor([1.0], dtype=Broken())).type is KeyError


# ---- requires_grad and device ------------------------------------------------------


@pytest.mark.parametrize("flag, expected", [(True, True), (False, False), (np.True_, True), (np.False_, False)])
def test_requires_grad_accepted(flag, expected):
    t = Tensor([1.0], requires_grad=flag)
    assert t.requires_grad is expected


@pytest.mark.parametrize(
    "flag, message",
    [
        (1, "'int' object is not an instance of 'bool'"),
        (0, "'int' object is not an instance of 'bool'"),
        (1.0, "'float' object is not an instance of 'bool'"),
        ("True", "'str' object is not an instance of 'bool'"),
        (None, "'None' is not an instance of 'bool'"),
        (np.int8(1), "'int8' object is not an instance of 'bool'"),
        (np.array(True), "'ndarray' object is not an instance of 'bool'"),
    ],
    ids=repr,
)
def test_requires_grad_rejected(flag, message):
    info = raised(lambda: Tensor([1.0], requires_grad=flag))
    assert_error(info, TypeError, message, ["while processing 'requires_grad'"])


@pytest.mark.parametrize("device", ["cpu", "CPU", "Cpu", "cPu"])
def test_device_any_letter_case(device):
    assert Tensor([1.0], device=device).device == "cpu"


@pytest.mark.parametrize("device", ["cuda", "gpu", "cpu:0", " cpu", "", "cpu\x00", "c\u0440u", "cpu\ud800"])
def test_device_unsupported(device):
    info = raised(lambda: Tensor([1.0], device=device))
    assert_error(info, ValueError, "The device string is invalid or not supported.")


@pytest.mark.parametrize(
    "device, message",
    [
        (0, "'int' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
        (b"cpu", "'bytes' object is not an instance of 'str'"),
    ],
)
def test_device_not_a_string(device, message):
    info = raised(lambda: Tensor([1.0], device=device))
    assert_error(info, TypeError, message, ["while processing 'device'"])


# ---- order of the checks -----------------------------------------------------------


class ArrayLike:
    """Records whether NumPy was asked to convert it."""

    def __init__(self):
        self.converted = False

    def __array__(self, dtype=None, copy=None):
        self.converted = True
        return np.zeros(2, dtype=dtype)


DEVICE_MSG = "The device string is invalid or not supported."
NOT_STR = "'int' object is not an instance of 'str'"
NOT_BOOL = "'int' object is not an instance of 'bool'"


@pytest.mark.parametrize(
    "kwargs, cls, message, note",
    [
        ({"device": 1, "requires_grad": 1}, TypeError, NOT_STR, "device"),
        ({"device": "cuda", "requires_grad": 1}, TypeError, NOT_BOOL, "requires_grad"),
        ({"device": "cuda", "dtype": "bad"}, ValueError, DEVICE_MSG, None),
        ({"device": "cuda", "dtype": 5}, ValueError, DEVICE_MSG, None),
        ({"device": "cuda", "dtype": NamedBy(3)}, ValueError, DEVICE_MSG, None),
        ({"dtype": "bad"}, ValueError, "Unsupported or invalid data type: 'bad'", None),
        ({"dtype": NamedBy(3)}, TypeError, NOT_STR, None),
    ],
)
def test_checks_run_before_conversion_in_order(kwargs, cls, message, note):
    data = ArrayLike()
    notes = [f"while processing '{note}'"] if note else None
    assert_error(raised(lambda: Tensor(data, **kwargs)), cls, message, notes)
    assert not data.converted
    Tensor(data)
    assert data.converted


@pytest.mark.parametrize("data", [[[1.0], [1.0, 2.0]], "abc", {"a": 1}, [object()]], ids=repr)
def test_numpy_conversion_errors_propagate(data):
    with pytest.raises(BaseException) as expected:
        np.array(data, dtype="float32")
    info = raised(lambda: Tensor(data, dtype="f32"))
    assert_error(info, expected.type, str(expected.value))


def test_constructor_copies_its_input():
    source = np.arange(6, dtype=np.float32).reshape(2, 3)
    t = Tensor(source)
    source[0, 0] = 100.0
    np.testing.assert_array_equal(t.to_numpy(), np.arange(6).reshape(2, 3))


def test_numpy_array_is_asked_for_the_named_dtype(monkeypatch):
    calls = []
    real = np.array

    def spy(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setattr(np, "array", spy)
    source = np.ones(3, dtype=np.float16)
    for spelling in ["f16", "float32", "bf16", bool]:
        Tensor(source, dtype=spelling)
    assert [kwargs for _, kwargs in calls] == [
        {"dtype": "float16"},
        {"dtype": "float32"},
        {"dtype": "bfloat16"},
        {"dtype": "bool"},
    ]
    assert all(len(args) == 1 and args[0] is source for args, _ in calls)


@pytest.mark.parametrize("result", [np.arange(3, dtype=np.int8), np.arange(3, dtype=np.float64), [1.0], None])
def test_replaced_numpy_array_returning_another_type_is_refused(monkeypatch, result):
    # The buffer is read by the requested element type, so a replaced numpy.array
    # that answers with something else must not be trusted.
    monkeypatch.setattr(np, "array", lambda *args, **kwargs: result)
    with pytest.raises(BaseException) as info:
        Tensor([1.0, 2.0, 3.0])
    assert not issubclass(info.type, Exception)
    assert "numpy.array" in str(info.value)
