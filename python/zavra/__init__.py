"""zavra: tensors with reverse-mode automatic differentiation, computed in C++."""

import ml_dtypes as _ml_dtypes  # noqa: F401  (registers the "bfloat16" dtype with NumPy)

from zavra_core import Tensor, nn

__all__ = ["Tensor", "nn"]
