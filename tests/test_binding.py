# The argument binder: CPython-style binding messages and conversion errors with their notes.
import numpy as np
import pytest

from zavra import Tensor, nn

relu = nn.functional.relu
T = Tensor(np.arange(6, dtype=np.float32).reshape(2, 3))


def raised(fn):
    with pytest.raises(BaseException) as info:
        fn()
    return info


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Tensor(), "Tensor.__new__() missing 1 required positional argument: 'data'"),
        (lambda: Tensor(dtype="f32"), "Tensor.__new__() missing 1 required positional argument: 'data'"),
        (lambda: Tensor(1, 2, 3, 4, 5), "Tensor.__new__() takes from 1 to 4 positional arguments but 5 were given"),
        (lambda: Tensor(1, 2, 3, 4, 5, foo=1),
         "Tensor.__new__() takes from 1 to 4 positional arguments but 5 were given"),
        (lambda: Tensor(1, foo=3), "Tensor.__new__() got an unexpected keyword argument 'foo'"),
        (lambda: Tensor(foo=3), "Tensor.__new__() got an unexpected keyword argument 'foo'"),
        (lambda: Tensor(1, **{"dat": 1}), "Tensor.__new__() got an unexpected keyword argument 'dat'"),
        (lambda: Tensor(1, **{"data\0": 1}), "Tensor.__new__() got an unexpected keyword argument 'data\0'"),
        (lambda: Tensor(1, Dtype="f32"), "Tensor.__new__() got an unexpected keyword argument 'Dtype'"),
        (lambda: Tensor(1, data=1), "Tensor.__new__() got multiple values for argument 'data'"),
        (lambda: Tensor(1, "f32", "cpu", dtype="f32"), "Tensor.__new__() got multiple values for argument 'dtype'"),
        (lambda: T.reshape(), "Tensor.reshape() missing 1 required positional argument: 'shape'"),
        (lambda: T.reshape((6,), (6,)), "Tensor.reshape() takes 1 positional arguments but 2 were given"),
        (lambda: T.reshape((6,), shape=(6,)), "Tensor.reshape() got multiple values for argument 'shape'"),
        (lambda: T.reshape(shape=(6,), order="C"), "Tensor.reshape() got an unexpected keyword argument 'order'"),
        (lambda: T.transpose(), "Tensor.transpose() missing 2 required positional arguments: 'dim0' and 'dim1'"),
        (lambda: T.transpose(0), "Tensor.transpose() missing 1 required positional argument: 'dim1'"),
        (lambda: T.transpose(dim1=0), "Tensor.transpose() missing 1 required positional argument: 'dim0'"),
        (lambda: T.transpose(0, 1, 2), "Tensor.transpose() takes 2 positional arguments but 3 were given"),
        (lambda: T.transpose(0, dim0=1), "Tensor.transpose() got multiple values for argument 'dim0'"),
        (lambda: T.transpose(0, 1, axis=2), "Tensor.transpose() got an unexpected keyword argument 'axis'"),
        (lambda: relu(), "relu() missing 1 required positional argument: 'py_tensor'"),
        (lambda: relu(T, T), "relu() takes 1 positional arguments but 2 were given"),
        (lambda: relu(tensor=T), "relu() got an unexpected keyword argument 'tensor'"),
        (lambda: relu(T, py_tensor=T), "relu() got multiple values for argument 'py_tensor'"),
    ],
)
def test_binding_errors(call, message):
    info = raised(call)
    assert info.type is TypeError
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError("no index")


@pytest.mark.parametrize(
    "call, cls, message, parameter",
    [
        (lambda: relu(5), TypeError, "'int' object is not an instance of 'Tensor'", "py_tensor"),
        (lambda: relu(None), TypeError, "'None' is not an instance of 'Tensor'", "py_tensor"),
        (lambda: relu(np.zeros(2)), TypeError, "'ndarray' object is not an instance of 'Tensor'", "py_tensor"),
        (lambda: relu(py_tensor=[1.0]), TypeError, "'list' object is not an instance of 'Tensor'", "py_tensor"),
        (lambda: T.reshape(6), TypeError, "'int' object is not an instance of 'Sequence'", "shape"),
        (lambda: T.reshape(None), TypeError, "'None' is not an instance of 'Sequence'", "shape"),
        (lambda: T.reshape({6}), TypeError, "'set' object is not an instance of 'Sequence'", "shape"),
        (lambda: T.reshape([6.0]), TypeError, "'float' object cannot be interpreted as an integer", "shape"),
        (lambda: T.reshape([2, -3]), OverflowError, "can't convert negative int to unsigned", "shape"),
        (lambda: T.reshape([2**64]), OverflowError, "out of range integral type conversion attempted", "shape"),
        (lambda: T.reshape([BadIndex()]), ZeroDivisionError, "no index", "shape"),
        (lambda: T.transpose(0, -1), OverflowError, "can't convert negative int to unsigned", "dim1"),
        (lambda: T.transpose(-1, "x"), OverflowError, "can't convert negative int to unsigned", "dim0"),
        (lambda: T.transpose("0", 1), TypeError, "'str' object cannot be interpreted as an integer", "dim0"),
        (lambda: T.transpose(2**70, 0), OverflowError, "out of range integral type conversion attempted", "dim0"),
        (lambda: T.transpose(dim1=None, dim0=0), TypeError, "'NoneType' object cannot be interpreted as an integer",
         "dim1"),
    ],
)
def test_conversion_errors_carry_a_note(call, cls, message, parameter):
    info = raised(call)
    assert info.type is cls
    assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_string_shape_is_refused():
    info = raised(lambda: T.reshape("6"))
    assert info.type is TypeError
    assert "str" in str(info.value) and "extents" in str(info.value)
    assert info.value.__notes__ == ["while processing 'shape'"]


def test_arguments_by_keyword():
    t = Tensor(requires_grad=False, device="CPU", dtype="f16", data=[[1.0, -2.0]])
    assert (t.dtype, t.shape, t.requires_grad) == ("f16", [1, 2], False)
    np.testing.assert_array_equal(T.transpose(dim1=0, dim0=1).to_numpy(), T.to_numpy().T)
    np.testing.assert_array_equal(T.reshape(shape=range(6, 7)).to_numpy(), np.arange(6))
    np.testing.assert_array_equal(relu(py_tensor=t).to_numpy(), [[1.0, 0.0]])


def test_index_like_arguments():
    assert T.transpose(np.int64(1), False).shape == [3, 2]
    assert T.reshape(np.array([3, 2])).shape == [3, 2]
    assert T.reshape((np.uint8(1), 6)).shape == [1, 6]


def test_failed_binding_leaves_the_interpreter_clean():
    for _ in range(3):
        with pytest.raises(TypeError):
            T.transpose(0, dim0=1)
    assert T.transpose(0, 1).shape == [3, 2]
