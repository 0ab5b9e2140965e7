"""quillfen: checkpoint recognition, LLaMA GGUF inference on the CPU, and memory budgets.

The text API (`Model`, `Completion`, `Stream`) sits beside the native classes of `_core`."""

from importlib.metadata import version as _version
from typing import TYPE_CHECKING

from quillfen import _core
from quillfen._core import *  # noqa: F401,F403
from quillfen.model import Completion as Completion, Model as Model, Stream as Stream

__version__ = _version("quillfen")
if not TYPE_CHECKING:  # type checkers read only a literal list; they take the names imported above
    __all__ = ["Model", "Completion", "Stream", *_core.__all__]
