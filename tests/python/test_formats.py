"""FormatDetector and ModelMetadata from Python. The readers' algorithms are tested in C++; here is what
the boundary adds (types, exact error texts, PanicException, signatures) on files from real writers."""

from __future__ import annotations

import json
import pathlib
import struct
import zipfile

import numpy as np
import pytest

gguf = pytest.importorskip("gguf")

from quillfen._core import FormatDetector, ModelMetadata  # noqa: E402

PROPERTIES = {
    "architecture": str, "num_layers": int, "hidden_size": int, "num_attention_heads": int, "num_kv_heads": int,
    "vocab_size": int, "context_length": int, "file_size": int, "format_name": str, "is_moe": bool,
    "num_experts": int, "num_active_experts": int,
}


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


def write_safetensors(path: pathlib.Path, header: dict, data: bytes = b"") -> None:
    text = json.dumps(header).encode()
    path.write_bytes(struct.pack("<Q", len(text)) + text + data)


def write_zip(path: pathlib.Path) -> None:
    with zipfile.ZipFile(path, "w") as zf:
        zf.writestr("archive/data.pkl", b"x" * 32)


def write_onnx(path: pathlib.Path) -> None:
    path.write_bytes(b"\x08\x07\x12\x07pytorch\x1a\x052.1.0")


def load_error(path) -> str:
    with pytest.raises(RuntimeError) as info:
        FormatDetector.load_metadata(str(path))
    return str(info.value)


class TestClassSurface:
    @pytest.mark.parametrize("cls", [FormatDetector, ModelMetadata])
    def test_no_constructor(self, cls):
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls()
        assert (cls.__module__, cls.__qualname__) == ("builtins", cls.__name__)

    @pytest.mark.parametrize("method", ["detect", "load_metadata"])
    def test_static_methods_take_path_by_keyword(self, method, tmp_path):
        fn = getattr(FormatDetector, method)
        assert fn.__text_signature__ == "(path)"
        write_llama_gguf(tmp_path / "m.gguf")
        assert fn(path=str(tmp_path / "m.gguf")) is not None

    @pytest.mark.parametrize(
        "method, args, kwargs, message",
        [
            ("detect", (), {}, "FormatDetector.detect() missing 1 required positional argument: 'path'"),
            ("load_metadata", ("a", "b"), {}, "FormatDetector.load_metadata() takes 1 positional arguments but 2 were given"),
            ("load_metadata", ("a",), {"path": "a"}, "FormatDetector.load_metadata() got multiple values for argument 'path'"),
            ("detect", (), {"file": "a"}, "FormatDetector.detect() got an unexpected keyword argument 'file'"),
            ("detect", (b"x",), {}, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        ],
    )
    def test_call_shape_errors(self, method, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            getattr(FormatDetector, method)(*args, **kwargs)
        assert str(info.value) == message

    def test_properties_in_order_typed_and_read_only(self, tmp_path):
        names = [n for n, v in vars(ModelMetadata).items() if type(v).__name__ == "getset_descriptor"
                 and not n.startswith("__")]
        assert names == list(PROPERTIES)
        write_llama_gguf(tmp_path / "m.gguf")
        m = FormatDetector.load_metadata(str(tmp_path / "m.gguf"))
        assert {n: type(getattr(m, n)) for n in PROPERTIES} == PROPERTIES
        with pytest.raises(AttributeError):
            m.num_layers = 3


class TestDetect:
    @pytest.mark.parametrize(
        "name, write, expected",
        [
            ("model.bin", write_llama_gguf, "GGUF"),  # the extension plays no part
            ("m.safetensors", lambda p: write_safetensors(p, {"w": {"dtype": "F32", "shape": [1],
                                                                    "data_offsets": [0, 4]}}, b"\0" * 4), "safetensors"),
            ("weights.pt", write_zip, "pytorch_bin"),
            ("m.onnx", write_onnx, "ONNX"),
        ],
    )
    def test_files_from_real_writers(self, tmp_path, name, write, expected):
        write(tmp_path / name)
        assert FormatDetector.detect(str(tmp_path / name)) == expected

    def test_bare_file_name_looks_for_config_in_the_current_directory(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        pathlib.Path("model.bin").write_bytes(b"\0" * 16)
        pathlib.Path("config.json").write_text('{"quant_method": "awq"}')
        assert FormatDetector.detect("model.bin") == "AWQ"

    def test_unrecognized_raises_runtime_error_naming_the_path(self, tmp_path):
        (tmp_path / "notes.txt").write_text("just some text, long enough")
        with pytest.raises(RuntimeError, match="^Unrecognized model format for file: .*notes.txt$"):
            FormatDetector.detect(str(tmp_path / "notes.txt"))


class TestLoadMetadata:
    @pytest.mark.parametrize(
        "kwargs, moe, repr_text",
        [
            ({}, [False, 0, 0], "ModelMetadata(arch='llama', layers=2, hidden=64, format='GGUF')"),
            ({"experts": 8, "active": 2}, [True, 8, 2],
             "ModelMetadata(arch='llama', layers=2, hidden=64, format='GGUF', moe=2/8 experts)"),
            ({"arch": "it's"}, [False, 0, 0], "ModelMetadata(arch='it's', layers=2, hidden=64, format='GGUF')"),
        ],
    )
    def test_gguf_records_match_the_writer(self, tmp_path, kwargs, moe, repr_text):
        p = tmp_path / "m.gguf"
        write_llama_gguf(p, **kwargs)
        m = FormatDetector.load_metadata(str(p))
        assert type(m) is ModelMetadata
        assert [getattr(m, n) for n in PROPERTIES] == [
            kwargs.get("arch", "llama"), 2, 64, 4, 2, 100, 512, p.stat().st_size, "GGUF", *moe]
        assert repr(m) == repr_text

    def test_safetensors_with_config(self, tmp_path):
        p = tmp_path / "model.safetensors"
        write_safetensors(p, {
            "model.layers.0.self_attn.q_proj.weight": {"dtype": "BF16", "shape": [8, 8], "data_offsets": [0, 128]},
            "model.layers.1.mlp.down_proj.weight": {"dtype": "BF16", "shape": [8, 4], "data_offsets": [128, 192]},
            "__metadata__": {"format": "pt"},
        }, b"\0" * 192)
        (tmp_path / "config.json").write_text(json.dumps({
            "model_type": "mixtral", "num_attention_heads": 32, "num_key_value_heads": 8, "vocab_size": 32000,
            "max_position_embeddings": 4096, "num_local_experts": 8,
        }))
        m = FormatDetector.load_metadata(str(p))
        assert [getattr(m, n) for n in PROPERTIES] == [
            "mixtral", 2, 8, 32, 8, 32000, 4096, p.stat().st_size, "safetensors", True, 8, 8]

    @pytest.mark.parametrize("write, text", [
        (write_zip, "not yet implemented: PyTorch .bin metadata loading not yet implemented"),
        (write_onnx, "not yet implemented: ONNX metadata loading not yet implemented"),
    ])
    def test_unimplemented_formats_raise_panic_exception(self, tmp_path, write, text):
        write(tmp_path / "model")
        with pytest.raises(BaseException) as info:
            try:
                FormatDetector.load_metadata(str(tmp_path / "model"))
            except Exception:  # must not catch it
                pytest.fail("PanicException was caught as an Exception")
        assert type(info.value).__name__ == "PanicException"
        assert type(info.value).__bases__ == (BaseException,)
        assert str(info.value) == text


def truncated_gguf(p: pathlib.Path) -> None:
    write_llama_gguf(p)
    p.write_bytes(p.read_bytes()[:100])  # inside the metadata


def gguf_with_bad_key(p: pathlib.Path) -> None:
    p.write_bytes(b"GGUF" + struct.pack("<IQQQ", 3, 0, 1, 2) + b"k\xff" + struct.pack("<I", 0) + b"\1" + b"\0" * 16)


def awq_without_safetensors(p: pathlib.Path) -> None:
    p.write_bytes(b"\0" * 16)
    (p.parent / "config.json").write_text('{"quant_method": "awq"}')


class TestErrors:
    """Every error reaches Python as RuntimeError with the top-level text only, causes left out."""

    @pytest.mark.parametrize("write, message", [
        (None, "No such file or directory (os error 2)"),
        (lambda p: p.mkdir(), "Is a directory (os error 21)"),
        (lambda p: p.write_bytes(b"GGUF" + b"\0" * 11), "failed to fill whole buffer"),
        (truncated_gguf, "failed to fill whole buffer"),
        (gguf_with_bad_key, "Invalid UTF-8 in GGUF string"),
        (awq_without_safetensors, "[json.exception.parse_error.101] parse error at line 1, column 1: syntax error "
                                  "while parsing value - unexpected end of input; expected '[', '{', or a literal"),
    ], ids=["missing", "directory", "short_file", "truncated_gguf", "gguf_key_not_utf8", "awq_reads_as_safetensors"])
    def test_load_metadata_errors(self, tmp_path, write, message):
        if write:
            write(tmp_path / "model")
        assert load_error(tmp_path / "model") == message

    def test_embedded_nul_does_not_open_the_file_before_it(self, tmp_path):
        write_llama_gguf(tmp_path / "m.gguf")
        assert load_error(str(tmp_path / "m.gguf") + "\0.txt") == "Invalid argument (os error 22)"
