"""A float32 NumPy model of the LLaMA runtime, the end-to-end tests' oracle. It keeps the runtime's arithmetic
order (every product and sum rounded to float32 on its own, sums in ascending index order), so its token ids
should equal the runtime's. Transcendentals are computed in float64 and rounded once (correctly rounded)."""

import math
import re

import numpy as np

f32 = np.float32
MASK = (1 << 64) - 1
LCG_MULTIPLIER = 6364136223846793005
DRAW_INCREMENT = 1442695040888963407
LAYER_FIELDS = ("attn_norm", "attn_q", "attn_k", "attn_v", "attn_output", "ffn_norm", "ffn_gate", "ffn_up", "ffn_down")


def row_sums(m: np.ndarray) -> np.ndarray:
    """Sum of each row, strictly left to right, every step rounded; -0.0 for empty rows."""
    if m.shape[1] == 0:
        return np.full(m.shape[0], -0.0, f32)
    return np.add.accumulate(m, axis=1, dtype=f32)[:, -1].copy()  # -0.0 + a == a: no explicit start


def seq_sum(v: np.ndarray) -> np.float32:
    return row_sums(np.asarray(v, f32)[None, :])[0]


def exp32(x):
    return np.exp(np.asarray(x, np.float64)).astype(f32)


def matvec(weight: np.ndarray, x: np.ndarray, rows: int, cols: int) -> np.ndarray:
    if len(x) < cols or len(weight) < rows * cols:
        return np.zeros(rows, f32)
    return row_sums(weight[: rows * cols].reshape(rows, cols) * x[:cols])


def rms_norm(v: np.ndarray, weight: np.ndarray, eps: np.float32) -> np.ndarray:
    if len(weight) < len(v) or len(v) == 0:
        return v
    inv = f32(1.0) / np.sqrt(seq_sum(v * v) / f32(len(v)) + eps)
    return (v * inv) * weight[: len(v)]


def apply_rope(v: np.ndarray, heads: int, d: int, position: int, base: np.float32) -> None:
    """Adjacent pairs (i, i+1) of each head; an odd head's last pair reaches into the next head."""
    for idx0 in range(0, heads * d, d or 1):
        for i in range(0, d, 2):
            idx = idx0 + i
            if idx + 1 >= len(v):
                break
            angle = f32(f32(1.0) / f32(math.pow(float(base), float(f32(i) / f32(d)))) * f32(position))
            s, c = f32(math.sin(float(angle))), f32(math.cos(float(angle)))
            a, b = v[idx], v[idx + 1]
            v[idx], v[idx + 1] = a * c - b * s, b * c + a * s


def count_layers(names) -> int:
    numbers = [int(m[1]) for m in map(re.compile(r"blk\.\+?([0-9]+)(?:\.|$)").match, names) if m]
    return max([n for n in numbers if n < 2**64], default=-1) + 1


def derive_config(t: dict[str, np.ndarray], hints: dict) -> dict:
    """hidden, n_heads, n_kv_heads, head_dim and vocab from tensor lengths, then the file's hints."""
    if not t:
        c = dict(hidden=4096, n_heads=32, n_kv_heads=32, head_dim=128, vocab=32000)
    else:
        n = {k: len(v) for k, v in t.items()}
        h = n.get("output_norm.weight", n.get("blk.0.attn_norm.weight", 4096))
        heads = n["blk.0.attn_q.weight"] // h if "blk.0.attn_q.weight" in n else 32
        has_k = "blk.0.attn_k.weight" in n
        d = 0 if has_k and heads > h else h // max(heads, 1)
        kv = n["blk.0.attn_k.weight"] // h // d if has_k and d else heads
        embd = n.get("token_embd.weight", n.get("output.weight"))
        vocab = 32000 if embd is None or (h == 0 and not has_k) else embd // h
        c = dict(hidden=h, n_heads=heads, n_kv_heads=kv, head_dim=d, vocab=vocab)
    if hints.get("head_count"):
        c.update(n_heads=hints["head_count"], head_dim=c["hidden"] // hints["head_count"],
                 n_kv_heads=hints.get("head_count_kv", hints["head_count"]))
    c["rope_base"] = f32(hints.get("rope_freq_base", 10000.0))
    c["eps"] = f32(hints.get("layer_norm_rms_eps", 1e-5))
    return c


class ReferenceSession:
    """Built from the float32 values the runtime should decode from the file (arrays by name)."""

    def __init__(self, tensors: dict[str, np.ndarray], hints: dict | None = None):
        t = {k: np.asarray(v, f32).ravel() for k, v in tensors.items()}
        c = self.c = derive_config(t, hints or {})
        h, kv_len = c["hidden"], c["head_dim"] * c["n_kv_heads"] * c["hidden"]
        self.embd = t.get("token_embd.weight", np.zeros(h * c["vocab"], f32))
        self.output_norm = t.get("output_norm.weight", np.ones(h, f32))
        self.output = t.get("output.weight", self.embd)
        n_layers = count_layers(t)  # without layers, the claimed head counts size nothing
        default = dict(attn_norm=np.ones(h, f32), attn_q=np.zeros(h * h, f32), attn_k=np.zeros(kv_len, f32),
                       attn_v=np.zeros(kv_len, f32), attn_output=np.zeros(h * h, f32),
                       ffn_norm=np.ones(h, f32)) if n_layers else {}
        self.layers = [{f: t.get(f"blk.{i}.{f}.weight", default.get(f, np.zeros(0, f32))) for f in LAYER_FIELDS}
                       for i in range(n_layers)]
        self.rng_state = 42
        self.reset()

    def reset(self):
        self.keys, self.values, self.pos = [[] for _ in self.layers], [[] for _ in self.layers], 0

    def attention(self, q, keys, values, c):
        h_n, kv_n, d = c["n_heads"], c["n_kv_heads"], c["head_dim"]
        att = np.zeros(h_n * d, f32)
        if h_n == 0 or d == 0:
            return att
        group, scale = h_n // max(kv_n, 1), f32(1.0) / np.sqrt(f32(d))
        keys, values = np.array(keys, f32), np.array(values, f32)
        for hd in range(h_n):
            g = hd // group
            if g >= kv_n:  # past the cached heads: every score -inf, nothing added
                continue
            scores = scale * row_sums(q[hd * d:(hd + 1) * d] * keys[:, g * d:(g + 1) * d])
            scores = _normalise(exp32(scores - np.nanmax(scores)))
            terms = np.vstack([np.zeros((1, d), f32), scores[:, None] * values[:, g * d:(g + 1) * d]])
            att[hd * d:(hd + 1) * d] = np.add.accumulate(terms, axis=0, dtype=f32)[-1]
        return att

    def forward(self, token: int) -> np.ndarray:
        c = self.c
        h, d, kv_dim = c["hidden"], c["head_dim"], c["n_kv_heads"] * c["head_dim"]
        x = self.embd[token * h:(token + 1) * h].copy() if (token + 1) * h <= len(self.embd) else np.zeros(h, f32)
        for w, keys, values in zip(self.layers, self.keys, self.values):
            xb = rms_norm(x.copy(), w["attn_norm"], c["eps"])
            q, k, v = (matvec(w[f], xb, rows, h) for f, rows in (("attn_q", h), ("attn_k", kv_dim), ("attn_v", kv_dim)))
            apply_rope(q, c["n_heads"], d, self.pos, c["rope_base"])
            apply_rope(k, c["n_kv_heads"], d, self.pos, c["rope_base"])
            keys.append(k)
            values.append(v)
            x = matvec(w["attn_output"], self.attention(q, keys, values, c), h, h) + x
            xb = rms_norm(x.copy(), w["ffn_norm"], c["eps"])
            f = len(w["ffn_gate"]) // h
            gate, up = matvec(w["ffn_gate"], xb, f, h), matvec(w["ffn_up"], xb, f, h)
            x = matvec(w["ffn_down"], up * (gate / (exp32(-gate) + f32(1.0))), h, f) + x
        logits = matvec(self.output, rms_norm(x, self.output_norm, c["eps"]), c["vocab"], h)
        self.pos += 1
        self.rng_state = (self.rng_state * LCG_MULTIPLIER + 1) & MASK
        return logits

    def generate_next_token(self, token: int, temperature: float, top_k: int, top_p: float) -> int:
        return sample(self.forward(token), f32(temperature), top_k, f32(top_p), self.rng_state)


def _ranked(values: np.ndarray) -> list[int]:
    """Indices by descending value, equal values in ascending index order."""
    return sorted(range(len(values)), key=lambda i: -values[i])


def _arg_max(prob: np.ndarray) -> int:
    """The last index among equal maxima."""
    return len(prob) - 1 - int(np.argmax(prob[::-1])) if len(prob) else 0


def _normalise(prob: np.ndarray) -> np.ndarray:
    total = seq_sum(prob)
    return prob / total if total > 0 else prob


def sample(logits: np.ndarray, temperature: np.float32, top_k: int, top_p: np.float32, seed: int) -> int:
    logits = np.asarray(logits, f32).copy()
    n = len(logits)
    if temperature > 0:
        logits = logits / temperature
    if 0 < top_k < n:
        logits[logits < logits[_ranked(logits)[top_k - 1]]] = -np.inf
    m = np.nanmax(logits) if n and not np.isnan(logits).all() else f32(-np.inf)
    prob = _normalise(exp32(logits - m))
    if top_p < 1.0:
        ranked = _ranked(prob)
        crossed = np.flatnonzero(np.add.accumulate(prob[ranked], dtype=f32) > top_p)
        keep = np.zeros(n, bool)
        keep[ranked[: crossed[0] + 1 if crossed.size else n]] = True
        prob = _normalise(np.where(keep, prob, f32(0.0)).astype(f32))
    if not temperature > 0 and not np.isnan(temperature):
        return _arg_max(prob)
    r = f32(f32(np.uint64((seed * LCG_MULTIPLIER + DRAW_INCREMENT) & MASK)) * f32(2.0**-64))
    hits = np.flatnonzero(r < np.add.accumulate(prob, dtype=f32))
    return int(hits[0]) if hits.size else _arg_max(prob)


def run(session, tokens, steps, settings):
    """The ids a session (the runtime's or the reference) gives for each of `tokens`, then for each of its
    own next `steps` tokens, with the sampler settings (temperature, top_k, top_p)."""
    out = []
    with np.errstate(all="ignore"):
        for tok in tokens + [None] * steps:
            out.append(session.generate_next_token(out[-1] if tok is None else tok, *settings))
    return out
