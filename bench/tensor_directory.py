"""Model-load decoding: the tensor directory against the gguf package, on SmolLM2-135M-Instruct (Q4_1).

Runs build/skbuild/bench_tensor_directory (built by `make build`) and, in the same command, reads
and dequantises every tensor of the same file with the gguf package (GGUFReader + gguf.quants), then
prints both times and the ratio. With --check it also compares every decoded tensor bit for bit
(CRC-32 of the float32 bytes) with the gguf package's.

    .venv/bin/python bench/tensor_directory.py [--check] [--runs N] [PATH]
"""

from __future__ import annotations

import argparse
import re
import statistics
import subprocess
import sys
import time
import zlib
from pathlib import Path

import numpy as np
from gguf import GGUFReader, GGMLQuantizationType, quants

ROOT = Path(__file__).resolve().parent.parent
BENCH_EXE = ROOT / "build" / "skbuild" / "bench_tensor_directory"
sys.path.insert(0, str(Path(__file__).resolve().parent))


def gguf_decode_all(path: Path) -> dict[str, np.ndarray]:
    reader = GGUFReader(path)
    out = {}
    for t in reader.tensors:
        values = quants.dequantize(np.asarray(t.data), GGMLQuantizationType(t.tensor_type))
        out[t.name] = np.ascontiguousarray(values, dtype=np.float32).ravel()
    return out


def run_exe(*args: str) -> str:
    if not BENCH_EXE.exists():
        sys.exit(f"{BENCH_EXE} is missing: run `make build` first")
    return subprocess.run([str(BENCH_EXE), *args], check=True, capture_output=True, text=True).stdout


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("path", nargs="?")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    if args.path:
        path = Path(args.path)
    else:
        from smollm2 import smollm2_path
        path = smollm2_path()

    ours = [float(s) for s in re.findall(r"seconds=([\d.]+)", run_exe("time", str(path), str(args.runs)))]
    theirs = []
    for _ in range(max(1, args.runs // 2)):
        t0 = time.perf_counter()
        decoded = gguf_decode_all(path)
        theirs.append(time.perf_counter() - t0)
        n_weights = sum(v.size for v in decoded.values())
        del decoded

    ours_s, theirs_s = statistics.median(ours), statistics.median(theirs)
    print(f"tensor directory: {path.name}, {n_weights / 1e6:.1f}M weights")
    print(f"  quillfen open (read + decode): median {ours_s * 1e3:8.1f} ms over {len(ours)} runs, "
          f"{n_weights / ours_s / 1e6:7.1f} M weights/s")
    print(f"  gguf package (numpy):          median {theirs_s * 1e3:8.1f} ms over {len(theirs)} runs")
    print(f"  ratio quillfen / gguf: {ours_s / theirs_s:.3f}")

    if args.check:
        lines = run_exe("crc", str(path))
        ours_crc = {m[0]: (int(m[1]), int(m[2]))
                    for m in re.findall(r"crc name=(\S+) elements=(\d+) crc32=(\d+)", lines)}
        expected = gguf_decode_all(path)
        bad = [name for name, v in expected.items()
               if ours_crc.get(name) != (v.size, zlib.crc32(v.tobytes()))]
        print(f"  bit-for-bit check: {len(expected) - len(bad)}/{len(expected)} tensors identical"
              + (f"; differing: {', '.join(sorted(bad)[:10])}" if bad else ""))
        if bad or len(ours_crc) != len(expected):
            sys.exit(1)


if __name__ == "__main__":
    main()
