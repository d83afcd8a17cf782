# ratevane: build, test and demo on Debian 12 (run as root on a fresh machine).
#
#   make demo    install what is missing, build, run the demo
#   make test    install, build for PyPy and CPython, run every C++ and Python test

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

PYTEST_ARGS ?= -q

.PHONY: deps venvs build build-pypy build-cpython test test-cpp test-sanitizers \
        test-python test-pypy test-cpython demo bench clean

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

$(VENV)/%/.installed: requirements-test.txt $(STAMPS)/deb
	@rm -rf $(VENV)/$*
	$(if $(filter pypy,$*),$(PYPY),$(CPYTHON)) -m venv $(VENV)/$*
	$(VENV)/$*/bin/python -m pip install -q --disable-pip-version-check -r requirements-test.txt
	@touch $@

venvs: $(VENV)/pypy/.installed $(VENV)/cpython/.installed

# --- builds -----------------------------------------------------------------

# $(call configure,dir,options)
define configure
	@if [ ! -f $(1)/build.ninja ]; then $(MESON) setup $(1) $(2); fi
endef

build-pypy: venvs
	$(call configure,$(BUILD_PYPY),-Dpython=$(PYPY) -Dtests=enabled -Dfault_injection=true)
	$(MESON) compile -C $(BUILD_PYPY)

build-cpython: venvs
	$(call configure,$(BUILD_CPY),-Dpython=$(CPYTHON) -Dfault_injection=true)
	$(MESON) compile -C $(BUILD_CPY)

build: build-pypy build-cpython

# --- tests ------------------------------------------------------------------

test-cpp: build-pypy
	$(MESON) test -C $(BUILD_PYPY) --print-errorlogs

# The engine and the executor once more under ThreadSanitizer.
test-sanitizers: venvs
	$(call configure,$(BUILD_TSAN),-Dextension=false -Dtests=enabled -Db_sanitize=thread -Dbuildtype=debugoptimized)
	$(MESON) compile -C $(BUILD_TSAN)
	TSAN_OPTIONS=halt_on_error=1 $(MESON) test -C $(BUILD_TSAN) --print-errorlogs

test-pypy: build-pypy
	cd tests/python && RATEVANE_BUILD=$(abspath $(BUILD_PYPY)) $(abspath $(VPYPY)) -m pytest $(PYTEST_ARGS)

test-cpython: build-cpython
	cd tests/python && RATEVANE_BUILD=$(abspath $(BUILD_CPY)) $(abspath $(VCPY)) -m pytest $(PYTEST_ARGS)

test-python: test-pypy test-cpython

test: test-cpp test-sanitizers test-python

# --- demo and benchmarks ----------------------------------------------------

demo: build-pypy
	$(BUILD_PYPY)/examples/engine_demo

bench: venvs
	$(call configure,$(BUILD_BENCH),-Dextension=false -Dbench=enabled)
	$(MESON) compile -C $(BUILD_BENCH)
	$(BUILD_BENCH)/bench/engine_bench
	$(BUILD_BENCH)/bench/executor_bench

clean:
	rm -rf build
