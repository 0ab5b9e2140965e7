"""The repaired wheel as a user gets it: installed into a new venv outside the source tree, its command
runs a tiny model from a folder outside the tree and prints what the development install prints, and
its libraries need nothing from the system but the C and C++ runtimes. `make test-wheel` builds the
wheel and names it in QUILLFEN_WHEEL; without it these tests are skipped."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

from model_files import write_tiny_model

WHEEL = os.environ.get("QUILLFEN_WHEEL", "")
pytestmark = pytest.mark.skipif(not WHEEL, reason="QUILLFEN_WHEEL names no wheel (make test-wheel builds one)")

# What every manylinux system provides; any other library must come from the wheel.
SYSTEM_LIBRARIES = {"linux-vdso.so.1", "ld-linux-x86-64.so.2", "libc.so.6", "libm.so.6", "libstdc++.so.6",
                    "libgcc_s.so.1", "libpthread.so.0", "libdl.so.2", "librt.so.1"}


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    """The site-packages folder of a new venv holding the wheel (and jinja2, from the index)."""
    venv = tmp_path_factory.mktemp("venv")
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    subprocess.run([venv / "bin" / "python", "-m", "pip", "install", "-q", "--disable-pip-version-check", WHEEL],
                   check=True)
    [site] = venv.glob("lib/python*/site-packages")
    return site


def test_the_wheel_is_manylinux():
    assert re.search(r"-manylinux_2_\d+_x86_64\.whl$", WHEEL)


def test_the_command_runs_from_outside_the_tree(site, tmp_path):
    model = write_tiny_model(tmp_path / "tiny.gguf")
    args = ["run", str(model), "-p", "the cat sat", "-n", "12", "--temperature", "0"]
    installed = subprocess.run([site.parents[2] / "bin" / "quillfen", *args], cwd=tmp_path, capture_output=True,
                               text=True, env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"})
    assert installed.returncode == 0, installed.stderr
    here = subprocess.run([sys.executable, "-m", "quillfen", *args], cwd=tmp_path, capture_output=True, text=True,
                          check=True)
    assert installed.stdout == here.stdout and installed.stdout.strip()


def test_the_libraries_need_only_the_system_runtimes(site):
    libraries = [*site.glob("quillfen/**/*.so*"), *site.glob("quillfen.libs/*.so*")]
    assert len(libraries) == 5  # the two modules, libquillfen, oneTBB and PCRE2
    for library in libraries:
        ldd = subprocess.run(["ldd", library], capture_output=True, text=True, check=True).stdout
        for line in ldd.splitlines():
            name, _, target = line.strip().partition(" => ")
            target = target.split(" (")[0]
            if target and pathlib.Path(target).is_relative_to(site):
                continue
            assert pathlib.Path(name.split(" (")[0]).name in SYSTEM_LIBRARIES, f"{library.name}: {line.strip()}"
    assert {p.name.split("-")[0] for p in site.glob("quillfen.libs/*")} == {"libtbb", "libpcre2"}  # copied in
