"""A plain NumPy float32 LLaMA forward pass over a GGUF file, one token at a time, for diagnosis.

It follows the runtime's own formulation (weights dequantised by the gguf package, query/key
rotation on adjacent pairs because the GGUF converter permutes those rows for llama, the file's
rotary base and RMS epsilon, SiLU-gated feed-forward, tied output when "output.weight" is absent),
so it sits between LlamaSession and the transformers reference: when LlamaSession disagrees with
transformers, this shows whether the formulation or the implementation is at fault, and
`--layers N` writes the model cut to its first N blocks as an F32 GGUF file that LlamaSession can
run too, to find the first block where the two part.

    python bench/llama_numpy.py                    # greedy tokens of the fixed prompt
    python bench/llama_numpy.py --compare-hidden F.npz   # against reference_tokens.py --hidden F.npz
    python bench/llama_numpy.py --layers 3 --write cut.gguf
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

from smollm2 import smollm2_path
from smollm2_prompt import PROMPT_IDS, REFERENCE_TOKENS


def _field(reader, key, default=None):
    f = reader.fields.get(key)
    if f is None:
        return default
    return f.contents()


class NumpyLlama:
    def __init__(self, path: str | Path, max_layers: int | None = None, rope_base: float | None = None):
        import gguf
        from gguf import GGUFReader

        reader = GGUFReader(str(path))
        self.reader = reader
        arch = _field(reader, "general.architecture", "llama")
        self.arch = arch
        self.w: dict[str, np.ndarray] = {}
        for t in reader.tensors:
            a = gguf.quants.dequantize(t.data, t.tensor_type).astype(np.float32)
            # GGUF dims are innermost first; numpy wants rows x cols.
            shape = tuple(int(d) for d in reversed(t.shape))
            self.w[t.name] = a.reshape(shape)
        self.n_layers = 1 + max(int(n.split(".")[1]) for n in self.w if n.startswith("blk."))
        if max_layers is not None:
            self.n_layers = min(self.n_layers, max_layers)
        self.H = self.w["token_embd.weight"].shape[1]
        self.n_heads = int(_field(reader, f"{arch}.attention.head_count"))
        self.n_kv = int(_field(reader, f"{arch}.attention.head_count_kv", self.n_heads))
        self.D = self.H // self.n_heads
        self.base = np.float32(_field(reader, f"{arch}.rope.freq_base", 10000.0))
        if rope_base is not None:
            self.base = np.float32(rope_base)
        self.eps = np.float32(_field(reader, f"{arch}.attention.layer_norm_rms_epsilon", 1e-5))
        self.out = self.w.get("output.weight", self.w["token_embd.weight"])
        i = np.arange(0, self.D, 2, dtype=np.float32)
        self.freq = (np.float32(1.0) / np.power(self.base, i / np.float32(self.D))).astype(np.float32)
        self.reset()

    def reset(self):
        self.keys = [[] for _ in range(self.n_layers)]
        self.values = [[] for _ in range(self.n_layers)]
        self.pos = 0

    def rms(self, x, w):
        ss = np.float32(np.dot(x, x))
        inv = np.float32(1.0) / np.sqrt(ss / np.float32(x.shape[0]) + self.eps)
        return (x * inv) * w

    def rope(self, v, heads):
        v = v.reshape(heads, self.D).copy()
        ang = self.freq * np.float32(self.pos)
        c, s = np.cos(ang).astype(np.float32), np.sin(ang).astype(np.float32)
        a, b = v[:, 0::2].copy(), v[:, 1::2].copy()
        v[:, 0::2] = a * c - b * s
        v[:, 1::2] = b * c + a * s
        return v.reshape(-1)

    def forward(self, token: int, keep_hidden: bool = False):
        H, D = self.H, self.D
        x = self.w["token_embd.weight"][token].astype(np.float32).copy()
        hidden = [x.copy()]
        group = self.n_heads // self.n_kv
        scale = np.float32(1.0) / np.sqrt(np.float32(D))
        for l in range(self.n_layers):
            p = f"blk.{l}."
            xb = self.rms(x, self.w[p + "attn_norm.weight"])
            q = self.w[p + "attn_q.weight"] @ xb
            k = self.w[p + "attn_k.weight"] @ xb
            v = self.w[p + "attn_v.weight"] @ xb
            q = self.rope(q, self.n_heads)
            k = self.rope(k, self.n_kv)
            self.keys[l].append(k)
            self.values[l].append(v)
            K = np.stack(self.keys[l])  # T x (n_kv*D)
            V = np.stack(self.values[l])
            att = np.zeros(self.n_heads * D, dtype=np.float32)
            for h in range(self.n_heads):
                g = h // group
                sc = (K[:, g * D:(g + 1) * D] @ q[h * D:(h + 1) * D]) * scale
                e = np.exp(sc - sc.max()).astype(np.float32)
                e /= e.sum(dtype=np.float32)
                att[h * D:(h + 1) * D] = e @ V[:, g * D:(g + 1) * D]
            x = x + self.w[p + "attn_output.weight"] @ att
            xb = self.rms(x, self.w[p + "ffn_norm.weight"])
            gate = self.w[p + "ffn_gate.weight"] @ xb
            up = self.w[p + "ffn_up.weight"] @ xb
            mid = up * (gate / (np.exp(-gate) + np.float32(1.0)))
            x = x + self.w[p + "ffn_down.weight"] @ mid
            hidden.append(x.copy())
        xn = self.rms(x, self.w["output_norm.weight"])
        logits = self.out @ xn
        self.pos += 1
        return (logits, hidden, xn) if keep_hidden else logits

    def greedy(self, prompt: list[int], count: int) -> tuple[list[int], list[float]]:
        for t in prompt[:-1]:
            self.forward(t)
        out, margins = [], []
        logits = self.forward(prompt[-1])
        while True:
            top2 = np.argsort(logits)[-2:]
            out.append(int(top2[1]))
            margins.append(float(logits[top2[1]] - logits[top2[0]]))
            if len(out) == count:
                return out, margins
            logits = self.forward(out[-1])

    def write_cut(self, path: str | Path) -> None:
        """The first n_layers blocks (and everything outside the blocks) as an F32 GGUF file that
        keeps the architecture keys, so a runtime reading it sees the same model minus the rest."""
        import gguf

        w = gguf.GGUFWriter(str(path), self.arch)
        w.add_block_count(self.n_layers)
        w.add_embedding_length(self.H)
        w.add_head_count(self.n_heads)
        w.add_head_count_kv(self.n_kv)
        w.add_rope_freq_base(float(self.base))
        w.add_layer_norm_rms_eps(float(self.eps))
        for name, a in self.w.items():
            if name.startswith("blk.") and int(name.split(".")[1]) >= self.n_layers:
                continue
            w.add_tensor(name, np.ascontiguousarray(a, dtype=np.float32))
        w.write_header_to_file()
        w.write_kv_data_to_file()
        w.write_tensors_to_file()
        w.close()


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--model", default=None, help="GGUF file (default: SmolLM2 from bench/.cache)")
    ap.add_argument("--count", type=int, default=32)
    ap.add_argument("--layers", type=int, default=None, help="use only the first N blocks")
    ap.add_argument("--rope-base", type=float, default=None, help="override the file's rotary base")
    ap.add_argument("--write", metavar="OUT.gguf", help="write the (cut) model as F32 GGUF and stop")
    ap.add_argument("--compare-hidden", metavar="REF.npz",
                    help="compare hidden states of the first prompt steps with reference_tokens.py --hidden")
    args = ap.parse_args()
    started = time.perf_counter()
    m = NumpyLlama(args.model or smollm2_path(), args.layers, args.rope_base)
    print(f"loaded in {time.perf_counter() - started:.1f} s: H {m.H}, layers {m.n_layers}, heads {m.n_heads}/"
          f"{m.n_kv}, D {m.D}, rope base {m.base}, eps {m.eps}", file=sys.stderr)
    if args.write:
        m.write_cut(args.write)
        print(f"wrote {args.write}")
        return 0
    if args.compare_hidden:
        ref = np.load(args.compare_hidden)
        steps = sorted({int(k.split("_")[0][4:]) for k in ref.files})
        for step in steps:
            logits, hidden, xn = m.forward(PROMPT_IDS[step], keep_hidden=True)
            for i, h in enumerate(hidden):
                key = f"step{step}_h{i}"
                if key not in ref.files:
                    continue
                r = ref[key]
                # transformers' last hidden state has the final norm applied
                ours = xn if i == len(hidden) - 1 and f"step{step}_h{i + 1}" not in ref.files else h
                err = float(np.max(np.abs(ours - r)) / (np.max(np.abs(r)) + 1e-30))
                print(f"step {step} hidden {i:2d}: max rel diff {err:.2e}")
            r = ref[f"step{step}_logits"]
            print(f"step {step} logits: max abs diff {float(np.max(np.abs(logits - r))):.2e}, "
                  f"argmax ours {int(np.argmax(logits))} ref {int(np.argmax(r))}")
        return 0
    out, margins = m.greedy(PROMPT_IDS, args.count)
    print(f"tokens: {out}")
    n = min(len(out), len(REFERENCE_TOKENS))
    same = next((i for i in range(n) if out[i] != REFERENCE_TOKENS[i]), None)
    if args.layers is None and args.model is None and args.rope_base is None:
        print("equal to the recorded reference" if same is None else f"differs from the reference at {same}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
