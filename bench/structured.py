"""The cost of structured output on SmolLM2-135M-Instruct (Q4_1): tokens/s of `Model.chat` held to a
JSON Schema against the same call unconstrained, at 1 and 2 threads, runs alternated so that load
from other processes falls on both alike; and the matcher's mask time per token (computed on a worker
while the forward pass runs), with how much of it the step still waited for.

    python bench/structured.py [--tokens 96] [--rounds 5]
"""

from __future__ import annotations

import argparse
import statistics
import time

import quillfen.model
from quillfen import Model
from smollm2 import smollm2_path

# How long the native step waited for each mask once its forward pass had run (what the overlap left).
_waited = [0.0]
_result = quillfen.model._Masks.result


def _timed_result(self: quillfen.model._Masks) -> memoryview:
    started = time.perf_counter()
    try:
        return _result(self)
    finally:
        _waited[0] += time.perf_counter() - started


quillfen.model._Masks.result = _timed_result  # type: ignore[method-assign]

MESSAGES = [{"role": "user", "content": "Describe three people you know as JSON records."}]
# Long enough a document that no run ends early: at least six records.
SCHEMA = {"type": "array", "minItems": 6, "maxItems": 12, "items": {
    "type": "object", "additionalProperties": False, "required": ["name", "age", "city", "job"],
    "properties": {"name": {"type": "string", "maxLength": 40}, "age": {"type": "integer", "minimum": 0},
                   "city": {"type": "string", "maxLength": 40},
                   "job": {"enum": ["teacher", "doctor", "engineer", "artist", "farmer"]}}}}
FORMAT = {"type": "json_schema", "json_schema": {"name": "people", "schema": SCHEMA}}


def run(model: Model, tokens: int, constrained: bool, seed: int) -> tuple[float, int, float, float]:
    _waited[0] = 0.0
    out = model.chat(MESSAGES, max_tokens=tokens, seed=seed, temperature=0.7,
                     response_format=FORMAT if constrained else None)
    return out.tokens_per_second, len(out.tokens), out.mask_seconds, _waited[0]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--tokens", type=int, default=96)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    path = smollm2_path()
    print("structured output on SmolLM2-135M-Instruct Q4_1: tokens/s, constrained vs unconstrained")
    for threads in (1, 2):
        model = Model(path, threads=threads, progress=False)
        run(model, 8, True, 0)  # builds the grammar's vocabulary once; warms the caches
        ratios, free_rates, held_rates, mask_ms, wait_ms = [], [], [], [], []
        for r in range(args.rounds):
            free, _, _, _ = run(model, args.tokens, False, r)
            held, n, mask, waited = run(model, args.tokens, True, r)
            free_rates.append(free)
            held_rates.append(held)
            ratios.append(held / free)
            mask_ms.append(1e3 * mask / max(n, 1))
            wait_ms.append(1e3 * waited / max(n, 1))
        print(f"threads={threads}: unconstrained {statistics.median(free_rates):6.1f} tok/s, "
              f"constrained {statistics.median(held_rates):6.1f} tok/s, ratio median "
              f"{statistics.median(ratios):.3f} (min {min(ratios):.3f}, max {max(ratios):.3f}); "
              f"mask {statistics.median(mask_ms):.3f} ms/token, of which the step waited "
              f"{statistics.median(wait_ms):.3f} ms")


if __name__ == "__main__":
    main()
