# ratevane: build, test and demo on Debian 12 (run as root on a fresh machine).
#
#   make demo    install what is missing, build, run the demo
#   make test    install, build for PyPy and CPython, run every C++ and Python test,
#                then build the binary wheels and run the Python suite on each

SHELL := /bin/bash
.DEFAULT_GOAL := test

PYPY     ?= pypy3
CPYTHON  ?= python3
VENV     := .venv
VPYPY    := $(VENV)/pypy/bin/python
VCPY     := $(VENV)/cpython/bin/python
STAMPS   := build/.stamps
MESON    := $(VENV)/cpython/bin/meson
export PATH := $(abspath $(VENV)/cpython/bin):$(PATH)

BUILD_PYPY  := build/pypy
BUILD_CPY   := build/cpython
BUILD_TSAN  := build/tsan
BUILD_ASAN  := build/asan
BUILD_BENCH := build/bench
BUILD_REL_PYPY := build/release-pypy
BUILD_REL_CPY  := build/release-cpython
BUILD_DBG   := build/debug-cpython
BUILD_SAN   := build/asan-cpython

PYTEST_ARGS ?= -q

.PHONY: deps venvs build build-pypy build-cpython test test-cpp test-python test-pypy \
        test-cpython run-pypy run-cpython test-refleak soak sanitize demo bench dist clean \
        wheels test-wheels bench-wheels release-builds \
        wheels-then-refleak build-sanitize sanitize-low-priority

# --- what the machine needs -------------------------------------------------

$(STAMPS)/deb: debian-packages.txt
	@mkdir -p $(STAMPS)
	@missing=$$(grep -v -e '^#' -e '^$$' debian-packages.txt | while read -r p; do \
	    dpkg-query -W -f='$${Status}\n' "$$p" 2>/dev/null | grep -q 'install ok installed' || echo "$$p"; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages: $$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
	@touch $@

deps: $(STAMPS)/deb

# A new Debian package does not remake the environments: only new pins do.
$(VENV)/%/.installed: requirements-test.txt | $(STAMPS)/deb
	@rm -rf $(VENV)/$*
	$(if $(filter pypy,$*),$(PYPY),$(CPYTHON)) -m venv $(VENV)/$*
	$(VENV)/$*/bin/python -m pip install -q --disable-pip-version-check -r requirements-test.txt
	@touch $@

venvs: $(STAMPS)/deb
	$(MAKE) -j2 $(VENV)/pypy/.installed $(VENV)/cpython/.installed

# --- builds -----------------------------------------------------------------

# $(call configure,dir,options): set a build directory up once. A comma
# inside the options must be written $(comma): make splits call arguments
# at every comma.
comma := ,
define configure
	@if [ ! -f $(1)/build.ninja ]; then $(MESON) setup $(1) $(2); fi
endef

# The test builds carry the test-only fault points; `pip install .` builds
# without them.
build-pypy: venvs
	$(call configure,$(BUILD_PYPY),-Dpython=$(PYPY) -Dfault_injection=true)
	$(MESON) compile -C $(BUILD_PYPY)

build-cpython: venvs
	$(call configure,$(BUILD_CPY),-Dpython=$(CPYTHON) -Dfault_injection=true)
	$(MESON) compile -C $(BUILD_CPY)

build: build-pypy build-cpython

# --- tests ------------------------------------------------------------------

# The C++ tests of the engine and the executor, once under AddressSanitizer
# with UndefinedBehaviorSanitizer and once under ThreadSanitizer.
test-cpp: venvs
	$(call configure,$(BUILD_ASAN),-Dextension=false -Dtests=enabled -Db_sanitize=address$(comma)undefined -Db_lundef=false -Dbuildtype=debugoptimized)
	$(MESON) compile -C $(BUILD_ASAN)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(MESON) test -C $(BUILD_ASAN) --print-errorlogs
	$(call configure,$(BUILD_TSAN),-Dextension=false -Dtests=enabled -Db_sanitize=thread -Dbuildtype=debugoptimized)
	$(MESON) compile -C $(BUILD_TSAN)
	TSAN_OPTIONS=halt_on_error=1 $(MESON) test -C $(BUILD_TSAN) --print-errorlogs

test-pypy: build-pypy
	$(MAKE) run-pypy

test-cpython: build-cpython
	$(MAKE) run-cpython

# The suites alone, on builds that exist.
run-pypy:
	cd tests/python && RATEVANE_BUILD=$(abspath $(BUILD_PYPY)) $(abspath $(VPYPY)) -m pytest $(PYTEST_ARGS)

run-cpython:
	cd tests/python && RATEVANE_BUILD=$(abspath $(BUILD_CPY)) $(abspath $(VCPY)) -m pytest $(PYTEST_ARGS)

test-python: test-pypy test-cpython

# Reference counts stay flat under Debian's debug CPython.
test-refleak: venvs
	$(call configure,$(BUILD_DBG),-Dpython=python3.11-dbg -Dfault_injection=true -Dbuildtype=debug)
	$(MESON) compile -C $(BUILD_DBG)
	PYTHONPATH=$(abspath $(BUILD_DBG))/src python3.11-dbg tests/python/refleak_check.py

# Everything is built first. The two Python suites then run side by side
# (they spend most of their time waiting for windows to reopen), and the
# wheels, the reference-count check and the sanitizer suite use the
# processors they leave idle, at the lowest priority so that the suites'
# threads are not kept waiting. Last come the suites on the installed wheels.
test: venvs
	$(MAKE) build
	$(MAKE) test-cpp
	$(MAKE) -j4 --output-sync=target run-pypy run-cpython wheels-then-refleak sanitize-low-priority
	$(MAKE) -j2 --output-sync=target test-wheel-pypy test-wheel-cpython

wheels-then-refleak:
	nice -n 19 $(MAKE) wheels
	nice -n 19 $(MAKE) test-refleak

sanitize-low-priority:
	nice -n 19 $(MAKE) sanitize

# About a minute of load on both interpreters (make test runs 10 s of it).
soak: build
	cd tests/python && RATEVANE_SOAK_SECONDS=60 RATEVANE_BUILD=$(abspath $(BUILD_PYPY)) $(abspath $(VPYPY)) -m pytest -s -q test_soak.py
	cd tests/python && RATEVANE_SOAK_SECONDS=60 RATEVANE_BUILD=$(abspath $(BUILD_CPY)) $(abspath $(VCPY)) -m pytest -s -q test_soak.py

# The extension under AddressSanitizer + UndefinedBehaviorSanitizer, with the
# whole Python suite (CPython; the runtimes are preloaded into the
# interpreter, which is not built with them).
# - PYTHONMALLOC=malloc hands every host object to the sanitizer's malloc,
#   so a write past a host object is caught too, and LeakSanitizer sees the
#   pointers that host objects hold.
# - LeakSanitizer checks the test process and every child it starts, at
#   their exits. The interpreter itself does not free everything at exit,
#   so allocations made through its allocators are suppressed
#   (tests/python/lsan.supp, which says why); the module's own C++
#   allocations stay checked.
# - RATEVANE_PLANT_FAULT=use_after_free plants a read of freed memory in
#   every release() and must make this target fail.
# - --capture=sys: a sanitizer's report is written straight to the process's
#   standard error before it stops, where pytest's own capture of the file
#   descriptors would swallow it.
SAN_RUNTIMES = $$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)
build-sanitize: venvs
	$(call configure,$(BUILD_SAN),-Dpython=$(CPYTHON) -Dfault_injection=true -Db_sanitize=address$(comma)undefined -Db_lundef=false -Dbuildtype=debugoptimized)
	$(MESON) compile -C $(BUILD_SAN)

sanitize: build-sanitize
	cd tests/python && LD_PRELOAD="$(SAN_RUNTIMES)" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(abspath tests/python/lsan.supp):print_suppressions=0 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  RATEVANE_SKIP_INSTALL_TEST=1 RATEVANE_BUILD=$(abspath $(BUILD_SAN)) $(abspath $(VCPY)) -m pytest --capture=sys $(PYTEST_ARGS)

# --- demo and benchmarks ----------------------------------------------------

demo: build-pypy
	PYTHONPATH=$(abspath $(BUILD_PYPY))/src $(PYPY) examples/threads.py
	PYTHONPATH=$(abspath $(BUILD_PYPY))/src $(PYPY) examples/asyncio_clients.py
	PYTHONPATH=$(abspath $(BUILD_PYPY))/src:$(abspath python) $(VPYPY) examples/shared_budget.py

# The figures come from release builds with pip install's options (no
# fault points), not from the test builds.
release-builds: venvs
	$(call configure,$(BUILD_REL_PYPY),-Dpython=$(PYPY))
	$(MESON) compile -C $(BUILD_REL_PYPY)
	$(call configure,$(BUILD_REL_CPY),-Dpython=$(CPYTHON))
	$(MESON) compile -C $(BUILD_REL_CPY)

bench: release-builds
	$(call configure,$(BUILD_BENCH),-Dextension=false -Dbench=enabled)
	$(MESON) compile -C $(BUILD_BENCH)
	$(BUILD_BENCH)/bench/engine_bench --benchmark_min_time=0.2
	$(BUILD_BENCH)/bench/executor_bench
	$(VCPY) bench/report.py --pypy $(PYPY) --pypy-build $(abspath $(BUILD_REL_PYPY)) \
	  --cpython $(CPYTHON) --cpython-build $(abspath $(BUILD_REL_CPY))

# --- binary wheels ------------------------------------------------------------

# manylinux2014 wheels for CPython and PyPy, built from the sdist (which
# proves the sdist complete) with pip install's own build options. Zig's C
# and C++ compilers link against glibc 2.17's symbols and put their C++
# runtime inside the library; LDFLAGS leaves that runtime's debug
# information out. auditwheel confirms each tag.
# The zig binary itself: `python -m ziglang` would not find its package
# inside pip's isolated build environment.
ZIG         = $(shell $(VCPY) -c 'import os, ziglang; print(os.path.dirname(ziglang.__file__))')/zig
ZIG_TARGET := x86_64-linux-gnu.2.17
MANYLINUX  := manylinux_2_17_x86_64
WHEEL_ENV   = CC="$(ZIG) cc -target $(ZIG_TARGET)" CXX="$(ZIG) c++ -target $(ZIG_TARGET)" \
              LDFLAGS=-Wl,--strip-debug
WHEEL_VENVS := build/wheel-venvs

$(STAMPS)/wheels: $(shell git ls-files 2>/dev/null) | venvs
	rm -rf dist build/wheels
	$(VCPY) -m build --sdist -o dist .
	for py in $(VCPY) $(VPYPY); do \
	  $(WHEEL_ENV) $$py -m pip wheel -q --disable-pip-version-check --no-deps \
	    -w build/wheels dist/ratevane-*.tar.gz || exit 1; \
	done
	$(VCPY) -m wheel tags --remove --platform-tag $(MANYLINUX).manylinux2014_x86_64 build/wheels/*.whl
	mv build/wheels/*$(MANYLINUX)*.whl dist/
	for whl in dist/*.whl; do \
	  $(VCPY) -m auditwheel show $$whl > build/wheels/show.txt || exit 1; \
	  cat build/wheels/show.txt; \
	  tr -s ' \n' ' ' < build/wheels/show.txt | grep -q 'following platform tag: "$(MANYLINUX)"' \
	    || { echo "$$whl: not $(MANYLINUX)"; exit 1; }; \
	done
	$(VCPY) -m twine check dist/*
	ls -l dist
	@touch $@

wheels: $(STAMPS)/wheels
dist: wheels

# Each wheel installed as an index would install it, into a fresh virtual
# environment with the test tools, and the Python suite run against it
# (the tests that need fault injection skip themselves there).
test-wheel-%: $(STAMPS)/wheels
	rm -rf $(WHEEL_VENVS)/$*
	$(if $(filter pypy,$*),$(PYPY),$(CPYTHON)) -m venv $(WHEEL_VENVS)/$*
	grep -E '^(pytest|pytest-timeout|hypothesis|mypy|redis|async-timeout)==' requirements-test.txt > $(WHEEL_VENVS)/$*.txt
	$(WHEEL_VENVS)/$*/bin/python -m pip install -q --disable-pip-version-check -r $(WHEEL_VENVS)/$*.txt
	$(WHEEL_VENVS)/$*/bin/python -m pip install -q --disable-pip-version-check \
	  --no-index --only-binary :all: --find-links dist 'ratevane[redis]'
	cd tests/python && RATEVANE_WHEEL=1 RATEVANE_SKIP_INSTALL_TEST=1 \
	  $(abspath $(WHEEL_VENVS))/$*/bin/python -m pytest $(PYTEST_ARGS)

test-wheels: test-wheel-pypy test-wheel-cpython

# Each wheel's per-call costs against a g++ build with the same options,
# case by case in one run of the benchmark per interpreter.
bench-wheels: $(STAMPS)/wheels release-builds
	rm -rf build/wheels/pypy build/wheels/cpython
	$(VCPY) -m zipfile -e dist/ratevane-*-pp39-*.whl build/wheels/pypy
	$(VCPY) -m zipfile -e dist/ratevane-*-cp311-*.whl build/wheels/cpython
	RATEVANE_BUILD=$(BUILD_REL_PYPY) $(PYPY) bench/acquire_bench.py \
	  --compare $$(ls build/wheels/pypy/ratevane*.so)
	RATEVANE_BUILD=$(BUILD_REL_CPY) $(CPYTHON) bench/acquire_bench.py \
	  --compare $$(ls build/wheels/cpython/ratevane*.so)

clean:
	rm -rf build dist
