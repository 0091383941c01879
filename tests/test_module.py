# The zavra_core module layout, the Tensor type object and the zavra package.
import inspect
import os
import subprocess
import sys
import sysconfig
import textwrap
import weakref

import pytest

import zavra
import zavra_core
from zavra_core import Tensor, nn


def run_python(code, *flags):
    """Runs `code` in a fresh interpreter with this test run's import path."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop("PYTHON_GIL", None)
    proc = subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_import_does_not_load_numpy():
    out = run_python(
        """
        import sys
        import zavra_core
        print("numpy" in sys.modules, sorted(zavra_core.__all__))
        """
    )
    assert out.split(maxsplit=1) == ["False", "['Tensor', 'nn']\n"]


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded interpreter")
def test_import_keeps_the_gil_disabled():
    # Without -X gil=0 the interpreter re-enables the GIL (with a warning) for any
    # extension module that does not declare it unneeded.
    out = run_python(
        """
        import sys, warnings
        warnings.simplefilter("error")
        import zavra_core
        from zavra_core import nn
        nn.functional.relu(zavra_core.Tensor([-1.0, 2.0]))
        print(sys._is_gil_enabled())
        """
    )
    assert out.strip() == "False"


def test_module_layout():
    assert zavra_core.__all__ == ["Tensor", "nn"]
    assert nn.__all__ == ["functional"]
    assert nn.functional.__all__ == ["relu"]
    assert (nn.__name__, nn.functional.__name__) == ("nn", "functional")
    assert zavra_core.Tensor is Tensor and nn.functional.relu.__name__ == "relu"
    assert zavra_core.__doc__ == ""
    # Plain attributes, not entries of sys.modules.
    assert not any(name.startswith("zavra_core.") for name in sys.modules)
    with pytest.raises(ModuleNotFoundError):
        __import__("zavra_core.nn")


def test_tensor_type_object():
    assert (Tensor.__name__, Tensor.__qualname__, Tensor.__module__) == ("Tensor", "Tensor", "zavra")
    assert repr(Tensor) == "<class 'zavra.Tensor'>"
    assert Tensor.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (Tensor,), {})
    t = Tensor([1.0])
    assert not hasattr(t, "__dict__")
    with pytest.raises(AttributeError):
        t.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(t)
    with pytest.raises(TypeError):
        Tensor.extra = 1  # immutable type


@pytest.mark.parametrize(
    "obj, text",
    [
        (Tensor, "(data, dtype=None, device='cpu', requires_grad=False)"),
        (Tensor.to_numpy, "(self, /)"),
        (Tensor.grad, "(self, /)"),
        (Tensor.backward, "(self, /)"),
        (Tensor.zeros_like, "(self, /)"),
        (Tensor.ones_like, "(self, /)"),
        (Tensor.reshape, "(self, /, shape)"),
        (Tensor.transpose, "(self, /, dim0, dim1)"),
        (Tensor.clear_graph, "()"),
        (nn.functional.relu, "(py_tensor)"),
    ],
)
def test_text_signatures(obj, text):
    assert str(inspect.signature(obj)) == text


def test_raw_text_signatures():
    assert Tensor.__text_signature__ == '(data, dtype=None, device="cpu", requires_grad=False)'
    assert Tensor.grad.__text_signature__ == "($self)"
    assert nn.functional.relu.__text_signature__ == "(py_tensor)"


def test_clear_graph_is_static():
    assert isinstance(inspect.getattr_static(Tensor, "clear_graph"), staticmethod)
    assert Tensor.clear_graph() is None
    assert Tensor([1.0]).clear_graph() is None


def test_internal_failure_class():
    # An axis beyond the rank is a violated precondition, not an error value.
    with pytest.raises(BaseException) as info:
        Tensor([[1.0, 2.0]]).transpose(0, 5)
    cls = info.type
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert str(info.value) == "index out of bounds: the len is 2 but the index is 5"
    assert all(getattr(zavra_core, name) is not cls for name in dir(zavra_core))
    # The interpreter goes on working and the same class is used each time.
    with pytest.raises(cls):
        Tensor([1.0]).transpose(3, 0)


def test_package_reexports():
    assert zavra.Tensor is Tensor and zavra.nn is nn
    assert zavra.__all__ == ["Tensor", "nn"]


def test_package_registers_bfloat16():
    out = run_python(
        """
        import zavra
        t = zavra.Tensor([1.0, 2.5], dtype="bfloat16")
        a = t.to_numpy()
        print(t.dtype, a.dtype.name, a.tolist())
        """
    )
    assert out.strip() == "bf16 bfloat16 [1.0, 2.5]"


def test_bfloat16_without_a_registered_dtype_is_numpys_error():
    # No package registers bfloat16 here, so NumPy's own error comes through.
    out = run_python(
        """
        import numpy as np
        from zavra_core import Tensor
        try:
            np.dtype("bfloat16")
        except TypeError as e:
            expected = str(e)
        try:
            Tensor([1.0], dtype="bf16")
        except TypeError as e:
            print(str(e) == expected)
        """
    )
    assert out.strip() == "True"
