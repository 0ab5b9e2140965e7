"""Builds llama.cpp's own `llama-server` once, into bench/.cache/llama-server, for bench/serve_load.py.

The sources are the llama.cpp tree inside llama-cpp-python's source release (`vendor/llama.cpp`), the
same version bench/llamacpp_install.py builds the Python baseline from, so both anchors run one ggml.
Build choices: the ggml options of that build (GGML_NATIVE=ON, or on a CPU that lists AMX the same
extensions named one by one with AMX left out), the server on, libcurl, OpenSSL and the web UI off,
one compile job at a time (the machine is shared). About 15 to 30 minutes on 2 cores; later runs find
the stamp and return at once. `python bench/llama_server_install.py` prints the binary's path.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tarfile
from pathlib import Path

from llamacpp_install import COMMON_CMAKE_ARGS, VERSION, cmake_args, ensure_llamacpp

# The cache itself, not a link to it: the build's libraries name their folder by this path, so a path
# through a worktree's link to the shared cache would stop resolving once that worktree is removed.
ROOT = (Path(__file__).resolve().parent / ".cache").resolve() / "llama-server"
SDIST = ROOT / f"llama_cpp_python-{VERSION}.tar.gz"
SOURCE = ROOT / f"llama_cpp_python-{VERSION}" / "vendor" / "llama.cpp"
BUILD = ROOT / "build"
BINARY = BUILD / "bin" / "llama-server"
STAMP = ROOT / "quillfen-build.json"
LOG = ROOT / "build.log"

# The library's options as the Python baseline sets them, with the server (which the tools switch
# brings) turned on; the target built is llama-server alone.
SERVER_ARGS = [a for a in COMMON_CMAKE_ARGS if not a.startswith(("-DLLAMA_BUILD_SERVER", "-DLLAMA_BUILD_TOOLS"))]
SERVER_ARGS += ["-DLLAMA_BUILD_TOOLS=ON", "-DLLAMA_BUILD_SERVER=ON", "-DLLAMA_BUILD_UI=OFF", "-DLLAMA_OPENSSL=OFF",
                "-DCMAKE_BUILD_TYPE=Release"]


def wanted_args() -> list[str]:
    ggml = [a for a in cmake_args() if a.startswith("-DGGML_") and a not in COMMON_CMAKE_ARGS]
    return ggml + SERVER_ARGS


def _stamp() -> dict:
    return {"version": VERSION, "cmake_args": wanted_args()}


def is_built() -> bool:
    return BINARY.exists() and STAMP.exists() and json.loads(STAMP.read_text()) == _stamp()


def _fetch_sources() -> None:
    if not SDIST.exists():
        # The llama-cpp-python venv's pip has the build backend, so reading the release's metadata
        # compiles nothing.
        pip = [str(ensure_llamacpp()), "-m", "pip"]
        subprocess.run(pip + ["download", "--no-deps", "--no-build-isolation", "--no-binary", "llama-cpp-python",
                              "-d", str(ROOT), f"llama-cpp-python=={VERSION}"], check=True)
    if not SOURCE.exists():
        with tarfile.open(SDIST) as tar:
            tar.extractall(ROOT, filter="data")


def library_env() -> dict[str, str]:
    """The environment to run the binary in: its own libraries first, whatever run path a build made
    under an older layout of the cache recorded."""
    env = dict(os.environ)
    env["LD_LIBRARY_PATH"] = ":".join(p for p in (str(BINARY.parent), env.get("LD_LIBRARY_PATH", "")) if p)
    return env


def ensure_llama_server() -> Path:
    if is_built():
        return BINARY
    ROOT.mkdir(parents=True, exist_ok=True)
    _fetch_sources()
    STAMP.unlink(missing_ok=True)
    # The cmake binary itself: the venv's wrapper scripts name the interpreter of the folder the venv was
    # built in, which a shared cache may have moved away from.
    cmake = subprocess.run([str(ensure_llamacpp()), "-c", "import cmake; print(cmake.CMAKE_BIN_DIR)"],
                           check=True, capture_output=True, text=True).stdout.strip() + "/cmake"
    print(f"building llama-server from {SOURCE} (log: {LOG}) ...", file=sys.stderr, flush=True)
    with open(LOG, "a") as log:
        for cmd in ([cmake, "-S", str(SOURCE), "-B", str(BUILD), *wanted_args()],
                    [cmake, "--build", str(BUILD), "--target", "llama-server", "-j", "1"]):
            log.write("$ " + " ".join(cmd) + "\n")
            log.flush()
            subprocess.run(cmd, check=True, stdout=log, stderr=subprocess.STDOUT)
    STAMP.write_text(json.dumps(_stamp()))
    return BINARY


if __name__ == "__main__":
    print(ensure_llama_server())
