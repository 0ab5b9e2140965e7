"""The tests import their helpers (reference models, file generators) from this folder."""

import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).parent))

from model_files import write_tiny_model  # noqa: E402


@pytest.fixture(scope="session")
def tiny_path(tmp_path_factory):
    return str(write_tiny_model(tmp_path_factory.mktemp("tiny") / "tiny.gguf"))
