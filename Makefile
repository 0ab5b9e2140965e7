# Two entry points: `make demo` and `make test`. Both set up a fresh machine (Debian packages,
# a .venv with the Python tools) and are safe to run again.

PYTHON      ?= python3
VENV        := .venv
PY          := $(VENV)/bin/python
BUILD_DIR   := build/skbuild
APT_PACKAGES := libtbb-dev nlohmann-json3-dev libgtest-dev

.PHONY: all setup apt venv build test test-cpp test-python demo bench clean

all: build

apt:
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -eq 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

$(VENV)/.installed: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.installed

setup: apt venv

# scikit-build-core keeps its CMake tree in build/skbuild, so rebuilds are incremental;
# the same tree builds the C++ test binary.
build: setup
	$(PY) -m pip install -q --no-build-isolation --no-deps \
	  -C cmake.define.QUILLFEN_BUILD_TESTS=ON .

test-cpp: build
	$(BUILD_DIR)/quillfen_tests --gtest_brief=1

test-python: build
	$(VENV)/bin/pytest -q tests/python

test: test-cpp test-python

demo: build
	$(PY) bench/demo.py

bench: build
	$(PY) bench/matmul.py

clean:
	rm -rf build
