# Every target builds what it needs: system packages, a virtual environment, the package.
VENV    ?= .venv
PYTHON  ?= python3
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip
SOURCES := $(shell find src python -type f) CMakeLists.txt pyproject.toml

.PHONY: demo test test-asan bench clean

demo: $(VENV)/.examples
	$(PY) examples/train_digits.py

test: $(VENV)/.installed
	$(PY) -m pytest

bench: $(VENV)/.installed
	$(PIP) install -q ".[bench]"
	$(PY) bench/run.py

$(VENV)/.venv:
	bash scripts/system-deps.sh
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	touch $@

$(VENV)/.installed: $(VENV)/.venv $(SOURCES)
	$(PIP) install -q ".[test]"
	# PyTorch is the differential-test reference; its tests skip where it cannot be installed.
	$(PIP) install -q ".[torch]" || echo "PyTorch not installed: its differential tests will be skipped"
	touch $@

$(VENV)/.examples: $(VENV)/.installed
	$(PIP) install -q ".[examples]"
	touch $@

clean:
	rm -rf build $(VENV)
