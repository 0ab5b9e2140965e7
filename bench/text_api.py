"""The text API's cost and parallelism on SmolLM2-135M-Instruct (Q4_1), greedy:

1. tokens/s of `Model.generate` and of the `quillfen run` command against the raw
   `LlamaSession.generate_next_token` loop over the same ids;
2. two models generating in two threads against the same work done one after the other.

    python bench/text_api.py [--tokens 128]
"""

from __future__ import annotations

import argparse
import re
import statistics
import subprocess
import sys
import threading
import time

from quillfen import LlamaSession, Model
from smollm2 import smollm2_path

PROMPT = "The history of the printing press"


def raw_loop(path: str, ids: list[int], count: int) -> float:
    session = LlamaSession(path)
    for t in ids[:-1]:
        session.generate_next_token(t, 0.0, 0, 1.0)
    token = ids[-1]
    started = time.perf_counter()
    for _ in range(count):
        token = session.generate_next_token(token, 0.0, 0, 1.0)
    return count / (time.perf_counter() - started)


def api(model: Model, count: int) -> tuple[float, int]:
    model.generate("x", max_tokens=1, temperature=0.0)  # a different prompt: nothing of PROMPT cached
    r = model.generate(PROMPT, max_tokens=count, temperature=0.0, stop=[])
    return r.tokens_per_second, len(r.tokens)


def command(path: str, count: int) -> float:
    res = subprocess.run([sys.executable, "-m", "quillfen", "run", path, "-p", PROMPT, "-n", str(count),
                          "--temperature", "0"], capture_output=True, text=True, check=True, cwd="/")
    return float(re.search(r"([\d.]+) tokens/s;", res.stderr).group(1))


def two_models(path: str, count: int) -> tuple[float, float]:
    models = [Model(path, progress=False), Model(path, progress=False)]
    prompts = [PROMPT, "A short guide to growing tomatoes"]

    def work(i: int) -> None:
        models[i].generate(prompts[i], max_tokens=count, temperature=0.0, stop=[])

    for i in range(2):  # warm both, then rewind them with an unrelated prompt
        work(i)
        models[i].generate("x", max_tokens=1, temperature=0.0)
    started = time.perf_counter()
    work(0)
    work(1)
    sequential = time.perf_counter() - started
    for m in models:
        m.generate("x", max_tokens=1, temperature=0.0)
    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    started = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sequential, time.perf_counter() - started


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tokens", type=int, default=128)
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    path = str(smollm2_path())
    model = Model(path, progress=False)
    ids = model.tokenize(PROMPT)
    raw = statistics.median(raw_loop(path, ids, args.tokens) for _ in range(args.repeats))
    runs = [api(model, args.tokens) for _ in range(args.repeats)]
    generated = min(n for _, n in runs)
    ours = statistics.median(rate for rate, _ in runs)
    cli = statistics.median(command(path, args.tokens) for _ in range(args.repeats))
    print(f"greedy decode, {args.tokens} tokens asked, median of {args.repeats}:")
    print(f"  LlamaSession loop       {raw:7.1f} tokens/s")
    print(f"  Model.generate          {ours:7.1f} tokens/s  ({ours / raw:.3f}x the loop, {generated} tokens)")
    print(f"  quillfen run (command)  {cli:7.1f} tokens/s  ({cli / raw:.3f}x the loop)")
    seq, par = two_models(path, args.tokens)
    print(f"two models, {args.tokens} tokens each: one after the other {seq:.2f} s, in two threads {par:.2f} s "
          f"({seq / par:.2f}x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
