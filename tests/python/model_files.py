"""GGUF files for the tests and the fuzzers' seeds, written by the gguf package (the independent writer):
random LLaMA weights of every stored type, and a tiny chat model with a byte-level BPE vocabulary."""

import math

import gguf
import numpy as np
from gguf import GGMLQuantizationType as Q

# Types the gguf package cannot quantise get random blocks: block bytes, the offsets of the half-precision
# d and dmin (or s), a d giving weights of about 0.1, and the dmin / d ratio that centres them on 0.
RANDOM_BLOCKS = {Q.Q8_1: (36, 0, None, 0.01, 0), Q.Q2_K: (84, 80, 82, 0.005, 1.5), Q.Q3_K: (110, 108, None, 0.002, 0),
                 Q.Q4_K: (144, 0, 2, 0.0002, 7.5), Q.Q5_K: (176, 0, 2, 0.0001, 15.5),
                 Q.Q6_K: (210, 208, None, 0.0001, 0)}
TYPES = [Q.F32, Q.F16, Q.Q4_0, Q.Q4_1, Q.Q5_0, Q.Q5_1, Q.Q8_0, *RANDOM_BLOCKS]


def quantised(rng, arr, qtype):
    """(the blocks, the values they decode to, the byte shape to declare or None) of a matrix as `qtype`."""
    if qtype not in RANDOM_BLOCKS:
        raw = gguf.quants.quantize(arr, qtype)
        return raw, gguf.quants.dequantize(raw, qtype), None
    (rows, cols), (block_bytes, d_at, dmin_at, d, ratio) = arr.shape, RANDOM_BLOCKS[qtype]
    blocks = cols // (32 if qtype == Q.Q8_1 else 256)
    raw = rng.integers(0, 256, size=(rows, blocks, block_bytes), dtype=np.uint8)
    d_block = rng.uniform(d / 2, d * 2, size=(rows, blocks)).astype(np.float16)
    for off, value in ((d_at, d_block), (dmin_at, d_block * ratio)):
        if off is not None:
            raw[:, :, off:off + 2] = value.astype(np.float16).view(np.uint8).reshape(rows, blocks, 2)
    if qtype == Q.Q8_1:  # the package knows an older 40-byte block: decode here, declare the byte shape
        values = d_block.astype(np.float32)[:, :, None] * raw[:, :, 4:].view(np.int8).astype(np.float32)
        return raw.reshape(rows, -1), values, (rows, blocks * 40)
    return raw.reshape(rows, -1), gguf.quants.dequantize(raw.reshape(rows, -1), qtype), None


def write_gguf(path, tensors=None, qtype=Q.F32, keys=(), rng=None, arch="llama"):
    """Matrices as `qtype`, vectors as F32. `keys` are GGUFWriter.add_<name> calls: a dict of name -> value,
    or (name, *arguments) tuples. Returns name -> the float32 values the runtime should decode."""
    rng = rng or np.random.default_rng(0)
    w = gguf.GGUFWriter(str(path), arch)
    for name, *args in (keys.items() if isinstance(keys, dict) else keys):
        getattr(w, "add_" + name)(*args)
    decoded = {}
    for name, arr in (tensors or {}).items():
        arr = np.asarray(arr, np.float32)
        if arr.ndim == 1 or qtype in (Q.F32, Q.F16):
            values = arr.astype(np.float16) if qtype == Q.F16 and arr.ndim > 1 else arr
            w.add_tensor(name, values)
        else:
            raw, values, shape = quantised(rng, arr, qtype)
            w.add_tensor(name, raw, raw_shape=shape, raw_dtype=qtype)
        decoded[name] = np.asarray(values, np.float32).ravel()
    for step in (w.write_header_to_file, w.write_kv_data_to_file, w.write_tensors_to_file, w.close):
        step()
    return decoded


def random_tensors(rng, *, hidden=32, ffn=64, vocab=48, layers=2, kv_dim=None, tied=False, drop=(), extra=()):
    """A LLaMA model's tensors; `drop` removes names by prefix, `extra` adds norm vectors."""
    def mat(rows, cols, gain=1.5):
        return (rng.standard_normal((rows, cols)) * (gain / math.sqrt(cols))).astype(np.float32)

    def norm():
        return (1 + 0.1 * rng.standard_normal(hidden)).astype(np.float32)

    kv_dim = hidden // 2 if kv_dim is None else kv_dim
    t = {"token_embd.weight": rng.standard_normal((vocab, hidden)).astype(np.float32), "output_norm.weight": norm()}
    if not tied:
        t["output.weight"] = mat(vocab, hidden, 3.0)
    for p in (f"blk.{i}." for i in range(layers)):
        t |= {p + "attn_norm.weight": norm(), p + "attn_q.weight": mat(hidden, hidden, 3.0),
              p + "attn_k.weight": mat(kv_dim, hidden, 3.0), p + "attn_v.weight": mat(kv_dim, hidden),
              p + "attn_output.weight": mat(hidden, hidden), p + "ffn_norm.weight": norm(),
              p + "ffn_gate.weight": mat(ffn, hidden), p + "ffn_up.weight": mat(ffn, hidden),
              p + "ffn_down.weight": mat(hidden, ffn)}
    return {k: v for k, v in t.items() if not k.startswith(tuple(drop))} | {name: norm() for name in extra}


def byte_chars() -> list[str]:
    """GPT-2's printable stand-in for each byte value: printable Latin-1 as itself, the rest from U+0100 on."""
    printable = {*range(0x21, 0x7F), *range(0xA1, 0xAD), *range(0xAE, 0x100)}
    shifted = iter(range(0x100, 0x200))
    return [chr(b) if b in printable else chr(next(shifted)) for b in range(256)]


CHAT_TEMPLATE = (
    "{% for m in messages %}{{ '<|im_start|>' + m['role'] + '\n' + m['content'] + '<|im_end|>' + '\n' }}{% endfor %}"
    "{% if add_generation_prompt %}{{ '<|im_start|>assistant\n' }}{% endif %}"
)
MERGES = ["Ġ t", "h e", "Ġt he", "i n", "Ġ a"]


def tiny_vocabulary(endless=False):
    """Every byte a token, a few merges, and the control tokens a ChatML chat needs (`endless`: control
    tokens that end nothing, so generation runs to max_tokens or the context length)."""
    control = ["<|a|>", "<|b|>", "<|c|>"] if endless else ["<|endoftext|>", "<|im_start|>", "<|im_end|>"]
    tokens = byte_chars() + [m.replace(" ", "") for m in MERGES] + control
    keys = {"tokenizer_model": "gpt2", "tokenizer_pre": "default", "token_list": tokens,
            "token_types": [1] * (len(tokens) - 3) + [3] * 3, "token_merges": MERGES, "add_bos_token": False}
    if not endless:
        keys |= {"eos_token_id": tokens.index("<|im_end|>"), "bos_token_id": tokens.index("<|endoftext|>")}
    return keys


def write_tiny_model(path, *, context_length=64, hidden=32, layers=2, chat_template=CHAT_TEMPLATE, endless=False):
    """Random weights (noise, but deterministic) beside the tiny vocabulary."""
    keys = tiny_vocabulary(endless) | {"context_length": context_length, "head_count": 4, "head_count_kv": 2}
    if chat_template is not None:
        keys["chat_template"] = chat_template
    vocab = len(keys["token_list"])
    write_gguf(path, random_tensors(np.random.default_rng(0), hidden=hidden, vocab=vocab, layers=layers), keys=keys)
    return path
