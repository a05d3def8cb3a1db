# Everyday commands over CMake and pip. Every target first installs what it
# needs (scripts/setup.sh with the target's profile).
BUILD_DIR ?= build
CXX_COMPILER ?= clang++
PYENV_ROOT_DIR := $(shell pyenv root 2>/dev/null || echo $(HOME)/.pyenv)
PYTHON ?= $(PYENV_ROOT_DIR)/versions/$(shell cat .python-version)/bin/python
JOBS ?= 2
VERSION := $(shell sed -n 's/^version *= *//p' setup.cfg)
SETUP = @PYTHON=$(PYTHON) bash scripts/setup.sh
# One interpreter per CPython minor version found here (3.9 to 3.13), and
# those plus Debian's python3 for the tests.
PYTHONS = $(shell bash scripts/pythons.sh)
TEST_PYTHONS = $(shell bash scripts/pythons.sh --all)
WHEEL_TAG = $(shell $(PYTHON) -c 'import sys; print("cp%d%d" % sys.version_info[:2])')

.PHONY: build test demo demo-large demo-cluster bench docs wheel wheels install clean

# The development build, for the 3.9 of .python-version: module, C++ tests
# (plain and sanitized), fuzzers, benchmark module; or only the CMake targets
# that TARGETS names. The configuration stays the same either way, so that
# one build folder serves every make target.
define cmake_build
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=$(CXX_COMPILER) \
	  -DPython_EXECUTABLE=$(PYTHON) $(CMAKE_ARGS) >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS) $(if $(TARGETS),--target $(TARGETS)) -- --no-print-directory
endef

build:
	$(SETUP) dev
	$(cmake_build)

# The C++ tests once; the Python suite under every interpreter found, each
# with the module built for its version (build-py/cpXY for all but the 3.9).
test: CMAKE_ARGS += "-DDUREVARARE_OTHER_PYTHONS=$(filter-out $(PYTHON),$(TEST_PYTHONS))"
test:
	$(SETUP) test
	$(cmake_build)
	@for python in $(filter-out $(PYTHON),$(PYTHONS)); do \
	  echo "module for $$python"; \
	  CXX=$(CXX_COMPILER) $$python build_backend/durevarare_build.py module 2>/dev/null >/dev/null || exit 1; \
	done
	@cd $(BUILD_DIR) && ctest --output-on-failure

# The demo imports the two extension modules and nothing else that is built.
demo demo-large: TARGETS = durevarare search_native

demo:
	$(SETUP) demo
	$(cmake_build)
	@PYTHONPATH=$(BUILD_DIR) $(PYTHON) examples/search.py

demo-large:
	$(SETUP) demo-large
	$(cmake_build)
	@PYTHONPATH=$(BUILD_DIR) $(PYTHON) examples/search.py --large

# The training job on a Dask LocalCluster of 2 workers (ARGS=--large for the
# poems), under Debian's python3, whose Dask it uses, with the module built
# for its version.
CLUSTER_PYTHON ?= /usr/bin/python3
CLUSTER_BUILDER = $(firstword $(shell bash scripts/pythons.sh | while read p; do \
  [ "$$($$p -c 'import sys; print(sys.version_info[:2])')" = "$$($(CLUSTER_PYTHON) -c 'import sys; print(sys.version_info[:2])')" ] && echo $$p; done))
demo-cluster:
	$(SETUP) demo-cluster $(if $(filter --large,$(ARGS)),demo-large)
	@CXX=$(CXX_COMPILER) $(CLUSTER_BUILDER) build_backend/durevarare_build.py module >/dev/null 2>&1
	@PYTHONPATH=build-py/$(shell $(CLUSTER_PYTHON) -c 'import sys; print("cp%d%d" % sys.version_info[:2])') \
	  $(CLUSTER_PYTHON) examples/cluster_train.py $(ARGS)

# The module's own sections under PYTHON; then the live index and the search
# quality against Xapian and SQLite FTS5 under Debian's python3 (whose Xapian
# they use), with the package built for its version.
bench:
	$(SETUP) bench
	$(cmake_build)
	@PYTHONPATH=$(BUILD_DIR) $(PYTHON) bench/run.py
	@CXX=$(CXX_COMPILER) $(CLUSTER_BUILDER) build_backend/durevarare_build.py module >/dev/null 2>&1
	@PYTHONPATH=build-py/$(shell $(CLUSTER_PYTHON) -c 'import sys; print("cp%d%d" % sys.version_info[:2])') \
	  $(CLUSTER_PYTHON) bench/run.py index quality durable

# The pages of docs/ as HTML, with Debian's Sphinx; a warning fails the build.
docs:
	$(SETUP) docs
	@/usr/bin/python3 -m sphinx -W --keep-going -q -b html -d $(BUILD_DIR)/docs/doctrees docs $(BUILD_DIR)/docs/html
	@echo "docs: $(BUILD_DIR)/docs/html/index.html"

# dist/durevarare-<version>-cpXY-cpXY-manylinux_2_N_<machine>.whl for PYTHON,
# offline: the build backend is in the tree and needs nothing from an index.
wheel:
	$(SETUP) wheel
	@CXX=$(CXX_COMPILER) $(PYTHON) -m pip wheel --no-index --no-deps --wheel-dir dist .

# One wheel per interpreter that scripts/pythons.sh finds.
wheels:
	@for python in $(PYTHONS); do $(MAKE) --no-print-directory wheel PYTHON=$$python || exit 1; done
	@ls dist/durevarare-$(VERSION)-*.whl

# Through pip, so that pip list, show and uninstall know it; PREFIX=... installs there.
install: wheel
	@$(PYTHON) -m pip install --no-index --no-deps --force-reinstall $(if $(PREFIX),--prefix $(PREFIX)) \
	  dist/durevarare-$(VERSION)-$(WHEEL_TAG)-$(WHEEL_TAG)-*.whl

clean:
	rm -rf $(BUILD_DIR) build-py build-wheel dist
