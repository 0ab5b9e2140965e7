"""CPU backend matmul throughput against numpy, for a 4096 x 4096 float32 weight at batch 1 and 8.

Runs build/skbuild/bench_matmul (built by `make build`) and, in the same command, times numpy's
`x @ w` on the same shapes, then prints both medians, GFLOP/s and the ratio quillfen / numpy. The two
alternate for ROUNDS rounds, and each figure is the median over its rounds' medians, so a burst of
load on a shared machine lands on both sides alike.
"""

from __future__ import annotations

import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
BENCH_EXE = ROOT / "build" / "skbuild" / "bench_matmul"
M = K = 4096
BATCHES = (1, 8)
RUNS = 15
ROUNDS = 5


def numpy_median_ms(batch: int) -> float:
    rng = np.random.default_rng(1)
    # Same layout as the backend's weight: element (l, j) at l*m + j, i.e. a (k, m) row-major array.
    w = rng.uniform(-1, 1, size=(K, M)).astype(np.float32)
    x = rng.uniform(-1, 1, size=(batch, K)).astype(np.float32)
    times = []
    for r in range(RUNS + 2):
        t0 = time.perf_counter()
        out = x @ w
        t1 = time.perf_counter()
        if r >= 2:
            times.append((t1 - t0) * 1e3)
    assert out.shape == (batch, M)
    return statistics.median(times)


def quillfen_results() -> dict[int, float]:
    if not BENCH_EXE.exists():
        sys.exit(f"{BENCH_EXE} is missing: run `make build` first")
    cmd = [str(BENCH_EXE), str(M), str(K), str(RUNS), *map(str, BATCHES)]
    text = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    results = {}
    for line in text.splitlines():
        fields = dict(re.findall(r"(\w+)=([\d.]+)", line))
        results[int(fields["batch"])] = float(fields["median_ms"])
    return results


def gflops(batch: int, ms: float) -> float:
    return 2.0 * batch * M * K / (ms * 1e6)


def main() -> None:
    ours: dict[int, list[float]] = {b: [] for b in BATCHES}
    theirs: dict[int, list[float]] = {b: [] for b in BATCHES}
    for _ in range(ROUNDS):
        for batch, ms in quillfen_results().items():
            ours[batch].append(ms)
        for batch in BATCHES:
            theirs[batch].append(numpy_median_ms(batch))
    print(f"matmul: weight {M}x{K} float32, median of {ROUNDS} alternating rounds of {RUNS} runs")
    print(f"{'batch':>5} {'quillfen ms':>12} {'GFLOP/s':>8} {'numpy ms':>10} {'GFLOP/s':>8} {'quillfen/numpy':>15}")
    for batch in BATCHES:
        q, n = statistics.median(ours[batch]), statistics.median(theirs[batch])
        # Ratio of throughputs: above 1 means quillfen is faster.
        print(f"{batch:>5} {q:>12.3f} {gflops(batch, q):>8.2f} {n:>10.3f} {gflops(batch, n):>8.2f} {n / q:>15.2f}")


if __name__ == "__main__":
    main()
