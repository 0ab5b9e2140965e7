"""Writes the fuzzers' seed corpora: small, valid files of every format each target reads.

    python tests/fuzz/make_seeds.py OUT_DIR

makes OUT_DIR/<target>/ for every fuzz target (the folder is emptied first). GGUF files come from the
`gguf` package, the rest are built byte by byte here. A model that should have a config.json beside it
carries one after the separator line the targets split on (tests/fuzz/fuzz_files.hpp).
"""

import hashlib
import io
import json
import pathlib
import shutil
import struct
import sys
import tempfile
import zipfile

import gguf
import numpy as np

Q = gguf.GGMLQuantizationType
CONFIG_SEPARATOR = b"\n#config.json#\n"

# Bytes per block where this runtime's layout differs from the package's table (Q8_1: d and s, 32 int8).
BLOCK_BYTES = {Q.Q8_1: 36}


# ---- GGUF ------------------------------------------------------------------------------------------

def gguf_bytes(tensors, kv=(), arch="llama", alignment=None):
    """A GGUF file: `tensors` maps name -> (array, type); `kv` is (method name, args) pairs of GGUFWriter."""
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "m.gguf"
        w = gguf.GGUFWriter(str(path), arch)
        if alignment is not None:
            w.add_custom_alignment(alignment)
        for method, *args in kv:
            getattr(w, method)(*args)
        for name, (arr, qtype) in tensors.items():
            if qtype in (Q.F32, Q.F16):
                w.add_tensor(name, arr.astype(np.float32 if qtype == Q.F32 else np.float16))
            else:
                raw, shape = blocks(arr.shape, qtype)
                w.add_tensor(name, raw, raw_shape=shape, raw_dtype=qtype)
        for step in (w.write_header_to_file, w.write_kv_data_to_file, w.write_tensors_to_file, w.close):
            step()
        return path.read_bytes()


def blocks(shape, qtype):
    """Random blocks for a (rows, cols) matrix of `qtype`, and the byte shape to declare. Every byte is
    below 0x3C, so each half-precision scale is finite and under 1: the step computes numbers."""
    rows, cols = shape
    per_block, package_bytes = gguf.GGML_QUANT_SIZES[qtype]
    n_blocks = cols // per_block
    raw = np.random.default_rng(cols + rows).integers(0, 0x3C, size=(rows, n_blocks * BLOCK_BYTES.get(qtype, package_bytes)), dtype=np.uint8)
    return raw, (rows, n_blocks * package_bytes)


def llama(hidden, ffn, vocab, layers, matrix_type=Q.F32, kv_dim=None, tied=False):
    rng = np.random.default_rng(hidden * 1000 + layers)
    kv_dim = hidden // 2 if kv_dim is None else kv_dim

    def mat(rows, cols):
        return ((rng.standard_normal((rows, cols)) / np.sqrt(cols)).astype(np.float32), matrix_type)

    def norm():
        return ((1 + 0.1 * rng.standard_normal(hidden)).astype(np.float32), Q.F32)

    t = {"token_embd.weight": mat(vocab, hidden), "output_norm.weight": norm()}
    if not tied:
        t["output.weight"] = mat(vocab, hidden)
    for p in (f"blk.{i}." for i in range(layers)):
        t |= {p + "attn_norm.weight": norm(), p + "attn_q.weight": mat(hidden, hidden),
              p + "attn_k.weight": mat(kv_dim, hidden), p + "attn_v.weight": mat(kv_dim, hidden),
              p + "attn_output.weight": mat(hidden, hidden), p + "ffn_norm.weight": norm(),
              p + "ffn_gate.weight": mat(ffn, hidden), p + "ffn_up.weight": mat(ffn, hidden),
              p + "ffn_down.weight": mat(hidden, ffn)}
    return t


def llama_hints(heads, kv_heads):
    return [("add_head_count", heads), ("add_head_count_kv", kv_heads), ("add_rope_freq_base", 10000.0),
            ("add_layer_norm_rms_eps", 1e-5), ("add_block_count", 1), ("add_context_length", 64)]


def gguf_models():
    """Small LLaMA models of every tensor type the runtime decodes."""
    seeds = {
        "llama_f32": gguf_bytes(llama(8, 16, 12, 2), llama_hints(2, 1)),
        "llama_f32_tied_nohints": gguf_bytes(llama(8, 16, 12, 1, tied=True)),
        "llama_f16": gguf_bytes(llama(8, 16, 12, 1, Q.F16), llama_hints(4, 2)),
        "llama_aligned_64": gguf_bytes(llama(8, 16, 12, 1), llama_hints(2, 2), alignment=64),
    }
    for qtype in (Q.Q4_0, Q.Q4_1, Q.Q5_0, Q.Q5_1, Q.Q8_0, Q.Q8_1):
        seeds[f"llama_{qtype.name.lower()}"] = gguf_bytes(llama(32, 32, 8, 1, qtype), llama_hints(4, 2))
    # 256-weight blocks: a model with no layers keeps the file small (embedding, norm, output).
    for qtype in (Q.Q2_K, Q.Q3_K, Q.Q4_K, Q.Q5_K, Q.Q6_K, Q.Q8_K):
        seeds[f"llama_{qtype.name.lower()}"] = gguf_bytes(llama(256, 256, 4, 0, qtype), llama_hints(8, 8))
    return seeds


def gguf_metadata():
    """Every value type, nested arrays, tokenizer lists and the mixture-of-experts keys."""
    kv = [("add_uint8", "t.u8", 7), ("add_int8", "t.i8", -7), ("add_uint16", "t.u16", 700),
          ("add_int16", "t.i16", -700), ("add_uint32", "t.u32", 70000), ("add_int32", "t.i32", -70000),
          ("add_float32", "t.f32", 0.5), ("add_bool", "t.bool", True), ("add_string", "t.str", "héllo"),
          ("add_uint64", "t.u64", 2**40), ("add_int64", "t.i64", -(2**40)), ("add_float64", "t.f64", 0.25),
          ("add_array", "t.nested", [[1, 2], [3]]), ("add_array", "t.strings", ["a", "bc"]),
          ("add_block_count", 2), ("add_embedding_length", 8), ("add_head_count", 2), ("add_head_count_kv", 1),
          ("add_vocab_size", 12), ("add_context_length", 128), ("add_feed_forward_length", 16),
          ("add_name", "tiny"), ("add_file_type", 0),
          ("add_token_list", ["<s>", "</s>", "a", "b"]), ("add_token_scores", [0.0, 0.0, -1.0, -2.0]),
          ("add_token_types", [3, 3, 1, 1]), ("add_tokenizer_model", "llama"), ("add_bos_token_id", 0)]
    moe = [("add_expert_count", 4), ("add_expert_used_count", 2), ("add_expert_feed_forward_length", 16),
           ("add_block_count", 1), ("add_embedding_length", 8)]
    tensor = {"blk.0.attn_q.weight": (np.ones((8, 8), np.float32), Q.F32)}
    return {
        "metadata_all_types": gguf_bytes(tensor, kv),
        "metadata_moe": gguf_bytes({"blk.0.ffn_gate_exps.weight": (np.ones((4, 16), np.float32), Q.F32)}, moe),
        "metadata_other_arch": gguf_bytes(tensor, [("add_string", "qwen2.context_length", "x")], arch="qwen2"),
        "metadata_empty": gguf_bytes({}, ()),
    }


# ---- tokenizer vocabularies ------------------------------------------------------------------------

def byte_chars():
    """GPT-2's printable stand-in for each byte: printable Latin-1 as itself, the rest from U+0100 on."""
    printable = {*range(0x21, 0x7F), *range(0xA1, 0xAD), *range(0xAE, 0x100)}
    shifted = iter(range(0x100, 0x200))
    return [chr(b) if b in printable else chr(next(shifted)) for b in range(256)]


BYTE_CHARS = byte_chars()


def byte_level(text):
    return "".join(BYTE_CHARS[b] for b in text.encode())


def tokenizer_seeds():
    """Vocabularies alone (no tensors): a byte-level gpt2 one for each pre-tokenizer family, and a
    SentencePiece-style llama one with byte fallback."""
    merges = [("h", "e"), ("l", "l"), ("he", "ll"), ("hell", "o"), (" ", "w"), (" w", "o"), ("1", "2"),
              ("o", "r"), (" wo", "r"), (" wor", "l"), (" worl", "d"), ("\n", "\n")]
    tokens = BYTE_CHARS + [byte_level(l + r) for l, r in merges]
    specials = ["<|endoftext|>", "<|im_start|>", "<|im_end|>"]
    gpt2 = [("add_tokenizer_model", "gpt2"), ("add_token_list", tokens + specials),
            ("add_token_types", [1] * len(tokens) + [3] * len(specials)),
            ("add_token_merges", [f"{byte_level(l)} {byte_level(r)}" for l, r in merges]),
            ("add_bos_token_id", len(tokens)), ("add_eos_token_id", len(tokens) + 2), ("add_add_bos_token", False)]
    pieces = [("▁", -1.0), ("▁h", -2.0), ("▁he", -1.5), ("ll", -3.0), ("o", -4.0), ("llo", -2.5), ("▁w", -3.0),
              ("or", -3.5), ("ld", -3.5), ("▁wor", -2.0), ("h", -5.0), ("e", -5.0), ("l", -5.0), ("w", -5.0),
              ("r", -5.0), ("d", -5.0), ("1", -5.0), ("2", -5.0), ("<ud>", 0.0)]
    names = ["<unk>", "<s>", "</s>"] + [f"<0x{b:02X}>" for b in range(256)] + [p for p, _ in pieces]
    types = [2, 3, 3] + [6] * 256 + [1] * (len(pieces) - 1) + [4]
    llama = [("add_tokenizer_model", "llama"), ("add_token_list", names), ("add_token_types", types),
             ("add_token_scores", [0.0] * 259 + [s for _, s in pieces]), ("add_unk_token_id", 0),
             ("add_bos_token_id", 1), ("add_eos_token_id", 2), ("add_add_space_prefix", True)]
    seeds = {f"tok_gpt2_{pre}": gguf_bytes({}, gpt2 + [("add_tokenizer_pre", pre)])
             for pre in ("default", "llama-bpe", "qwen2", "smollm")}
    seeds["tok_llama"] = gguf_bytes({}, llama)
    return seeds


# ---- safetensors, AWQ, GPTQ ------------------------------------------------------------------------

def safetensors_bytes(tensors, metadata=None):
    """`tensors` maps name -> (dtype text, shape, raw bytes); offsets follow insertion order."""
    header, data = {}, b""
    if metadata is not None:
        header["__metadata__"] = metadata
    for name, (dtype, shape, raw) in tensors.items():
        header[name] = {"dtype": dtype, "shape": list(shape), "data_offsets": [len(data), len(data) + len(raw)]}
        data += raw
    text = json.dumps(header, separators=(",", ":")).encode()
    return struct.pack("<Q", len(text)) + text + data


def with_config(model, config):
    return model + CONFIG_SEPARATOR + (config if isinstance(config, bytes) else json.dumps(config).encode())


def array(dtype, shape, np_type):
    count = int(np.prod(shape)) if shape else 1
    return dtype, shape, (np.arange(count) % 7).astype(np_type).tobytes()


LLAMA_CONFIG = {"model_type": "llama", "hidden_size": 8, "num_attention_heads": 2, "num_key_value_heads": 1,
                "num_hidden_layers": 1, "vocab_size": 12, "max_position_embeddings": 128, "intermediate_size": 16}


def safetensors_seeds():
    bf16 = np.ones(8, np.float32).view(np.uint32) >> 16
    layer = {
        "model.embed_tokens.weight": array("F16", [12, 8], np.float16),
        "model.layers.0.self_attn.q_proj.weight": array("F32", [8, 8], np.float32),
        "model.layers.0.input_layernorm.weight": ("BF16", [8], bf16.astype(np.uint16).tobytes()),
        "model.layers.0.mlp.down_proj.weight": array("I8", [8, 16], np.int8),
        "model.layers.1.self_attn.k_proj.weight": array("F64", [2, 2], np.float64),
        "lm_head.scalar": array("F32", [], np.float32),
    }
    moe = LLAMA_CONFIG | {"model_type": "mixtral", "num_local_experts": 4, "num_experts_per_tok": 2}
    return {
        "st_plain": safetensors_bytes(layer),
        "st_metadata": safetensors_bytes(layer, {"format": "pt"}),
        "st_llama_config": with_config(safetensors_bytes(layer), LLAMA_CONFIG),
        "st_moe_config": with_config(safetensors_bytes(layer), moe),
        "st_empty": safetensors_bytes({}),
    }


def quantized_seeds():
    """A layer of 4-bit weights as AWQ and GPTQ write it: int32-packed weights and zeros, half scales."""
    hidden, out, group = 32, 16, 16
    awq = {
        "model.layers.0.self_attn.q_proj.qweight": array("I32", [hidden, out // 8], np.int32),
        "model.layers.0.self_attn.q_proj.qzeros": array("I32", [hidden // group, out // 8], np.int32),
        "model.layers.0.self_attn.q_proj.scales": array("F16", [hidden // group, out], np.float16),
        "model.layers.0.input_layernorm.weight": array("F16", [hidden], np.float16),
    }
    gptq = {
        "model.layers.0.mlp.up_proj.qweight": array("I32", [hidden // 8, out], np.int32),
        "model.layers.0.mlp.up_proj.qzeros": array("I32", [hidden // group, out // 8], np.int32),
        "model.layers.0.mlp.up_proj.scales": array("F16", [hidden // group, out], np.float16),
        "model.layers.0.mlp.up_proj.g_idx": array("I32", [hidden], np.int32),
    }
    awq_config = LLAMA_CONFIG | {"quantization_config": {"quant_method": "awq", "bits": 4, "group_size": group,
                                                         "zero_point": True, "version": "gemm"}}
    gptq_config = LLAMA_CONFIG | {"quantization_config": {"quant_method": "gptq", "bits": 4, "group_size": group,
                                                          "desc_act": False, "sym": True}}
    return {
        "awq": with_config(safetensors_bytes(awq), awq_config),
        "awq_bare_config": with_config(safetensors_bytes(awq), {"quant_method": "awq"}),
        "gptq": with_config(safetensors_bytes(gptq, {"format": "pt"}), gptq_config),
        # A first 8 bytes that do not read as a header length: only the config can name the format.
        "gptq_by_config_only": with_config(b"GX" + safetensors_bytes(gptq)[2:], gptq_config),
    }


# ---- the other formats detection knows -------------------------------------------------------------

def other_formats():
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_STORED) as z:
        z.writestr("archive/data.pkl", b"\x80\x02}q\x00.")
        z.writestr("archive/version", b"3\n")
    # ONNX: field 1 (ir_version) as a varint, then a producer name.
    onnx = bytes([0x08, 0x07, 0x12, 0x04]) + b"test" + bytes([0x3A, 0x02, 0x0A, 0x00]) + bytes(8)
    return {"pytorch_zip": archive.getvalue(), "onnx": onnx, "short": b"GGU", "zeros": bytes(24)}


# ---- corpora ---------------------------------------------------------------------------------------

def corpora():
    models, metadata = gguf_models(), gguf_metadata()
    safetensors, quantized, other = safetensors_seeds(), quantized_seeds(), other_formats()
    return {
        "fuzz_detect": models | metadata | safetensors | quantized | other,
        "fuzz_gguf_metadata": models | metadata,
        "fuzz_gguf_session": models | metadata,
        "fuzz_safetensors": safetensors | quantized,
        "fuzz_quantized": quantized | safetensors,
        "fuzz_tokenizer": tokenizer_seeds() | {"metadata_all_types": metadata["metadata_all_types"]},
    }


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = pathlib.Path(sys.argv[1])
    for target, seeds in corpora().items():
        folder = out / target
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)
        total = sum(len(d) for d in seeds.values())
        print(f"{target}: {len(seeds)} seeds, {total} bytes, largest {max(len(d) for d in seeds.values())}")


if __name__ == "__main__":
    main()
