"""FormatDetector and ModelMetadata from Python: detection, metadata records, and hostile files."""

from __future__ import annotations

import json
import pathlib
import struct
import zipfile

import numpy as np
import pytest

gguf = pytest.importorskip("gguf")

from quillfen._core import FormatDetector, ModelMetadata  # noqa: E402

PROPERTIES = [
    "architecture",
    "num_layers",
    "hidden_size",
    "num_attention_heads",
    "num_kv_heads",
    "vocab_size",
    "context_length",
    "file_size",
    "format_name",
    "is_moe",
    "num_experts",
    "num_active_experts",
]


# ---- writers ---------------------------------------------------------------------------------------

def write_llama_gguf(path: pathlib.Path, *, experts: int = 0, active: int | None = None, arch: str = "llama") -> None:
    """A small LLaMA-shaped GGUF file written by the gguf package (the independent oracle)."""
    w = gguf.GGUFWriter(str(path), arch)
    w.add_block_count(2)
    w.add_embedding_length(64)
    w.add_head_count(4)
    w.add_head_count_kv(2)
    w.add_context_length(512)
    w.add_vocab_size(100)
    w.add_token_list(["<s>", "</s>", "h\u00e9"])
    if experts:
        w.add_expert_count(experts)
    if active is not None:
        w.add_expert_used_count(active)
    w.add_tensor("blk.0.attn_norm.weight", np.ones(64, dtype=np.float32))
    w.add_tensor("token_embd.weight", np.zeros((4, 64), dtype=np.float16))
    w.write_header_to_file()
    w.write_kv_data_to_file()
    w.write_tensors_to_file()
    w.close()


class GGUFBytes:
    """A GGUF writer of our own that remembers where every field ends (for truncation tests)."""

    def __init__(self) -> None:
        self.buf = bytearray()
        self.boundaries: list[int] = []

    def _put(self, fmt: str, *values) -> "GGUFBytes":
        self.buf += struct.pack("<" + fmt, *values)
        self.boundaries.append(len(self.buf))
        return self

    def raw(self, data: bytes) -> "GGUFBytes":
        self.buf += data
        self.boundaries.append(len(self.buf))
        return self

    def u32(self, v: int) -> "GGUFBytes":
        return self._put("I", v)

    def u64(self, v: int) -> "GGUFBytes":
        return self._put("Q", v)

    def string(self, s: bytes | str) -> "GGUFBytes":
        data = s.encode() if isinstance(s, str) else s
        return self.u64(len(data)).raw(data)

    def header(self, n_tensors: int, n_kv: int) -> "GGUFBytes":
        return self.raw(b"GGUF").u32(3).u64(n_tensors).u64(n_kv)


def write_safetensors(path: pathlib.Path, header: dict | str | bytes, data: bytes = b"", header_len: int | None = None):
    text = header if isinstance(header, bytes) else (header if isinstance(header, str) else json.dumps(header)).encode()
    n = len(text) if header_len is None else header_len
    path.write_bytes(struct.pack("<Q", n) + text + data)


def detect(path) -> str:
    return FormatDetector.detect(str(path))


# ---- class surface -----------------------------------------------------------------------------------

class TestClassSurface:
    @pytest.mark.parametrize("cls", [FormatDetector, ModelMetadata])
    def test_no_constructor(self, cls):
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls()
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == cls.__name__

    @pytest.mark.parametrize("method", ["detect", "load_metadata"])
    def test_static_methods_and_signatures(self, method, tmp_path):
        fn = getattr(FormatDetector, method)
        assert fn.__text_signature__ == "(path)"
        p = tmp_path / "m.gguf"
        write_llama_gguf(p)
        assert fn(path=str(p)) is not None  # by keyword

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, "FormatDetector.detect() missing 1 required positional argument: 'path'"),
            (("a", "b"), {}, "FormatDetector.detect() takes 1 positional arguments but 2 were given"),
            (("a",), {"path": "a"}, "FormatDetector.detect() got multiple values for argument 'path'"),
            ((), {"file": "a"}, "FormatDetector.detect() got an unexpected keyword argument 'file'"),
            ((pathlib.Path("x"),), {}, "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
            ((b"x",), {}, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        ],
    )
    def test_call_shape_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            FormatDetector.detect(*args, **kwargs)
        assert str(info.value) == message

    def test_properties_in_order_and_read_only(self, tmp_path):
        names = [n for n, v in vars(ModelMetadata).items() if type(v).__name__ == "getset_descriptor"
                 and not n.startswith("__")]
        assert names == PROPERTIES
        p = tmp_path / "m.gguf"
        write_llama_gguf(p)
        m = FormatDetector.load_metadata(str(p))
        with pytest.raises(AttributeError):
            m.num_layers = 3


# ---- detection ---------------------------------------------------------------------------------------

class TestDetect:
    def test_gguf_written_by_the_gguf_package(self, tmp_path):
        p = tmp_path / "model.bin"  # the extension plays no part
        write_llama_gguf(p)
        assert detect(p) == "GGUF"

    def test_safetensors_and_its_quantised_flavours(self, tmp_path):
        p = tmp_path / "model.safetensors"
        write_safetensors(p, {"w": {"dtype": "F32", "shape": [1], "data_offsets": [0, 4]}}, b"\0" * 4)
        assert detect(p) == "safetensors"
        odd = tmp_path / "odd.bin"  # header length 71: its low byte is "G", so not safetensors
        write_safetensors(odd, "{" + " " * 69 + "}")
        (tmp_path / "config.json").write_text('{"quantization_config": {"quant_method": "gptq"}}')
        assert detect(odd) == "GPTQ"
        (tmp_path / "config.json").write_text('{"quant_method": "gptq", "x": "awq"}')
        assert detect(odd) == "AWQ"

    def test_zip_and_onnx(self, tmp_path):
        z = tmp_path / "weights.pt"
        with zipfile.ZipFile(z, "w") as zf:
            zf.writestr("archive/data.pkl", b"x" * 32)
        assert detect(z) == "pytorch_bin"
        onnx = tmp_path / "m.onnx"
        onnx.write_bytes(b"\x08\x07\x12\x07pytorch\x1a\x052.1.0")
        assert detect(onnx) == "ONNX"

    def test_unrecognized_names_the_path(self, tmp_path):
        p = tmp_path / "notes.txt"
        p.write_text("just some text, long enough")
        with pytest.raises(RuntimeError) as info:
            detect(p)
        assert str(info.value) == f"Unrecognized model format for file: {p}"

    def test_bare_file_name_looks_for_config_in_the_current_directory(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        pathlib.Path("model.bin").write_bytes(b"\0" * 16)
        pathlib.Path("config.json").write_text('{"quant_method": "awq"}')
        assert FormatDetector.detect("model.bin") == "AWQ"


# ---- metadata records ------------------------------------------------------------------------------------

class TestLoadMetadata:
    def test_gguf_record_matches_the_writer(self, tmp_path):
        p = tmp_path / "m.gguf"
        write_llama_gguf(p)
        m = FormatDetector.load_metadata(str(p))
        assert type(m) is ModelMetadata
        assert [getattr(m, n) for n in PROPERTIES] == [
            "llama", 2, 64, 4, 2, 100, 512, p.stat().st_size, "GGUF", False, 0, 0,
        ]
        assert repr(m) == "ModelMetadata(arch='llama', layers=2, hidden=64, format='GGUF')"

    def test_gguf_experts(self, tmp_path):
        p = tmp_path / "m.gguf"
        write_llama_gguf(p, experts=8, active=2)
        m = FormatDetector.load_metadata(str(p))
        assert (m.is_moe, m.num_experts, m.num_active_experts) == (True, 8, 2)
        assert repr(m).endswith("format='GGUF', moe=2/8 experts)")

    def test_architecture_prints_unescaped(self, tmp_path):
        p = tmp_path / "m.gguf"
        write_llama_gguf(p, arch="it's")
        assert repr(FormatDetector.load_metadata(str(p))) == "ModelMetadata(arch='it's', layers=2, hidden=64, format='GGUF')"

    def test_safetensors_with_config(self, tmp_path):
        p = tmp_path / "model.safetensors"
        header = {
            "model.layers.0.self_attn.q_proj.weight": {"dtype": "BF16", "shape": [8, 8], "data_offsets": [0, 128]},
            "model.layers.1.mlp.down_proj.weight": {"dtype": "BF16", "shape": [8, 4], "data_offsets": [128, 192]},
            "__metadata__": {"format": "pt"},
        }
        write_safetensors(p, header, b"\0" * 192)
        (tmp_path / "config.json").write_text(json.dumps({
            "model_type": "mixtral", "num_attention_heads": 32, "num_key_value_heads": 8, "vocab_size": 32000,
            "max_position_embeddings": 4096, "num_local_experts": 8,
        }))
        m = FormatDetector.load_metadata(str(p))
        assert [getattr(m, n) for n in PROPERTIES] == [
            "mixtral", 2, 8, 32, 8, 32000, 4096, p.stat().st_size, "safetensors", True, 8, 8,
        ]

    def test_each_property_read_is_a_new_object(self, tmp_path):
        p = tmp_path / "m.gguf"
        write_llama_gguf(p)
        m = FormatDetector.load_metadata(str(p))
        assert m.architecture == m.architecture and m.architecture is not m.architecture

    def test_pytorch_bin_raises_panic_not_exception(self, tmp_path):
        z = tmp_path / "w.bin"
        with zipfile.ZipFile(z, "w") as zf:
            zf.writestr("data.pkl", b"x" * 32)
        with pytest.raises(BaseException) as info:
            try:
                FormatDetector.load_metadata(str(z))
            except Exception:  # must not catch it
                pytest.fail("PanicException was caught as an Exception")
        assert type(info.value).__name__ == "PanicException"
        assert type(info.value).__bases__ == (BaseException,)
        assert str(info.value) == "not yet implemented: PyTorch .bin metadata loading not yet implemented"

    def test_onnx_raises_panic(self, tmp_path):
        p = tmp_path / "m.onnx"
        p.write_bytes(b"\x08\x07" + b"\xff" * 30)
        with pytest.raises(BaseException, match="^not yet implemented: ONNX metadata loading not yet implemented$"):
            FormatDetector.load_metadata(str(p))

    def test_awq_reports_the_safetensors_error(self, tmp_path):
        p = tmp_path / "model.bin"
        p.write_bytes(b"\0" * 16)
        (tmp_path / "config.json").write_text('{"quant_method": "awq"}')
        with pytest.raises(RuntimeError, match="^\\[json.exception.parse_error.101\\] parse error at line 1, column 1"):
            FormatDetector.load_metadata(str(p))


# ---- malformed input -------------------------------------------------------------------------------------------

def load_error(path) -> str:
    with pytest.raises(RuntimeError) as info:
        FormatDetector.load_metadata(str(path))
    return str(info.value)


class TestMalformedInput:
    def test_missing_file_and_directory(self, tmp_path):
        assert load_error(tmp_path / "absent.gguf") == "No such file or directory (os error 2)"
        assert load_error(tmp_path) == "Is a directory (os error 21)"

    def test_embedded_nul_does_not_open_the_file_before_it(self, tmp_path):
        p = tmp_path / "m.gguf"
        write_llama_gguf(p)
        with pytest.raises(RuntimeError, match=r"^Invalid argument \(os error 22\)$"):
            FormatDetector.detect(str(p) + "\0.txt")

    def test_gguf_truncated_at_every_field_boundary(self, tmp_path):
        g = GGUFBytes().header(1, 3)
        g.string("general.architecture").u32(8).string("llama")
        g.string("tokenizer.ggml.tokens").u32(9).u32(8).u64(2).string("a").string("bc")
        g.string("llama.block_count").u32(4).u32(7)
        metadata_end = len(g.buf)
        g.string("blk.0.w").u32(1).u64(4).u32(0).u64(0)
        full = bytes(g.buf) + b"\0" * 64
        p = tmp_path / "m.gguf"
        p.write_bytes(full)
        assert FormatDetector.load_metadata(str(p)).num_layers == 7
        cuts = [b for b in g.boundaries if b < metadata_end] + [b - 1 for b in g.boundaries if 0 < b <= metadata_end]
        for cut in sorted(set(cuts)):
            p.write_bytes(full[:cut])
            assert load_error(p) == "failed to fill whole buffer", cut

    @pytest.mark.parametrize(
        "body, message",
        [
            (GGUFBytes().header(0, 1).u64(1 << 62).raw(b"key"), "failed to fill whole buffer"),  # key length
            (GGUFBytes().header(0, 1).string("k").u32(8).u64(2**64 - 1), "failed to fill whole buffer"),  # string
            (GGUFBytes().header(0, 1).string("k").u32(9).u32(0).u64(1 << 60), "failed to fill whole buffer"),  # array
            (GGUFBytes().header(0, 1).string("k").u32(9).u32(8).u64(2**64 - 1).string("a"), "failed to fill whole buffer"),
            (GGUFBytes().header(0, 2**64 - 1).string("k").u32(0).raw(b"\1"), "failed to fill whole buffer"),
            (GGUFBytes().header(0, 1).string("k").u32(13), "Unknown GGUF value type: 13"),
            (GGUFBytes().header(0, 1).string("k").u32(9).u32(4000000000).u64(1), "Unknown GGUF value type: 4000000000"),
            (GGUFBytes().header(0, 1).string(b"k\xff").u32(0).raw(b"\1"), "Invalid UTF-8 in GGUF string"),
            (GGUFBytes().header(0, 1).string("k").u32(8).string(b"\xed\xa0\x80"), "Invalid UTF-8 in GGUF string"),
        ],
        ids=["key_length", "string_length", "u8_array_count", "string_array_count", "entry_count",
             "value_type_13", "array_type_huge", "key_not_utf8", "surrogate_value"],
    )
    def test_gguf_hostile_lengths_and_types(self, tmp_path, body, message):
        p = tmp_path / "m.gguf"
        p.write_bytes(bytes(body.buf) + b"\0" * 16)
        assert load_error(p) == message

    @pytest.mark.parametrize(
        "header, data, header_len, message",
        [
            ("{}", b"", 2**63, None),  # too short for detection's plausible range: unrecognised
            ("{} x", b"", None, "[json.exception.parse_error.101] parse error at line 1, column 4: syntax "
                                 "error while parsing value - invalid literal; last read: '{} x'; expected end of input"),
            ("[1, 2]", b"", None, "[json.exception.type_error.302] type must be object, but is array"),
            (b'{"\xff": 1}', b"", None, "invalid utf-8 sequence of 1 bytes from index 2"),
            ("{}", b"", 500, "failed to fill whole buffer"),
        ],
        ids=["huge_header_len", "trailing", "array", "not_utf8", "header_len_past_end"],
    )
    def test_safetensors_hostile_headers(self, tmp_path, header, data, header_len, message):
        p = tmp_path / "model.safetensors"
        write_safetensors(p, header, data + b" " * 16, header_len=header_len)
        if message is None:
            assert load_error(p) == f"Unrecognized model format for file: {p}"
            (tmp_path / "config.json").write_text("GPTQ")  # forced to the safetensors reader
            assert load_error(p) == "failed to fill whole buffer"
        else:
            assert load_error(p) == message

    def test_safetensors_hostile_entries_do_not_disturb_metadata(self, tmp_path):
        p = tmp_path / "model.safetensors"
        write_safetensors(p, {
            "x.18446744073709551615.w": {"dtype": "F16", "shape": [2**64 - 1, 2**64 - 1], "data_offsets": [9, 1]},
            "layers.0.w": {"dtype": "F32", "shape": [3, 2**40], "data_offsets": [0, 4]},
            "__metadata__": [[[[["deep"]]]]],
        })
        m = FormatDetector.load_metadata(str(p))
        assert (m.num_layers, m.hidden_size) == (2**64 - 1, 2**40)  # the count saturates instead of wrapping
