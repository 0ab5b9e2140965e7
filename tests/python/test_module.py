import importlib
import sys

import pytest

from quillfen import _core


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
