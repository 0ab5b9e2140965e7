"""Peak memory of streaming a checkpoint tensor by tensor (FormatLoader.iter_layers).

Runs build/skbuild/bench_iter_layers on the SmolLM2 GGUF and on a safetensors file written here with
numpy, and prints peak RSS against the file size and the largest single tensor. A streaming reader
should stay near (process baseline + about one tensor), far below the file size.
"""

from __future__ import annotations

import json
import pathlib
import struct
import subprocess
import sys
import tempfile

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
BENCH = ROOT / "build" / "skbuild" / "bench_iter_layers"
sys.path.insert(0, str(ROOT / "bench"))

from smollm2 import smollm2_path  # noqa: E402

MIB = 1 << 20


def write_safetensors(path: pathlib.Path, n_layers: int = 24, rows: int = 2048, cols: int = 2048) -> int:
    """n_layers float32 matrices of rows x cols plus a small norm per layer, written one at a time."""
    entries, offset = {}, 0
    shapes = []
    for i in range(n_layers):
        for name, shape in ((f"model.layers.{i}.mlp.down_proj.weight", (rows, cols)),
                            (f"model.layers.{i}.input_layernorm.weight", (cols,))):
            nbytes = int(np.prod(shape)) * 4
            entries[name] = {"dtype": "F32", "shape": list(shape), "data_offsets": [offset, offset + nbytes]}
            shapes.append(shape)
            offset += nbytes
    header = json.dumps(entries).encode()
    header += b" " * (-len(header) % 8)
    rng = np.random.default_rng(0)
    with open(path, "wb") as f:
        f.write(struct.pack("<Q", len(header)))
        f.write(header)
        for shape in shapes:  # in offset order, one tensor in memory at a time
            rng.standard_normal(shape, dtype=np.float32).tofile(f)
    return rows * cols * 4


def run(path: pathlib.Path) -> dict[str, str]:
    out = subprocess.run([str(BENCH), str(path)], check=True, capture_output=True, text=True).stdout
    return dict(line.split(" ", 1) for line in out.splitlines())


def largest_gguf_tensor_on_disk(path: pathlib.Path) -> int:
    """Bytes of the largest tensor as stored, read by the gguf package (an independent reader)."""
    import gguf

    return max(int(t.n_bytes) for t in gguf.GGUFReader(str(path)).tensors)


def report(label: str, r: dict[str, str], largest_on_disk: int) -> None:
    file_b = int(r["file_bytes"])
    peak = int(r["peak_rss_bytes"])
    base = int(r["rss_before_bytes"])
    largest = largest_on_disk
    growth = peak - base
    print(f"{label}: {r['format']}, {r['tensors']} tensors ({r['error_items']} error items) in {r['seconds']} s")
    print(f"  file size          {file_b / MIB:9.1f} MiB")
    print(f"  largest tensor     {largest / MIB:9.1f} MiB on disk, {int(r['largest_item_bytes']) / MIB:.1f} MiB as an item")
    print(f"  RSS before         {base / MIB:9.1f} MiB")
    print(f"  peak RSS           {peak / MIB:9.1f} MiB   (VmHWM; getrusage says {int(r['getrusage_maxrss_bytes']) / MIB:.1f} "
          "MiB, which on Linux keeps the forking parent's peak across exec)")
    print(f"  peak / file size   {peak / file_b:9.3f}")
    print(f"  growth / largest   {growth / largest:9.2f}   (RSS growth while iterating, over the largest tensor on disk)")


def main() -> None:
    if not BENCH.exists():
        sys.exit(f"{BENCH} is missing: build with `make build` first")
    model = smollm2_path()
    report("SmolLM2-135M-Instruct Q4_1", run(model), largest_gguf_tensor_on_disk(model))
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "model.safetensors"
        largest = write_safetensors(path)
        report("numpy safetensors", run(path), largest)


if __name__ == "__main__":
    main()
