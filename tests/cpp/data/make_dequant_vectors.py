"""Writes the dequantisation vectors that tests/cpp/test_dequant.cpp checks bit for bit.

The expected floats come from the `gguf` package (gguf.quants, version 0.19.0), an implementation
independent of ours. Run with the project's .venv python from anywhere:

    .venv/bin/python tests/cpp/data/make_dequant_vectors.py

One file per type, dequant_<type>.bin, all little-endian:
    b"QFDV", u32 type code, u32 block count, u32 elements per block, u32 bytes per block,
    the blocks (count x bytes per block), then count x elements per block float32 values.
"""

from pathlib import Path
import struct

import numpy as np
from gguf import GGMLQuantizationType as T
from gguf import quants

OUT_DIR = Path(__file__).resolve().parent
rng = np.random.default_rng(20261206)

# (type, elements per block, bytes per block); the sizes are the published layouts.
QUANTISABLE = [(T.Q4_0, 32, 18), (T.Q4_1, 32, 20), (T.Q5_0, 32, 22), (T.Q5_1, 32, 24), (T.Q8_0, 32, 34)]
K_TYPES = [(T.Q2_K, 256, 84), (T.Q3_K, 256, 110), (T.Q4_K, 256, 144), (T.Q5_K, 256, 176), (T.Q6_K, 256, 210)]

# Byte offsets of the half-precision scale fields inside one block, per type.
SCALE_OFFSETS = {
    T.Q4_0: [0], T.Q4_1: [0, 2], T.Q5_0: [0], T.Q5_1: [0, 2], T.Q8_0: [0],
    T.Q2_K: [80, 82], T.Q3_K: [108], T.Q4_K: [0, 2], T.Q5_K: [0, 2], T.Q6_K: [208],
}


def sane_halves(count: int) -> np.ndarray:
    """Random finite f16 scales of either sign over several binades (subnormals included)."""
    magnitude = 2.0 ** rng.uniform(-16, 2, count)
    sign = rng.choice([-1.0, 1.0], count)
    return (magnitude * sign).astype(np.float16)


def random_blocks(qtype, block_bytes: int, count: int) -> np.ndarray:
    blocks = rng.integers(0, 256, (count, block_bytes), dtype=np.uint8)
    for offset in SCALE_OFFSETS[qtype]:
        blocks[:, offset:offset + 2] = sane_halves(count).view(np.uint8).reshape(count, 2)
    return blocks


def write(name: str, code: int, elems: int, bytes_per_block: int, blocks: np.ndarray, values: np.ndarray) -> None:
    values = np.ascontiguousarray(values, dtype="<f4").ravel()
    assert blocks.shape[1] == bytes_per_block and values.size == blocks.shape[0] * elems
    header = b"QFDV" + struct.pack("<4I", code, blocks.shape[0], elems, bytes_per_block)
    (OUT_DIR / f"dequant_{name}.bin").write_bytes(header + blocks.tobytes() + values.tobytes())


def main() -> None:
    # F32 and F16: one element per "block".
    f32 = rng.standard_normal(256).astype(np.float32)
    write("F32", int(T.F32), 1, 4, f32.view(np.uint8).reshape(-1, 4), quants.dequantize(f32.view(np.uint8), T.F32))
    halves = np.concatenate([sane_halves(200), rng.integers(0, 0x7C00, 56, dtype=np.uint16).view(np.float16)])
    write("F16", int(T.F16), 1, 2, halves.view(np.uint8).reshape(-1, 2),
          quants.dequantize(halves.view(np.uint8), T.F16))

    # 32-element types: blocks quantised from random weights, then blocks of random bytes.
    for qtype, elems, nbytes in QUANTISABLE:
        weights = (rng.standard_normal((8, elems)) * rng.uniform(0.01, 2.0, (8, 1))).astype(np.float32)
        quantised = quants.quantize(weights, qtype).reshape(8, nbytes)
        blocks = np.concatenate([quantised, random_blocks(qtype, nbytes, 8)])
        write(qtype.name, int(qtype), elems, nbytes, blocks, quants.dequantize(blocks, qtype))

    # 256-element types: random bytes with sane scales (gguf does not quantise these).
    for qtype, elems, nbytes in K_TYPES:
        blocks = random_blocks(qtype, nbytes, 5)
        write(qtype.name, int(qtype), elems, nbytes, blocks, quants.dequantize(blocks, qtype))


if __name__ == "__main__":
    main()
