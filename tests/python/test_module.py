import importlib
import os
import subprocess
import sys

import pytest

from quillfen import _core, _runtime


def test_version_empty_docstring_and_all_in_registration_order():
    assert (_core.__version__, _core.__doc__) == ("0.1.1", "")
    assert _core.__all__ == ["__version__", "TieredMemoryManager", "Scheduler", "FormatDetector", "ModelMetadata",
                             "InferenceEngine", "HardwareProfile", "LlamaSession"]
    assert all(hasattr(_core, name) for name in _core.__all__)


def test_reimport_after_removal_gives_the_same_module():
    first = sys.modules.pop("quillfen._core")
    try:
        assert importlib.import_module("quillfen._core") is first
    finally:
        sys.modules["quillfen._core"] = first


def test_sub_interpreters_are_refused(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    out = tmp_path / "result.txt"
    testcapi.run_in_subinterp("try:\n import quillfen._core\n r = 'imported'\nexcept ImportError as e:\n"
                              f" r = 'ImportError: ' + str(e)\nopen({str(out)!r}, 'w').write(r)\n")
    assert out.read_text() == "ImportError: quillfen._core does not support sub-interpreters"


UNKNOWN_LEVEL, LACKING = "is not a kernel level; use portable, avx2 or avx512 (", "asks for kernels this CPU cannot run: "


@pytest.mark.parametrize("variable, asked, refusal", [
    ("QUILLFEN_ISA", "sse4", UNKNOWN_LEVEL), ("QUILLFEN_ISA", "AVX2", UNKNOWN_LEVEL),
    ("QUILLFEN_ISA", "avx2", LACKING), ("QUILLFEN_ISA", "avx512", LACKING),
    *(("QUILLFEN_NUM_THREADS", n, "is not a thread count; use a whole number from 1 to 1024 (this process may run on ")
      for n in ("0", "two", "-3", "1025")),
])
def test_a_bad_setting_refuses_the_import(tmp_path, variable, asked, refusal):
    if variable == "QUILLFEN_ISA" and asked in _runtime.cpu_isas():
        pytest.skip(f"this CPU runs {asked}")
    for module in ("quillfen", "quillfen._runtime"):
        run = subprocess.run([sys.executable, "-c", f"import {module}"], cwd=tmp_path, capture_output=True, text=True,
                             env={**os.environ, variable: asked})
        *_, last = run.stderr.strip().splitlines()
        assert run.returncode == 1
        assert last.startswith(f"ImportError: {variable}={asked} {refusal}")


def test_the_thread_count_sizes_the_pool(tmp_path):
    code = "import quillfen; print(quillfen.Scheduler().backend_info())"
    seen = [subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, check=True,
                           env={**os.environ, "QUILLFEN_NUM_THREADS": n}).stdout for n in ("1", "3")]
    assert "1 thread" in seen[0] and "3 thread" in seen[1]
