"""quillfen: checkpoint recognition, LLaMA GGUF inference on the CPU, and memory budgets.

The text API (`Model`, `Completion`, `Stream`) sits beside the native classes of `_core`."""

import sys as _sys
from importlib.metadata import version as _version
from typing import TYPE_CHECKING

try:
    from quillfen import _core
except ImportError as _refusal:
    # `python -m quillfen` imports the package before the command runs (sys.argv[0] is "-m" while the
    # module is looked up): end it as the `quillfen` command ends, in one line. An import from code
    # keeps the ImportError.
    if _sys.argv[:1] == ["-m"]:
        print(f"quillfen: {_refusal}", file=_sys.stderr)
        raise SystemExit(1) from None
    raise
from quillfen._core import *  # noqa: F401,F403
from quillfen.model import Completion as Completion, Model as Model, Stream as Stream

__version__ = _version("quillfen")
if not TYPE_CHECKING:  # type checkers read only a literal list; they take the names imported above
    __all__ = ["Model", "Completion", "Stream", *_core.__all__]
