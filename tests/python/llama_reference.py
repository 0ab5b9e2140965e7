"""A small float32 NumPy model of the LLaMA runtime, used as the oracle of the end-to-end tests.

It follows the runtime's arithmetic order (every product and sum rounded to float32 on its own, sums in
ascending index order), so the token ids it produces should equal the runtime's. The transcendental
functions are evaluated in float64 and rounded once, i.e. correctly rounded float32 results.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

f32 = np.float32
MASK = (1 << 64) - 1
LCG_MULTIPLIER = 6364136223846793005
DRAW_INCREMENT = 1442695040888963407


class ReferenceFault(Exception):
    """Where the runtime raises PanicException."""


def seq_sum(values: np.ndarray) -> np.float32:
    values = np.asarray(values, dtype=f32)
    if values.size == 0:
        return f32(-0.0)
    return np.add.accumulate(values, dtype=f32)[-1]  # strictly left to right, each step rounded


def exp32(x):
    return np.asarray(np.exp(np.asarray(x, dtype=np.float64)), dtype=np.float64).astype(f32)


def matvec(weight: np.ndarray, x: np.ndarray, rows: int, cols: int) -> np.ndarray:
    if len(x) < cols or len(weight) < rows * cols:
        return np.zeros(rows, dtype=f32)
    if cols == 0:
        return np.full(rows, -0.0, dtype=f32)
    products = weight[: rows * cols].reshape(rows, cols) * x[:cols][None, :]
    return np.add.accumulate(products, axis=1, dtype=f32)[:, -1].copy()


def rms_norm(v: np.ndarray, weight: np.ndarray, eps: np.float32) -> np.ndarray:
    n = len(v)
    if len(weight) < n or n == 0:
        return v
    ss = seq_sum(v * v)
    inv = f32(1.0) / np.sqrt(ss / f32(n) + eps)
    return (v * inv) * weight[:n]


def apply_rope(v: np.ndarray, heads: int, d: int, position: int, base: np.float32) -> None:
    pos = f32(position)
    for h in range(heads):
        for i in range(0, d, 2):
            idx = h * d + i
            if idx + 1 >= len(v):
                break
            freq = f32(1.0) / f32(math.pow(float(base), float(f32(i) / f32(d))))
            angle = f32(freq * pos)
            s, c = f32(math.sin(float(angle))), f32(math.cos(float(angle)))
            a, b = v[idx], v[idx + 1]
            v[idx] = a * c - b * s
            v[idx + 1] = b * c + a * s


@dataclass
class Config:
    hidden: int
    n_heads: int
    n_kv_heads: int
    head_dim: int
    vocab: int
    rope_base: np.float32 = f32(10000.0)
    eps: np.float32 = f32(1e-5)


def count_layers(names) -> int:
    best = -1
    for name in names:
        if not name.startswith("blk."):
            continue
        text = name[4:].split(".", 1)[0]
        digits = text[1:] if text.startswith("+") else text
        if digits and digits.isascii() and digits.isdigit() and int(digits) < 2**64:
            best = max(best, int(digits))
    return best + 1


def derive_config(t: dict[str, np.ndarray], hints: dict) -> Config:
    if not t:
        c = Config(4096, 32, 32, 128, 32000)
    else:
        h = len(t["output_norm.weight"]) if "output_norm.weight" in t else (
            len(t["blk.0.attn_norm.weight"]) if "blk.0.attn_norm.weight" in t else 4096)
        n_heads = len(t["blk.0.attn_q.weight"]) // h if "blk.0.attn_q.weight" in t else 32
        if "blk.0.attn_k.weight" in t and n_heads > h:
            head_dim, n_kv = 0, n_heads
        elif "blk.0.attn_k.weight" in t:
            head_dim = h // max(n_heads, 1)
            n_kv = len(t["blk.0.attn_k.weight"]) // h // head_dim
        else:
            head_dim, n_kv = h // max(n_heads, 1), n_heads
        if h == 0 and "blk.0.attn_k.weight" not in t:
            vocab = 32000
        elif "token_embd.weight" in t:
            vocab = len(t["token_embd.weight"]) // h
        elif "output.weight" in t:
            vocab = len(t["output.weight"]) // h
        else:
            vocab = 32000
        c = Config(h, n_heads, n_kv, head_dim, vocab)
    if hints.get("head_count"):
        c.n_heads = hints["head_count"]
        c.head_dim = c.hidden // c.n_heads
        c.n_kv_heads = hints.get("head_count_kv", c.n_heads)
    if "rope_freq_base" in hints:
        c.rope_base = f32(hints["rope_freq_base"])
    if "rms_epsilon" in hints:
        c.eps = f32(hints["rms_epsilon"])
    return c


LAYER_FIELDS = ("attn_norm", "attn_q", "attn_k", "attn_v", "attn_output", "ffn_norm", "ffn_gate", "ffn_up", "ffn_down")


@dataclass
class ReferenceSession:
    """Built from the float32 values the runtime should decode from the file (flat arrays by name)."""

    tensors: dict[str, np.ndarray]
    hints: dict = field(default_factory=dict)

    def __post_init__(self):
        t = {k: np.asarray(v, dtype=f32).ravel() for k, v in self.tensors.items()}
        c = self.config = derive_config(t, self.hints)
        h, kv_len = c.hidden, c.head_dim * c.n_kv_heads * c.hidden
        self.embd = t.get("token_embd.weight", np.zeros(h * c.vocab, f32))
        self.output_norm = t.get("output_norm.weight", np.ones(h, f32))
        self.output = t.get("output.weight", self.embd)
        expected = {"attn_norm": h, "attn_q": h * h, "attn_k": kv_len, "attn_v": kv_len, "attn_output": h * h,
                    "ffn_norm": h}
        self.layers = []
        for i in range(count_layers(t)):
            layer = {}
            for f in LAYER_FIELDS:
                name = f"blk.{i}.{f}.weight"
                if name in t:
                    layer[f] = t[name]
                elif f in expected:
                    layer[f] = (np.ones if "norm" in f else np.zeros)(expected[f], f32)
                else:
                    layer[f] = np.zeros(0, f32)
            self.layers.append(layer)
        self.rng_state = 42
        self.reset()

    def reset(self):
        self.x = np.zeros(self.config.hidden, f32)
        self.keys = [[] for _ in self.layers]
        self.values = [[] for _ in self.layers]
        self.pos = 0

    def forward(self, token: int) -> np.ndarray:
        c = self.config
        h, d = c.hidden, c.head_dim
        if self.layers and ((c.n_heads > 0 and c.n_kv_heads > c.n_heads) or h == 0):
            raise ReferenceFault("attempt to divide by zero")
        kv_dim = c.n_kv_heads * d
        x = self.embd[token * h:(token + 1) * h].copy() if (token + 1) * h <= len(self.embd) else np.zeros(h, f32)
        for l, w in enumerate(self.layers):
            xb = rms_norm(x.copy(), w["attn_norm"], c.eps)
            q = matvec(w["attn_q"], xb, h, h)
            k = matvec(w["attn_k"], xb, kv_dim, h)
            v = matvec(w["attn_v"], xb, kv_dim, h)
            apply_rope(q, c.n_heads, d, self.pos, c.rope_base)
            apply_rope(k, c.n_kv_heads, d, self.pos, c.rope_base)
            self.keys[l].append(k)
            self.values[l].append(v)
            att = np.zeros(c.n_heads * d, f32)
            if c.n_heads > 0 and d > 0:
                group = c.n_heads // max(c.n_kv_heads, 1)
                scale = f32(1.0) / np.sqrt(f32(d))
                for hd in range(c.n_heads):
                    g = hd // group
                    qh = q[hd * d:(hd + 1) * d]
                    scores = np.array([
                        scale * seq_sum(qh * key[g * d:(g + 1) * d]) if len(key) >= (g + 1) * d else -np.inf
                        for key in self.keys[l]], dtype=f32)
                    finite = scores[~np.isnan(scores)]
                    m = finite.max() if finite.size else f32(-np.inf)
                    scores = exp32(scores - m)
                    total = seq_sum(scores)
                    if total > 0:
                        scores = scores / total
                    for t, val in enumerate(self.values[l]):
                        if len(val) < (g + 1) * d:
                            continue
                        att[hd * d:(hd + 1) * d] = att[hd * d:(hd + 1) * d] + scores[t] * val[g * d:(g + 1) * d]
            x = matvec(w["attn_output"], att, h, h) + x
            xb = rms_norm(x.copy(), w["ffn_norm"], c.eps)
            f = len(w["ffn_gate"]) // h
            gate = matvec(w["ffn_gate"], xb, f, h)
            up = matvec(w["ffn_up"], xb, f, h)
            mid = up * (gate / (exp32(-gate) + f32(1.0)))
            x = matvec(w["ffn_down"], mid, h, f) + x
        x = rms_norm(x, self.output_norm, c.eps)
        self.x = x
        logits = matvec(self.output, x, c.vocab, h)
        self.pos += 1
        self.rng_state = (self.rng_state * LCG_MULTIPLIER + 1) & MASK
        return logits

    def generate_next_token(self, token: int, temperature: float, top_k: int, top_p: float) -> int:
        logits = self.forward(token)
        return sample(logits, f32(temperature), top_k, f32(top_p), self.rng_state)


def _ranked(values: np.ndarray) -> list[tuple[int, np.float32]]:
    if len(values) >= 2 and np.isnan(values).any():
        raise ReferenceFault("NaN met by a sort")
    return sorted(enumerate(values), key=lambda p: -p[1])  # stable: equal values keep index order


def _arg_max(prob: np.ndarray) -> int:
    best = 0
    for i in range(1, len(prob)):
        if np.isnan(prob[best]) or np.isnan(prob[i]):
            raise ReferenceFault("NaN met by the arg-max")
        if prob[best] <= prob[i]:
            best = i
    return best


def _normalise(prob: np.ndarray) -> np.ndarray:
    total = seq_sum(prob)
    return prob / total if total > 0 else prob


def sample(logits: np.ndarray, temperature: np.float32, top_k: int, top_p: np.float32, seed: int) -> int:
    logits = np.asarray(logits, dtype=f32).copy()
    n = len(logits)
    if temperature > 0:
        logits = logits / temperature
    if top_k != 0 and top_k < n:
        threshold = _ranked(logits)[top_k - 1][1]
        logits[logits < threshold] = -np.inf
    finite = logits[~np.isnan(logits)]
    m = finite.max() if finite.size else f32(-np.inf)
    prob = _normalise(exp32(logits - m))
    if top_p < 1.0:
        ranked = _ranked(prob)
        cum, count = f32(0.0), n
        for j, (_, p) in enumerate(ranked):
            cum = f32(cum + p)
            if cum > top_p:
                count = j + 1
                break
        keep = np.zeros(n, dtype=bool)
        keep[[i for i, _ in ranked[:count]]] = True
        prob = _normalise(np.where(keep, prob, f32(0.0)).astype(f32))
    if not temperature > 0 and not np.isnan(temperature):
        return _arg_max(prob)
    u = (seed * LCG_MULTIPLIER + DRAW_INCREMENT) & MASK
    r = f32(np.float32(np.uint64(u)) * f32(2.0**-64))
    cum = f32(0.0)
    for i in range(n):
        cum = f32(cum + prob[i])
        if r < cum:
            return i
    return _arg_max(prob)
