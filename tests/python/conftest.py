"""The tests import their helpers (reference models, file generators) from this folder."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))
