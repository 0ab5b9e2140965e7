import importlib
import os
import subprocess
import sys

import numpy as np
import pytest

from quillfen import _core, _runtime
from model_files import random_tensors, tiny_vocabulary, write_gguf, write_tiny_model


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
    # One row per refusal: every spelling each refuses is in tests/cpp/test_kernels.cpp.
    ("QUILLFEN_ISA", "sse4", UNKNOWN_LEVEL), ("QUILLFEN_ISA", "avx2", LACKING), ("QUILLFEN_ISA", "avx512", LACKING),
    ("QUILLFEN_NUM_THREADS", "0", "is not a thread count; use a whole number from 1 to 1024 (this process may run on "),
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


def run_python(cwd, code, **env):
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, capture_output=True, text=True, check=True,
                          env={**os.environ, **env}).stdout


def test_both_modules_share_one_pool_and_one_kernel_level(tmp_path):
    # The settings are read once per process: a module with a core of its own would read the changed
    # ones (and refuse the bad level) when it is imported second.
    path = write_tiny_model(tmp_path / "tiny.gguf", layers=1)
    code = f"""if True:
        import os
        from quillfen import _runtime
        os.environ.update(QUILLFEN_NUM_THREADS="1", QUILLFEN_ISA="none")
        from quillfen import _core
        model = _runtime.TextModel({str(path)!r})
        model.next_token([1, 2])
        _core.LlamaSession({str(path)!r}).generate_next_token(1, 0.0, 1, 1.0)
        print(_core.Scheduler().backend_info()[0][0], model.threads, _runtime.kernel_isa())"""
    for isa in _runtime.cpu_isas():
        assert run_python(tmp_path, code, QUILLFEN_NUM_THREADS="3", QUILLFEN_ISA=isa).split() == \
            ["CPU", "(3", "threads)", "3", isa]


def test_a_fault_in_either_module_raises_the_one_panic_exception(tmp_path):
    keys = tiny_vocabulary() | {"context_length": 16}
    t = random_tensors(np.random.default_rng(0), vocab=len(keys["token_list"]), layers=1)
    t["output.weight"][3, 0] = np.nan  # the sampler meets NaN
    write_gguf(tmp_path / "nan.gguf", t, keys=keys)
    (tmp_path / "archive.bin").write_bytes(b"PK\x03\x04" + b"\0" * 64)
    raised = []
    for call in (lambda: _runtime.TextModel(str(tmp_path / "nan.gguf")).next_token([1], temperature=1.0),
                 lambda: _core.FormatDetector.load_metadata(str(tmp_path / "archive.bin"))):
        with pytest.raises(BaseException) as info:
            call()
        raised.append(type(info.value))
    assert raised[0] is raised[1] and raised[0].__name__ == "PanicException"
