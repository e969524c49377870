# make test  - set up everything on a fresh Debian/Ubuntu machine, build once, run every test
# make demo  - build, then run the module on a sample
# make bench - build, then run the benchmarks
SHELL := bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := test

PY312 := $(shell tools/find-python 3.12)
PY313 := $(shell tools/find-python 3.13)
PY314 := $(shell tools/find-python 3.14)
BASE_PY := $(firstword $(PY312) $(PY313) $(PY314))
# Every CPython >= 3.12 found gets its own test environment; the first also builds the wheel.
TEST_PYS := $(PY312) $(PY313) $(PY314)

VENV := .venv
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
APT_PACKAGES := libisal-dev libgtest-dev libbenchmark-dev pkg-config zlib1g-dev
BUILD_DEPS := "scikit-build-core>=0.10" "numpy>=2.0.1" "cmake>=3.26" ninja
TEST_DEPS := "numpy>=2.0.1" "pytest>=8" "hypothesis>=6" mypy pandas
SOURCES := $(shell find cpp bindings python -name '*.cc' -o -name '*.h' -o -name 'CMakeLists.txt' -o -name '*.map' -o -name '*.py' -o -name '*.pyi' -o -name 'py.typed') \
           CMakeLists.txt pyproject.toml
CMAKE := $(VENV)/bin/cmake
CPP_BUILD := build/cpp
JOBS ?= 2

.PHONY: test demo bench cpp-test py-test wheel system-deps venvs clean

test: cpp-test py-test

system-deps:
	@missing=""; \
	for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing system packages:$$missing"; \
	  $(SUDO) apt-get install -y -q $$missing >/dev/null 2>&1 || \
	  { $(SUDO) apt-get update -q >/dev/null && $(SUDO) apt-get install -y -q $$missing >/dev/null; }; \
	fi

$(VENV)/.ready: pyproject.toml
	@[ -n "$(BASE_PY)" ] || { echo "no CPython >= 3.12 found (tried python3.12/3.13/3.14 and pyenv)"; exit 1; }
	$(BASE_PY) -m venv $(VENV)
	$(VENV)/bin/python -m pip install -q --upgrade pip
	$(VENV)/bin/python -m pip install -q $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

# One abi3 wheel, built once, installed into every test environment.
build/wheel.stamp: $(VENV)/.ready $(SOURCES) | system-deps
	rm -f dist/kvt-*.whl
	$(VENV)/bin/python -m pip wheel -q . --no-build-isolation --no-deps -w dist
	touch $@

wheel: build/wheel.stamp

# Test environments: .venv for the first interpreter, .venv-X.Y for the others.


py-test: build/wheel.stamp
	@for py in $(TEST_PYS); do \
	  v=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	  env=$(VENV); [ "$$py" = "$(BASE_PY)" ] || env=.venv-$$v; \
	  if [ ! -x $$env/bin/python ]; then $$py -m venv $$env && $$env/bin/python -m pip install -q --upgrade pip; fi; \
	  $$env/bin/python -m pip install -q $(TEST_DEPS); \
	  $$env/bin/python -m pip install -q --force-reinstall --no-deps dist/kvt-*.whl; \
	  echo "== pytest on CPython $$v"; \
	  $$env/bin/python -m pytest -q tests/python; \
	done
	$(VENV)/bin/python -m mypy --strict --cache-dir build/mypy python/kvt examples

cpp-test: $(VENV)/.ready system-deps
	$(CMAKE) -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DKVT_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(CMAKE) --build $(CPP_BUILD) -j $(JOBS)
	cd $(CPP_BUILD) && ctest --output-on-failure -j $(JOBS) | tail -n 3

demo: py-test-env
	$(VENV)/bin/python examples/demo.py

.PHONY: py-test-env
py-test-env: build/wheel.stamp
	$(VENV)/bin/python -m pip install -q --force-reinstall --no-deps dist/kvt-*.whl

# C++ micro-benchmarks, then `python -m bench` (peers and floors; rewrites docs/benchmarks.*) in
# .venv-bench, which alone holds the peer libraries. `make bench BENCH_ARGS=--quick` for a short run.
bench: build/wheel.stamp
	$(CMAKE) -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DKVT_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	$(CMAKE) --build build/bench -j $(JOBS)
	for b in build/bench/cpp/*_benchmark; do $$b --benchmark_min_time=0.2s; done
	[ -x .venv-bench/bin/python ] || $(BASE_PY) -m venv .venv-bench
	.venv-bench/bin/python -m pip install -q --upgrade pip
	.venv-bench/bin/python -m pip install -q numpy pyarrow msgpack msgpack-numpy matplotlib isal
	.venv-bench/bin/python -m pip install -q --force-reinstall --no-deps dist/kvt-*.whl
	.venv-bench/bin/python -m bench $(BENCH_ARGS)

clean:
	rm -rf build dist .venv .venv-*
