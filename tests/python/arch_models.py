"""Tiny random models of every architecture the text model runs, built with transformers' own config
classes and written to GGUF with the gguf package's tensor-name maps, as the format's converter lays
them out (LLaMA's permuted q/k, Gemma's norm weights stored plus one, Llama 3's rope factors as a
tensor). The reference is the transformers model holding the weights as the file stores them."""

import math

import gguf
import numpy as np
import torch
import transformers
from gguf import GGMLQuantizationType as Q

VOCAB = 64
HIDDEN, HEADS, KV_HEADS, FFN = 64, 4, 2, 128
LLAMA3_ROPE = {"rope_type": "llama3", "factor": 8.0, "low_freq_factor": 1.0, "high_freq_factor": 4.0,
               "original_max_position_embeddings": 8, "rope_theta": 10000.0}
GEMMA3_ROPE = {"full_attention": {"rope_type": "linear", "factor": 8.0, "rope_theta": 1e6},
               "sliding_attention": {"rope_type": "default", "rope_theta": 10000.0}}
COMMON = dict(vocab_size=VOCAB, hidden_size=HIDDEN, num_attention_heads=HEADS, num_key_value_heads=KV_HEADS,
              intermediate_size=FFN, num_hidden_layers=2, max_position_embeddings=1024, rms_norm_eps=1e-6)

# name -> (transformers config, gguf architecture). Gemma 3 has six layers, so one is global, and a window
# shorter than the tests' contexts; Qwen3 and Gemma 3 have heads wider than H / heads.
ARCHITECTURES = {
    "llama": (lambda: transformers.LlamaConfig(**COMMON, rope_scaling=LLAMA3_ROPE, tie_word_embeddings=False),
              gguf.MODEL_ARCH.LLAMA),
    "qwen2": (lambda: transformers.Qwen2Config(**COMMON, rope_theta=1e6, tie_word_embeddings=True),
              gguf.MODEL_ARCH.QWEN2),
    "qwen3": (lambda: transformers.Qwen3Config(**COMMON, head_dim=32, tie_word_embeddings=False),
              gguf.MODEL_ARCH.QWEN3),
    # Linear rope scaling on the global layers, as Gemma 3 4B and larger have it.
    "gemma3": (lambda: transformers.Gemma3TextConfig(**(COMMON | {"num_hidden_layers": 6}), head_dim=32,
                                                     query_pre_attn_scalar=32, sliding_window=8,
                                                     final_logit_softcapping=None, attn_logit_softcapping=None,
                                                     rope_parameters=GEMMA3_ROPE),
               gguf.MODEL_ARCH.GEMMA3),
    "phi3": (lambda: transformers.Phi3Config(**COMMON, pad_token_id=0, bos_token_id=1, eos_token_id=2,
                                             tie_word_embeddings=False), gguf.MODEL_ARCH.PHI3),
}


def permute(w, heads):
    """The converter's reordering of a LLaMA q/k matrix's rows, for rotation of adjacent pairs."""
    return w.reshape(heads, 2, w.shape[0] // heads // 2, *w.shape[1:]).swapaxes(1, 2).reshape(w.shape)


def unpermute(w, heads):
    return w.reshape(heads, w.shape[0] // heads // 2, 2, *w.shape[1:]).swapaxes(1, 2).reshape(w.shape)


def llama3_rope_factors(cfg):
    """Llama 3's scaling as the converter stores it: one divisor per rotary pair."""
    p = cfg.rope_parameters
    dim = cfg.hidden_size // cfg.num_attention_heads
    freqs = 1.0 / (p["rope_theta"] ** (np.arange(0, dim, 2, dtype=np.float32) / dim))
    low, high = p["original_max_position_embeddings"] / p["low_freq_factor"], \
        p["original_max_position_embeddings"] / p["high_freq_factor"]
    factors = []
    for freq in freqs:
        wavelen = 2 * math.pi / freq
        if wavelen < high:
            factors.append(1.0)
        elif wavelen > low:
            factors.append(p["factor"])
        else:
            smooth = (p["original_max_position_embeddings"] / wavelen - p["low_freq_factor"]) / \
                (p["high_freq_factor"] - p["low_freq_factor"])
            factors.append(1 / ((1 - smooth) / p["factor"] + smooth))
    return np.asarray(factors, np.float32)


def random_model(name, seed=0):
    """The transformers model of `name` in float32, its weights scaled so that the logits are not flat."""
    cfg = ARCHITECTURES[name][0]()
    torch.manual_seed(seed)
    model = transformers.AutoModelForCausalLM.from_config(cfg, attn_implementation="eager", dtype=torch.float32)
    gen = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        for pname, p in model.named_parameters():
            if pname.endswith("norm.weight"):  # Gemma's norms multiply by 1 + w, the others by w
                # Gemma's outputs are normalised before their residual add: scaled up, so that the
                # layers outweigh the token's own embedding.
                centre = 1.0 if name != "gemma3" else 3.0 if ".post_" in pname else 0.0
                p.copy_(centre + 0.1 * torch.randn(p.shape, generator=gen))
            elif pname.endswith(".bias"):
                p.copy_(0.5 * torch.randn(p.shape, generator=gen))
            elif "embed_tokens" in pname:
                p.copy_(torch.randn(p.shape, generator=gen) / (math.sqrt(HIDDEN) if name == "gemma3" else 1.0))
            else:
                p.copy_(torch.randn(p.shape, generator=gen) * (2.0 / math.sqrt(p.shape[1])))
    return model.eval()


def vocabulary_keys(writer):
    tokens = [f"t{i}" for i in range(VOCAB)]
    writer.add_tokenizer_model("llama")
    writer.add_token_list(tokens)
    writer.add_token_scores([0.0] * VOCAB)
    writer.add_token_types([1] * VOCAB)
    writer.add_add_bos_token(False)


def write(model, name, path, qtype=Q.F32):
    """The model as a GGUF file with its matrices as `qtype`; afterwards the model holds the weights as
    the file stores them (decoded), so it is the file's reference."""
    cfg, arch = model.config, ARCHITECTURES[name][1]
    head_dim = getattr(cfg, "head_dim", None) or cfg.hidden_size // cfg.num_attention_heads
    names = gguf.get_tensor_name_map(arch, cfg.num_hidden_layers)
    w = gguf.GGUFWriter(str(path), gguf.MODEL_ARCH_NAMES[arch])
    w.add_context_length(cfg.max_position_embeddings)
    w.add_embedding_length(cfg.hidden_size)
    w.add_block_count(cfg.num_hidden_layers)
    w.add_feed_forward_length(cfg.intermediate_size)
    w.add_head_count(cfg.num_attention_heads)
    w.add_head_count_kv(cfg.num_key_value_heads)
    w.add_key_length(head_dim)
    w.add_value_length(head_dim)
    w.add_rope_dimension_count(head_dim)
    w.add_layer_norm_rms_eps(cfg.rms_norm_eps)
    rope = cfg.rope_parameters
    w.add_rope_freq_base((rope.get("full_attention") or rope)["rope_theta"])
    if name == "gemma3":
        w.add_sliding_window(cfg.sliding_window)
        w.add_rope_scaling_type(gguf.RopeScalingType.LINEAR)
        w.add_rope_scaling_factor(rope["full_attention"]["factor"])
    vocabulary_keys(w)
    state = {}
    for hf_name, t in model.state_dict().items():
        if hf_name == "lm_head.weight" and cfg.tie_word_embeddings:
            continue
        arr = t.numpy().astype(np.float32)
        if name == "llama" and hf_name.endswith(("q_proj.weight", "k_proj.weight")):
            heads = cfg.num_attention_heads if "q_proj" in hf_name else cfg.num_key_value_heads
            arr = permute(arr, heads)
        if name == "gemma3" and hf_name.endswith("norm.weight"):
            arr = arr + np.float32(1)
        if arr.ndim == 2 and qtype != Q.F32:
            raw = gguf.quants.quantize(arr, qtype)
            w.add_tensor(names.get_name(hf_name, try_suffixes=(".weight", ".bias")), raw, raw_dtype=qtype)
            arr = gguf.quants.dequantize(raw, qtype).reshape(arr.shape)
        else:
            w.add_tensor(names.get_name(hf_name, try_suffixes=(".weight", ".bias")), arr)
        # Back to the reference's own layout and convention, from the stored values.
        if name == "llama" and hf_name.endswith(("q_proj.weight", "k_proj.weight")):
            arr = unpermute(arr, heads)
        if name == "gemma3" and hf_name.endswith("norm.weight"):
            arr = arr - np.float32(1)
        state[hf_name] = torch.from_numpy(np.ascontiguousarray(arr))
    if name == "llama":
        w.add_tensor("rope_freqs.weight", llama3_rope_factors(cfg))
    for step in (w.write_header_to_file, w.write_kv_data_to_file, w.write_tensors_to_file, w.close):
        step()
    model.load_state_dict(state, strict=False)
    if cfg.tie_word_embeddings:
        model.tie_weights()
    return path


def greedy(model, prompt, steps):
    """Greedy tokens of the transformers model, and the logits of every step (rows of float32)."""
    ids, rows = list(prompt), []
    with torch.no_grad():
        for _ in range(steps):
            logits = model(torch.tensor([ids])).logits[0, -1].numpy()
            rows.append(logits)
            ids.append(int(np.argmax(logits)))
    return ids[len(prompt):], rows
