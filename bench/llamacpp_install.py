"""Builds llama-cpp-python from its PyPI source release into a private venv under bench/.cache.

llama-cpp-python is only the baseline that bench/compare_llamacpp.py measures quillfen against; it
lives in its own venv so that nothing of it reaches the project's .venv, and it is built from source
so that its kernels are compiled for this machine (the published wheels target a generic x86-64).

Build choices (also printed by the comparison):
- GGML_NATIVE=ON: ggml compiled with -march=native, so it uses every vector extension this CPU has;
  on a CPU that lists AMX, the same extensions named one by one instead, AMX left out (see cmake_args).
  quillfen selects its matvec kernels at run time by CPU feature, so this is the like-for-like
  setting: each runtime gets the best kernels the machine supports.
- CPU backend only: no BLAS, CUDA, Metal, Vulkan, OpenCL, SYCL, HIP; OpenMP (ggml's default pool) stays.
- Nothing beyond the library: no tests, examples, tools, server, libcurl, nor the multimodal helper.

- A second build, `avx2` (GGML_NATIVE=OFF; AVX, AVX2, FMA, F16C on; every AVX-512 option off), in its own
  venv: the like-for-like baseline when quillfen is forced to its AVX2 kernels (QUILLFEN_ISA=avx2).

The first build takes many minutes on a small machine; later runs find the stamp and return at once.
Run `python bench/llamacpp_install.py [native|avx2]` (prints the venv's python) to build ahead of the
comparison.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import venv
from pathlib import Path

CACHE = Path(__file__).resolve().parent / ".cache"
VERSION = "0.3.36"
# Builds by instruction-set level, each in its own venv: "native" (every extension this CPU has) and
# "avx2" (AVX2, FMA and F16C, nothing of AVX-512), the baseline for quillfen forced to its AVX2 kernels.
LEVELS = ("native", "avx2")
# Runtime dependencies of llama_cpp (installed from wheels: they are not the baseline being measured),
# the build backend and its tools, used without isolation so the build needs no second download.
SUPPORT = [
    "numpy",
    "typing-extensions",
    "diskcache",
    "jinja2",
    "scikit-build-core[pyproject]>=0.9.2",
    "cmake>=3.21",
    "ninja",
]
COMMON_CMAKE_ARGS = [
    "-DGGML_BLAS=OFF",
    "-DGGML_CUDA=OFF",
    "-DGGML_METAL=OFF",
    "-DGGML_VULKAN=OFF",
    "-DGGML_OPENCL=OFF",
    "-DGGML_SYCL=OFF",
    "-DGGML_HIP=OFF",
    "-DGGML_BACKEND_DL=OFF",
    "-DGGML_CPU_ALL_VARIANTS=OFF",
    "-DLLAMA_BUILD_TESTS=OFF",
    "-DLLAMA_BUILD_EXAMPLES=OFF",
    "-DLLAMA_BUILD_TOOLS=OFF",
    "-DLLAMA_BUILD_SERVER=OFF",
    "-DLLAMA_CURL=OFF",
    "-DLLAVA_BUILD=OFF",
]

# x86-64 vector extensions as ggml's per-feature build options.
GGML_FEATURES = {
    "avx": "GGML_AVX", "avx2": "GGML_AVX2", "fma": "GGML_FMA", "f16c": "GGML_F16C", "bmi2": "GGML_BMI2",
    "avx_vnni": "GGML_AVX_VNNI", "avx512f": "GGML_AVX512", "avx512vbmi": "GGML_AVX512_VBMI",
    "avx512_vnni": "GGML_AVX512_VNNI", "avx512_bf16": "GGML_AVX512_BF16",
}


def cpu_flags() -> set[str]:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def cmake_args() -> list[str]:
    """GGML_NATIVE, unless the CPU lists AMX: -march=native then builds ggml's AMX tile kernels, and a
    virtual machine may list AMX without granting the tile state (ggml dies in ldtilecfg). There the
    same extensions are named one by one, AMX left out (quillfen uses none either)."""
    flags = cpu_flags()
    if not any(f.startswith("amx") for f in flags):
        return ["-DGGML_NATIVE=ON", *COMMON_CMAKE_ARGS]
    features = [f"-D{option}={'ON' if flag in flags else 'OFF'}" for flag, option in GGML_FEATURES.items()]
    return ["-DGGML_NATIVE=OFF", *features, *COMMON_CMAKE_ARGS]


# AVX2 with FMA and F16C named one by one, every AVX-512 (and AVX-VNNI) option off.
AVX2_CMAKE_ARGS = ["-DGGML_NATIVE=OFF", "-DGGML_AVX=ON", "-DGGML_AVX2=ON", "-DGGML_FMA=ON", "-DGGML_F16C=ON",
                   "-DGGML_BMI2=OFF", "-DGGML_AVX_VNNI=OFF", "-DGGML_AVX512=OFF", "-DGGML_AVX512_VBMI=OFF",
                   "-DGGML_AVX512_VNNI=OFF", "-DGGML_AVX512_BF16=OFF", "-DGGML_AMX_TILE=OFF", "-DGGML_AMX_INT8=OFF",
                   "-DGGML_AMX_BF16=OFF", *COMMON_CMAKE_ARGS]
CMAKE_ARGS = cmake_args()


def level_cmake_args(level: str = "native") -> list[str]:
    return CMAKE_ARGS if level == "native" else AVX2_CMAKE_ARGS


def venv_dir(level: str = "native") -> Path:
    return CACHE / ("llamacpp-venv" if level == "native" else f"llamacpp-{level}-venv")


def venv_python(level: str = "native") -> Path:
    return venv_dir(level) / "bin" / "python"


def _stamp(level: str) -> Path:
    return venv_dir(level) / "quillfen-build.json"


def _wanted_stamp(level: str) -> dict:
    return {"version": VERSION, "cmake_args": level_cmake_args(level)}


def is_installed(level: str = "native") -> bool:
    stamp = _stamp(level)
    if not stamp.exists() or json.loads(stamp.read_text()) != _wanted_stamp(level):
        return False
    probe = subprocess.run(
        [str(venv_python(level)), "-c", "import llama_cpp; print(llama_cpp.__version__)"],
        capture_output=True,
        text=True,
    )
    return probe.returncode == 0 and probe.stdout.strip() == VERSION


def ensure_llamacpp(level: str = "native") -> Path:
    """Returns the python of the venv holding llama-cpp-python built for `level`, building it first if needed."""
    if level not in LEVELS:
        raise ValueError(f"unknown llama.cpp build level {level!r}; one of {', '.join(LEVELS)}")
    if is_installed(level):
        return venv_python(level)
    CACHE.mkdir(parents=True, exist_ok=True)
    VENV = venv_dir(level)
    LOG = CACHE / ("llamacpp-build.log" if level == "native" else f"llamacpp-{level}-build.log")
    STAMP = _stamp(level)
    if not venv_python(level).exists():
        venv.EnvBuilder(with_pip=True, clear=True).create(VENV)
    STAMP.unlink(missing_ok=True)
    env = dict(os.environ)
    env["CMAKE_ARGS"] = " ".join(level_cmake_args(level))
    env["CMAKE_BUILD_PARALLEL_LEVEL"] = str(os.cpu_count() or 1)
    env["FORCE_CMAKE"] = "1"
    pip = [str(venv_python(level)), "-m", "pip"]
    print(f"building llama-cpp-python {VERSION} from source into {VENV} (log: {LOG}) ...", flush=True)
    with open(LOG, "a") as log:
        for cmd in (
            pip + ["install", "--upgrade", *SUPPORT],
            pip
            + [
                "install",
                "--verbose",
                "--no-deps",
                "--force-reinstall",  # an older build under other flags must not count as installed
                "--no-build-isolation",
                "--no-binary",
                "llama-cpp-python",
                "--no-cache-dir",
                f"llama-cpp-python=={VERSION}",
            ],
        ):
            log.write("$ " + " ".join(cmd) + "\n")
            log.flush()
            subprocess.run(cmd, check=True, env=env, stdout=log, stderr=subprocess.STDOUT)
    STAMP.write_text(json.dumps(_wanted_stamp(level)))
    if not is_installed(level):
        raise SystemExit(f"llama-cpp-python did not import after the build; see {LOG}")
    return venv_python(level)


if __name__ == "__main__":
    print(ensure_llamacpp(sys.argv[1] if len(sys.argv) > 1 else "native"))
