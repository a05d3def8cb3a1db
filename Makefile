# Everyday commands over CMake. Every target installs what it needs first.
BUILD_DIR ?= build
CXX_COMPILER ?= clang++
PYENV_ROOT_DIR := $(shell pyenv root 2>/dev/null || echo $(HOME)/.pyenv)
PYTHON ?= $(PYENV_ROOT_DIR)/versions/$(shell cat .python-version)/bin/python
JOBS ?= 2

.PHONY: setup configure build test demo bench install clean

setup:
	@bash scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=$(CXX_COMPILER) \
	  -DPython_EXECUTABLE=$(PYTHON) $(CMAKE_ARGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) -- --no-print-directory

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure

demo: build
	@PYTHONPATH=$(BUILD_DIR) $(PYTHON) examples/search.py

bench: build
	@PYTHONPATH=$(BUILD_DIR) $(PYTHON) bench/run.py

install: build
	@cmake --install $(BUILD_DIR) $(if $(PREFIX),--prefix $(PREFIX))

clean:
	rm -rf $(BUILD_DIR)
