# Everyday commands over CMake and pip. Every target first installs what it
# needs (scripts/setup.sh with the target's profile).
BUILD_DIR ?= build
CXX_COMPILER ?= clang++
PYENV_ROOT_DIR := $(shell pyenv root 2>/dev/null || echo $(HOME)/.pyenv)
PYTHON ?= $(PYENV_ROOT_DIR)/versions/$(shell cat .python-version)/bin/python
JOBS ?= 2
VERSION := $(shell sed -n 's/^version *= *//p' setup.cfg)
SETUP = @PYTHON=$(PYTHON) bash scripts/setup.sh

.PHONY: build test demo demo-large bench wheel install clean

# The development build: module, C++ tests (plain and sanitized), fuzzers, benchmark module.
define cmake_build
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=$(CXX_COMPILER) \
	  -DPython_EXECUTABLE=$(PYTHON) $(CMAKE_ARGS) >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS) -- --no-print-directory
endef

build:
	$(SETUP) dev
	$(cmake_build)

test:
	$(SETUP) test
	$(cmake_build)
	@cd $(BUILD_DIR) && ctest --output-on-failure

demo:
	$(SETUP) demo
	$(cmake_build)
	@PYTHONPATH=$(BUILD_DIR) $(PYTHON) examples/search.py

demo-large:
	$(SETUP) demo-large
	$(cmake_build)
	@PYTHONPATH=$(BUILD_DIR) $(PYTHON) examples/search.py --large

bench:
	$(SETUP) bench
	$(cmake_build)
	@PYTHONPATH=$(BUILD_DIR) $(PYTHON) bench/run.py

# dist/durevarare-<version>-cp39-cp39-<platform>.whl, built offline in an
# isolated environment from the local wheelhouse (setuptools and wheel).
wheel:
	$(SETUP) wheel
	@CXX=$(CXX_COMPILER) $(PYTHON) -m pip wheel --no-index --find-links wheelhouse --no-deps --wheel-dir dist .

# Through pip, so that pip list, show and uninstall know it; PREFIX=... installs there.
install: wheel
	@$(PYTHON) -m pip install --no-index --no-deps --force-reinstall $(if $(PREFIX),--prefix $(PREFIX)) \
	  dist/durevarare-$(VERSION)-cp39-cp39-*.whl

clean:
	rm -rf $(BUILD_DIR) build-wheel dist durevarare.egg-info
