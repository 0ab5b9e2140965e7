import importlib
import sys

import pytest

from quillfen import _core


def test_version():
    assert _core.__version__ == "0.1.1"


def test_all_lists_version_first_then_classes_in_order():
    expected = ["__version__", "TieredMemoryManager", "Scheduler", "FormatDetector", "ModelMetadata",
                "InferenceEngine", "HardwareProfile", "LlamaSession"]
    assert _core.__all__ == expected
    assert all(hasattr(_core, name) for name in expected)


def test_module_docstring_is_empty():
    assert _core.__doc__ == ""


def test_reimport_after_removal_gives_the_same_module():
    first = sys.modules.pop("quillfen._core")
    try:
        again = importlib.import_module("quillfen._core")
        assert again is first
    finally:
        sys.modules["quillfen._core"] = first


def test_sub_interpreters_are_refused(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    out = tmp_path / "result.txt"
    code = (
        "try:\n"
        "    import quillfen._core\n"
        f"    open({str(out)!r}, 'w').write('imported')\n"
        "except ImportError as e:\n"
        f"    open({str(out)!r}, 'w').write('ImportError: ' + str(e))\n"
    )
    testcapi.run_in_subinterp(code)
    assert out.read_text() == "ImportError: quillfen._core does not support sub-interpreters"
