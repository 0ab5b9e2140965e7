# Two entry points: `make demo` and `make test`. Both set up a fresh machine (Debian packages,
# a .venv with the Python tools) and are safe to run again.

PYTHON      ?= python3
VENV        := .venv
PY          := $(VENV)/bin/python
BUILD_DIR   := build/skbuild
# qemu-user runs the tests on emulated older CPUs; binutils' objdump reads the kernel objects.
APT_PACKAGES := libtbb-dev nlohmann-json3-dev libgtest-dev qemu-user binutils

# `make test-aarch64`: cross compiler, user-mode emulator and the arm64 builds of the libraries.
AARCH64_APT_PACKAGES := g++-aarch64-linux-gnu qemu-user nlohmann-json3-dev libtbb-dev:arm64 libgtest-dev:arm64
AARCH64_DIR  := build/aarch64
CMAKE        := $(VENV)/bin/cmake
NINJA        := $(abspath $(VENV)/bin/ninja)
# The arm64 dynamic loader and libc come from libc6:arm64 (pulled in by libtbb12:arm64), so that
# loader and libc are one build; `-L /usr/aarch64-linux-gnu` would pair the cross toolchain's
# loader (2.36-8cross1) with libc6:arm64's libc.so.6, and TBB programs then hang.
QEMU_AARCH64 := qemu-aarch64 -L /

.PHONY: all setup apt venv build test test-cpp test-emulated test-python test-aarch64 demo bench clean

all: build

# Packages are looked up for this machine's architecture (or as architecture-independent): the arm64
# copies that `make test-aarch64` installs beside them would make a bare name ambiguous.
apt:
	@arch=$$(dpkg --print-architecture); missing=""; for p in $(APT_PACKAGES); do \
	  dpkg -s "$$p:$$arch" >/dev/null 2>&1 || dpkg -s "$$p:all" >/dev/null 2>&1 || missing="$$missing $$p"; done; \
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

# The kernel levels this CPU runs, as quillfen reports them (run outside the source tree, whose
# quillfen/ folder lacks the built modules); a failed import stops the recipe instead of leaving
# nothing to loop over.
CPU_ISAS = isas=$$(cd / && $(abspath $(PY)) -c "from quillfen import _runtime; print(*_runtime.cpu_isas())") || exit 1

# Every level this CPU runs, forced in turn; QUILLFEN_EXPECT_ISA makes each run check that the
# dispatcher really took it.
test-cpp: build
	@$(CPU_ISAS); for isa in $$isas; do \
	  echo "== C++ tests, QUILLFEN_ISA=$$isa"; \
	  QUILLFEN_ISA=$$isa QUILLFEN_EXPECT_ISA=$$isa $(BUILD_DIR)/quillfen_tests --gtest_brief=1 || exit 1; \
	done

# Older CPUs under user-mode emulation: the only way a host with AVX-512 proves the AVX2 and portable
# paths hold no wider instruction, and (on a host without it) the portable path still runs.
# Haswell: AVX2, FMA and F16C, no AVX-512 (features TCG cannot emulate are dropped to keep the log short);
# Nehalem: SSE4.2 only.
QEMU_HASWELL := qemu-x86_64 -cpu Haswell-v4,-pcid,-x2apic,-tsc-deadline,-invpcid
QEMU_NEHALEM := qemu-x86_64 -cpu Nehalem
test-emulated: build
	@set -e; for run in "avx2 $(QEMU_HASWELL)" "scalar $(QEMU_NEHALEM)"; do \
	  set -- $$run; isa=$$1; shift; \
	  echo "== C++ tests and LLaMA tests on an emulated CPU ($$*), expecting $$isa"; \
	  QUILLFEN_EXPECT_ISA=$$isa "$$@" $(BUILD_DIR)/quillfen_tests --gtest_brief=1; \
	  QUILLFEN_EXPECT_ISA=$$isa "$$@" $(PY) $(VENV)/bin/pytest -q -p no:cacheprovider tests/python/test_llama_session.py; \
	done

# The whole Python suite at every forced level, then once as a user runs it (the widest level).
test-python: build
	@$(CPU_ISAS); for isa in $$isas; do \
	  echo "== Python tests, QUILLFEN_ISA=$$isa"; \
	  QUILLFEN_ISA=$$isa $(VENV)/bin/pytest -q -p no:cacheprovider tests/python || exit 1; \
	done
	$(VENV)/bin/pytest -q tests/python

# The arm64 run takes under a minute (its first run, with the packages, about one more), so it is
# part of the test command.
test: test-cpp test-emulated test-aarch64 test-python

# Cross-build the core library and the C++ tests for 64-bit Arm and run them under qemu-aarch64.
# Debian's cross compiler brings libc and libstdc++ for arm64 (in /usr/aarch64-linux-gnu); TBB and
# GoogleTest come as multiarch arm64 packages next to the amd64 ones (in /usr/lib/aarch64-linux-gnu).
test-aarch64: venv
	@missing=""; for p in $(AARCH64_APT_PACKAGES); do \
	  [ "$$(dpkg-query -W -f='$${db:Status-Status}' $$p 2>/dev/null)" = installed ] || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -eq 0 ] || SUDO=sudo; \
	  dpkg --print-foreign-architectures | grep -qx arm64 || $$SUDO dpkg --add-architecture arm64; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing; \
	fi
	$(CMAKE) -S . -B $(AARCH64_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(NINJA) \
	  $(if $(wildcard $(AARCH64_DIR)/CMakeCache.txt),,-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake) \
	  -DQUILLFEN_BUILD_PYTHON=OFF -DQUILLFEN_BUILD_TESTS=ON
	$(CMAKE) --build $(AARCH64_DIR) -j 2 --target quillfen_tests
	QUILLFEN_EXPECT_ISA=scalar $(QEMU_AARCH64) $(AARCH64_DIR)/quillfen_tests --gtest_brief=1

demo: build
	$(PY) bench/demo.py

bench: build
	$(PY) bench/matmul.py

clean:
	rm -rf build
