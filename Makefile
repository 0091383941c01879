# Every target builds what it needs: system packages, a virtual environment, the package.
VENV    ?= .venv
PYTHON  ?= python3
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip
SOURCES := $(shell find src python -type f) CMakeLists.txt pyproject.toml

.PHONY: demo test test-asan test-ft bench clean

ASAN_VENV := .venv-asan
ASAN_PY   := $(ASAN_VENV)/bin/python

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

# The whole suite against an AddressSanitizer + UndefinedBehaviorSanitizer build. The
# interpreter is not instrumented, so the sanitizer runtimes are preloaded into it and
# leak detection (which would report the interpreter's own allocations) is off.
test-asan: $(ASAN_VENV)/.installed
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1:allocator_may_return_null=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	ZAVRA_UNDER_SANITIZER=1 \
	$(ASAN_PY) -m pytest -p no:cacheprovider

$(ASAN_VENV)/.installed: $(SOURCES)
	bash scripts/system-deps.sh
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install -q --upgrade pip
	$(ASAN_PY) -m pip install -q -C cmake.define.ZAVRA_SANITIZE=ON -C cmake.build-type=RelWithDebInfo \
		-C build-dir=build/asan ".[test]"
	touch $@

# The suite on a free-threaded interpreter with the GIL off (threads really run in
# parallel there). FT_PYTHON names that interpreter, e.g. a CPython built with
# --disable-gil; its numpy wheels come from PyPI. The example's extras are left
# out, so the example tests skip there.
FT_PYTHON ?= /opt/py314t/bin/python3.14t
FT_VENV   := .venv-ft

test-ft: $(FT_VENV)/.installed
	$(FT_VENV)/bin/python -X gil=0 -m pytest -p no:cacheprovider

$(FT_VENV)/.installed: $(SOURCES)
	bash scripts/system-deps.sh
	$(FT_PYTHON) -m venv $(FT_VENV)
	$(FT_VENV)/bin/python -m pip install -q --upgrade pip
	$(FT_VENV)/bin/python -m pip install -q -C build-dir=build/ft . pytest pytest-timeout hypothesis
	touch $@

clean:
	rm -rf build $(VENV) $(ASAN_VENV) $(FT_VENV)
