"""Writes the fuzzers' seed corpora: small, valid files of every format each target reads.

    python tests/fuzz/make_seeds.py OUT_DIR

makes OUT_DIR/<target>/ for every fuzz target (the folder is emptied first). GGUF files come from the
`gguf` package through the Python tests' writer (tests/python/model_files.py), the rest are built byte
by byte here. A model that should have a config.json beside it carries one after the separator line the
targets split on (tests/fuzz/fuzz_files.hpp).
"""

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

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
from model_files import TYPES, random_tensors, tiny_vocabulary, write_gguf  # noqa: E402

Q = gguf.GGMLQuantizationType
CONFIG_SEPARATOR = b"\n#config.json#\n"


# ---- GGUF ------------------------------------------------------------------------------------------

def gguf_bytes(tensors=None, qtype=Q.F32, keys=(), arch="llama"):
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "m.gguf"
        write_gguf(path, tensors, qtype, keys, arch=arch)
        return path.read_bytes()


def gguf_models():
    """Small LLaMA models of every stored type the runtime decodes, rows one block wide. Models of
    256-weight blocks have no layers, which keeps the file small (embedding, norm, output)."""
    rng = np.random.default_rng(0)
    shapes = {1: dict(hidden=8, ffn=16, vocab=12), 32: dict(hidden=32, ffn=32, vocab=8, layers=1),
              256: dict(hidden=256, vocab=4, layers=0)}
    hints = {"head_count": 4, "head_count_kv": 2, "rope_freq_base": 10000.0, "layer_norm_rms_eps": 1e-5,
             "block_count": 1, "context_length": 64}
    seeds = {f"llama_{q.name.lower()}": gguf_bytes(random_tensors(rng, **shapes[gguf.GGML_QUANT_SIZES[q][0]]), q,
                                                   hints) for q in TYPES}
    seeds["llama_f32_tied_nohints"] = gguf_bytes(random_tensors(rng, **shapes[1], layers=1, tied=True))
    seeds["llama_aligned_64"] = gguf_bytes(random_tensors(rng, **shapes[1]), keys=hints | {"custom_alignment": 64})
    return seeds


def gguf_metadata():
    """Every value type, nested arrays, tokenizer lists and the mixture-of-experts keys."""
    values = [("uint8", 7), ("int8", -7), ("uint16", 700), ("int16", -700), ("uint32", 70000), ("int32", -70000),
              ("float32", 0.5), ("bool", True), ("string", "héllo"), ("uint64", 2**40), ("int64", -(2**40)),
              ("float64", 0.25), ("array", [[1, 2], [3]]), ("array", ["a", "bc"])]
    model = {"block_count": 2, "embedding_length": 8, "head_count": 2, "head_count_kv": 1, "vocab_size": 12,
             "context_length": 128, "feed_forward_length": 16, "name": "tiny", "file_type": 0,
             "token_list": ["<s>", "</s>", "a", "b"], "token_scores": [0.0, 0.0, -1.0, -2.0],
             "token_types": [3, 3, 1, 1], "tokenizer_model": "llama", "bos_token_id": 0}
    moe = {"expert_count": 4, "expert_used_count": 2, "expert_feed_forward_length": 16, "block_count": 1,
           "embedding_length": 8}
    tensor = {"blk.0.attn_q.weight": np.ones((8, 8))}
    return {
        "metadata_all_types": gguf_bytes(tensor, keys=[(kind, f"t.{i}", v) for i, (kind, v) in enumerate(values)]
                                         + list(model.items())),
        "metadata_moe": gguf_bytes({"blk.0.ffn_gate_exps.weight": np.ones((4, 16))}, keys=moe),
        "metadata_other_arch": gguf_bytes(tensor, keys=[("string", "qwen2.context_length", "x")], arch="qwen2"),
        "metadata_empty": gguf_bytes(),
    }


def tokenizer_seeds():
    """Vocabularies alone (no tensors): a byte-level gpt2 one for each pre-tokenizer family, and a
    SentencePiece-style llama one with byte fallback and a user-defined piece."""
    seeds = {f"tok_gpt2_{pre}": gguf_bytes(keys=tiny_vocabulary() | {"tokenizer_pre": pre})
             for pre in ("default", "llama-bpe", "qwen2", "smollm")}
    pieces = [("▁", -1.0), ("▁h", -2.0), ("▁he", -1.5), ("ll", -3.0), ("o", -4.0), ("llo", -2.5), ("▁w", -3.0),
              ("or", -3.5), ("ld", -3.5), ("▁wor", -2.0), ("h", -5.0), ("e", -5.0), ("l", -5.0), ("w", -5.0),
              ("r", -5.0), ("d", -5.0), ("1", -5.0), ("2", -5.0), ("<ud>", 0.0)]
    seeds["tok_llama"] = gguf_bytes(keys={
        "tokenizer_model": "llama", "token_list": ["<unk>", "<s>", "</s>", *(f"<0x{b:02X}>" for b in range(256)),
                                                   *(p for p, _ in pieces)],
        "token_types": [2, 3, 3] + [6] * 256 + [1] * (len(pieces) - 1) + [4],
        "token_scores": [0.0] * 259 + [s for _, s in pieces], "unk_token_id": 0, "bos_token_id": 1,
        "eos_token_id": 2, "add_space_prefix": True})
    return seeds


# ---- safetensors, AWQ, GPTQ ------------------------------------------------------------------------

def safetensors_bytes(tensors, metadata=None):
    """`tensors` maps name -> (dtype text, shape, numpy type); offsets follow insertion order."""
    header, data = {} if metadata is None else {"__metadata__": metadata}, b""
    for name, (dtype, shape, np_type) in tensors.items():
        raw = (np.arange(int(np.prod(shape))) % 7).astype(np_type).tobytes()
        header[name] = {"dtype": dtype, "shape": shape, "data_offsets": [len(data), len(data) + len(raw)]}
        data += raw
    text = json.dumps(header, separators=(",", ":")).encode()
    return struct.pack("<Q", len(text)) + text + data


def with_config(model, config):
    return model + CONFIG_SEPARATOR + json.dumps(config).encode()


LLAMA_CONFIG = {"model_type": "llama", "hidden_size": 8, "num_attention_heads": 2, "num_key_value_heads": 1,
                "num_hidden_layers": 1, "vocab_size": 12, "max_position_embeddings": 128, "intermediate_size": 16}


def safetensors_seeds():
    layer = {
        "model.embed_tokens.weight": ("F16", [12, 8], np.float16),
        "model.layers.0.self_attn.q_proj.weight": ("F32", [8, 8], np.float32),
        "model.layers.0.input_layernorm.weight": ("BF16", [8], np.uint16),
        "model.layers.0.mlp.down_proj.weight": ("I8", [8, 16], np.int8),
        "model.layers.1.self_attn.k_proj.weight": ("F64", [2, 2], np.float64),
        "lm_head.scalar": ("F32", [], np.float32),
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
    awq = {"model.layers.0.self_attn.q_proj.qweight": ("I32", [hidden, out // 8], np.int32),
           "model.layers.0.self_attn.q_proj.qzeros": ("I32", [hidden // group, out // 8], np.int32),
           "model.layers.0.self_attn.q_proj.scales": ("F16", [hidden // group, out], np.float16),
           "model.layers.0.input_layernorm.weight": ("F16", [hidden], np.float16)}
    gptq = {"model.layers.0.mlp.up_proj.qweight": ("I32", [hidden // 8, out], np.int32),
            "model.layers.0.mlp.up_proj.qzeros": ("I32", [hidden // group, out // 8], np.int32),
            "model.layers.0.mlp.up_proj.scales": ("F16", [hidden // group, out], np.float16),
            "model.layers.0.mlp.up_proj.g_idx": ("I32", [hidden], np.int32)}
    quantization = {"bits": 4, "group_size": group}
    awq_config = LLAMA_CONFIG | {"quantization_config": quantization | {"quant_method": "awq", "zero_point": True}}
    gptq_config = LLAMA_CONFIG | {"quantization_config": quantization | {"quant_method": "gptq", "sym": True}}
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
