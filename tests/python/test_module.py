import importlib
import sys

import pytest

from quillfen import _core


def test_version():
    assert _core.__version__ == "0.1.1"


def test_all_lists_version_first_then_classes_in_order():
    expected = ["__version__", "TieredMemoryManager", "Scheduler", "FormatDetector", "ModelMetadata",
                "InferenceEngine", "HardwareProfile", "LlamaSession"]
    present = [n for n in expected if n == "__version__" or hasattr(_core, n)]
    assert _core.__all__ == present


def test_module_docstring_is_empty():
    assert _core.__doc__ == ""


def test_reimport_after_removal_gives_the_same_module():
    first = sys.modules.pop("quillfen._core")
    try:
        again = importlib.import_module("quillfen._core")
        assert again is first
    finally:
        sys.modules["quillfen._core"] = first
