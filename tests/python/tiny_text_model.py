"""A tiny LLaMA GGUF file with a byte-level BPE vocabulary and a ChatML template, for the text API's tests:
random weights (so its text is noise, but deterministic), every byte a token, a few merges, and the
control tokens a chat needs."""

import math

import gguf
import numpy as np

CHAT_TEMPLATE = (
    "{% for m in messages %}{{ '<|im_start|>' + m['role'] + '\n' + m['content'] + '<|im_end|>' + '\n' }}{% endfor %}"
    "{% if add_generation_prompt %}{{ '<|im_start|>assistant\n' }}{% endif %}"
)
CONTROL = ["<|endoftext|>", "<|im_start|>", "<|im_end|>"]


def byte_chars() -> list[str]:
    """GPT-2's printable stand-in for each byte value, in byte order."""
    printable = [*range(ord("!"), ord("~") + 1), *range(ord("¡"), ord("¬") + 1), *range(ord("®"), ord("ÿ") + 1)]
    shifted = iter(range(256, 512))
    return [chr(b) if b in printable else chr(next(shifted)) for b in range(256)]


def vocabulary(control=tuple(CONTROL)) -> tuple[list[str], list[str], list[int]]:
    chars = byte_chars()
    merges = ["Ġ t", "h e", "Ġt he", "i n", "Ġ a"]
    tokens = chars + [m.replace(" ", "") for m in merges] + list(control)
    types = [1] * (len(tokens) - len(control)) + [3] * len(control)
    return tokens, merges, types


def write_tiny_model(path, *, context_length=64, hidden=32, layers=2, seed=0, chat_template=CHAT_TEMPLATE,
                     pre="default", endless=False):
    """`endless`: no token ends a turn, so generation runs until max_tokens or the context length."""
    tokens, merges, types = vocabulary(("<|a|>", "<|b|>", "<|c|>") if endless else tuple(CONTROL))
    vocab = len(tokens)
    rng = np.random.default_rng(seed)

    def mat(rows, cols, gain=2.0):
        return (rng.standard_normal((rows, cols)) * (gain / math.sqrt(cols))).astype(np.float32)

    def norm():
        return (1 + 0.1 * rng.standard_normal(hidden)).astype(np.float32)

    w = gguf.GGUFWriter(str(path), "llama")
    w.add_context_length(context_length)
    w.add_head_count(4)
    w.add_head_count_kv(2)
    w.add_tokenizer_model("gpt2")
    w.add_tokenizer_pre(pre)
    w.add_token_list(tokens)
    w.add_token_types(types)
    w.add_token_merges(merges)
    if not endless:
        w.add_eos_token_id(tokens.index("<|im_end|>"))
        w.add_bos_token_id(tokens.index("<|endoftext|>"))
    w.add_add_bos_token(False)
    if chat_template is not None:
        w.add_chat_template(chat_template)
    w.add_tensor("token_embd.weight", rng.standard_normal((vocab, hidden)).astype(np.float32))
    w.add_tensor("output_norm.weight", norm())
    w.add_tensor("output.weight", mat(vocab, hidden, 4.0))
    for p in (f"blk.{i}." for i in range(layers)):
        for name, value in [("attn_norm", norm()), ("attn_q", mat(hidden, hidden, 3.0)),
                            ("attn_k", mat(hidden // 2, hidden, 3.0)), ("attn_v", mat(hidden // 2, hidden)),
                            ("attn_output", mat(hidden, hidden)), ("ffn_norm", norm()),
                            ("ffn_gate", mat(64, hidden)), ("ffn_up", mat(64, hidden)), ("ffn_down", mat(hidden, 64))]:
            w.add_tensor(p + name + ".weight", value)
    for step in (w.write_header_to_file, w.write_kv_data_to_file, w.write_tensors_to_file, w.close):
        step()
    return path
