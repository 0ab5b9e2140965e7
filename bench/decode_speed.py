"""Greedy decoding speed of LlamaSession on SmolLM2-135M-Instruct (Q4_1), at 1 and 2 threads.

The machine may be shared: CPU time per token (all threads together) is printed beside the wall-clock
rate, as it is far less disturbed by other processes. Each measurement runs in a fresh process whose CPU affinity is limited before quillfen is imported
(the worker pool sizes itself from the affinity mask). Prints load time, tokens per second (median of
several runs), peak RSS and the greedy tokens, so two builds can be compared side by side:

    python bench/decode_speed.py [--steps 128] [--runs 3] [--threads 1 2]

To measure another build, put its package first on PYTHONPATH (the children inherit the environment).
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from smollm2 import smollm2_path  # noqa: E402

PROMPT = [1, 9690, 2683, 314, 253, 2]  # any fixed ids: the comparison is between builds, not of text

CHILD = r"""
import json, os, resource, sys, time
threads, model, steps, prompt = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), json.loads(sys.argv[4])
os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:threads])
import quillfen
t0 = time.perf_counter()
s = quillfen.LlamaSession(model)
load_s = time.perf_counter() - t0
tok = None
for t in prompt:
    tok = s.generate_next_token(t, 0.0, 0, 1.0)
tokens = []
cpu0 = time.process_time()
t1 = time.perf_counter()
for _ in range(steps):
    tokens.append(tok)
    tok = s.generate_next_token(tok, 0.0, 0, 1.0)
gen_s = time.perf_counter() - t1
cpu_ms = (time.process_time() - cpu0) * 1000 / steps
rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(json.dumps({"load_s": load_s, "tok_s": steps / gen_s, "rss_mib": rss, "cpu_ms": cpu_ms, "tokens": tokens}))
"""


def run(threads: int, model: Path, steps: int) -> dict:
    out = subprocess.run([sys.executable, "-c", CHILD, str(threads), str(model), str(steps), json.dumps(PROMPT)],
                         check=True, capture_output=True, text=True, cwd=tempfile.gettempdir()).stdout
    return json.loads(out)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--steps", type=int, default=128)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    args = ap.parse_args()
    model = smollm2_path()
    for threads in args.threads:
        results = [run(threads, model, args.steps) for _ in range(args.runs)]
        tok_s = statistics.median(r["tok_s"] for r in results)
        load_s = statistics.median(r["load_s"] for r in results)
        rss = max(r["rss_mib"] for r in results)
        cpu_ms = statistics.median(r["cpu_ms"] for r in results)
        same = all(r["tokens"] == results[0]["tokens"] for r in results)
        print(f"threads={threads}: {tok_s:.1f} tok/s (median of {args.runs}), CPU {cpu_ms:.1f} ms/token, "
              f"load {load_s:.2f} s, peak RSS {rss:.0f} MiB, runs agree: {same}")
    print("first 64 greedy tokens:", results[0]["tokens"][:64])


if __name__ == "__main__":
    main()
