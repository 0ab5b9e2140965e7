"""quillfen: checkpoint recognition, LLaMA GGUF inference on the CPU, and memory budgets."""

from quillfen import _core
from quillfen._core import *  # noqa: F401,F403

__version__ = _core.__version__
__all__ = list(_core.__all__)
