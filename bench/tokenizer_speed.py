"""Encoding speed of quillfen._runtime.Tokenizer on SmolLM2-135M-Instruct's vocabulary (byte-level BPE).

The text is 1 MB of English prose: the docstrings of the standard library's modules, classes and
functions, joined in a fixed order (the same text for a given Python version). Prints the load time
and, per run, seconds and MB/s; the target is 1 MB in under 0.5 s on one core.

    python bench/tokenizer_speed.py [--runs 3] [--mb 1.0]
"""

from __future__ import annotations

import argparse
import importlib
import inspect
import os
import pkgutil
import sys
import time
import warnings
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from smollm2 import smollm2_path  # noqa: E402


def english_text(size: int) -> str:
    parts, total = [], 0
    names = sorted(m.name for m in pkgutil.iter_modules() if not m.name.startswith(("_", "test", "idle", "tkinter")))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name in names:
            try:
                module = importlib.import_module(name)
            except Exception:  # noqa: BLE001 - a module that does not import here is skipped
                continue
            for _, obj in [(name, module), *sorted(vars(module).items())]:
                doc = inspect.getdoc(obj) if callable(obj) or inspect.ismodule(obj) else None
                if doc and len(doc) > 200:
                    parts.append(doc)
                    total += len(doc.encode()) + 2
                if total >= size:
                    return "\n\n".join(parts).encode()[:size].decode("utf-8", "ignore")
    text = "\n\n".join(parts)
    return (text * (size // max(len(text), 1) + 1))[:size]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--mb", type=float, default=1.0)
    args = ap.parse_args()

    os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:1])
    from quillfen._runtime import Tokenizer

    text = english_text(int(args.mb * 1_000_000))
    size_mb = len(text.encode()) / 1e6
    t0 = time.perf_counter()
    tok = Tokenizer(str(smollm2_path()))
    print(f"load {time.perf_counter() - t0:.3f} s, vocabulary {tok.vocab_size} ({tok.kind}, pre {tok.pre})")
    for _ in range(args.runs):
        t1 = time.perf_counter()
        ids = tok.encode(text, add_special=False, parse_special=True)
        sec = time.perf_counter() - t1
        print(f"encode {size_mb:.2f} MB: {sec:.3f} s, {size_mb / sec:.2f} MB/s, {len(ids)} tokens")


if __name__ == "__main__":
    main()
