"""The text API's cost and parallelism on SmolLM2-135M-Instruct (Q4_1), greedy:

1. tokens/s of `Model.generate` and of the `quillfen run` command against the raw
   `LlamaSession.generate_next_token` loop over the same ids;
2. two models generating in two threads against the same work done one after the other, each model
   with one worker of its own, and both on the process-wide pool.

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
    model.reset()  # nothing of PROMPT cached
    r = model.generate(PROMPT, max_tokens=count, temperature=0.0, stop=[])
    return r.tokens_per_second, len(r.tokens)


def command(path: str, count: int) -> float:
    res = subprocess.run([sys.executable, "-m", "quillfen", "run", path, "-p", PROMPT, "-n", str(count),
                          "--temperature", "0"], capture_output=True, text=True, check=True, cwd="/")
    return float(re.search(r"([\d.]+) tokens/s;", res.stderr).group(1))


def two_models(path: str, count: int, threads: int | None) -> tuple[float, float, int]:
    """Seconds for two models' greedy generations one after the other, then in two threads (the
    same prompt, so the two share the work evenly), and the tokens each generated."""
    models = [Model(path, threads=threads, progress=False), Model(path, threads=threads, progress=False)]
    made = []

    def work(m: Model) -> None:
        m.reset()
        made.append(len(m.generate(PROMPT, max_tokens=count, temperature=0.0, stop=[]).tokens))

    for m in models:  # warm-up
        work(m)
    started = time.perf_counter()
    for m in models:
        work(m)
    sequential = time.perf_counter() - started
    threads_ = [threading.Thread(target=work, args=(m,)) for m in models]
    started = time.perf_counter()
    for t in threads_:
        t.start()
    for t in threads_:
        t.join()
    return sequential, time.perf_counter() - started, min(made)


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
    for threads, label in ((1, "one worker each"), (None, "the process-wide pool")):
        seq, par, made = two_models(path, args.tokens, threads)
        print(f"two models ({label}), {made} tokens each: one after the other {seq:.2f} s, "
              f"in two threads {par:.2f} s ({seq / par:.2f}x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
