"""The README's usage example and the digits example run as written."""

import importlib.util
import pathlib
import re

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_readme_usage_example_runs(capsys):
    text = (ROOT / "README.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", text, flags=re.S)
    assert blocks, "README has no python example"
    exec(compile(blocks[0], "README.md", "exec"), {})
    printed = capsys.readouterr().out
    assert "[" in printed  # the gradients were printed


@pytest.fixture(scope="module")
def train_digits():
    pytest.importorskip("sklearn")
    pytest.importorskip("tqdm")
    module_spec = importlib.util.spec_from_file_location("train_digits", ROOT / "examples" / "train_digits.py")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("dtype", ["f32", "bf16"])
def test_training_on_a_subset_lowers_the_loss(train_digits, dtype):
    losses, accuracies = train_digits.train(dtype=dtype, epochs=4, subset=400, progress=False)
    assert len(losses) == 4
    assert losses[-1] < 0.7 * losses[0]
    assert accuracies[-1] > 0.5


def test_plot_is_written(train_digits, tmp_path):
    pytest.importorskip("matplotlib")
    path = tmp_path / "curves.png"
    train_digits.save_plot(str(path), [1.0, 0.5], [0.5, 0.9], "f32")
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
