"""quillfen: checkpoint recognition, LLaMA GGUF inference on the CPU, and memory budgets.

The text API (`Model`, `Completion`, `Stream`) sits beside the native classes of `_core`."""

from quillfen import _core
from quillfen._core import *  # noqa: F401,F403
from quillfen.model import Completion, Model, Stream

__version__ = _core.__version__
__all__ = ["Model", "Completion", "Stream", "__version__", "TieredMemoryManager", "Scheduler", "FormatDetector",
           "ModelMetadata", "InferenceEngine", "HardwareProfile", "LlamaSession"]
