"""FormatDetector and ModelMetadata from Python. The readers' algorithms are tested in C++; here is what
the boundary adds (types, exact error texts, PanicException, signatures), on files from real writers."""

import pathlib
import struct
import zipfile

import numpy as np
import pytest

from quillfen._core import FormatDetector, ModelMetadata
from model_files import write_gguf

PROPERTIES = {
    "architecture": str, "num_layers": int, "hidden_size": int, "num_attention_heads": int, "num_kv_heads": int,
    "vocab_size": int, "context_length": int, "file_size": int, "format_name": str, "is_moe": bool,
    "num_experts": int, "num_active_experts": int,
}


def write_llama_gguf(path, **experts):
    write_gguf(path, {"blk.0.attn_norm.weight": np.ones(64), "token_embd.weight": np.zeros((4, 64))},
               keys={"block_count": 2, "embedding_length": 64, "head_count": 4, "head_count_kv": 2,
                     "context_length": 512, "vocab_size": 100, "token_list": ["<s>", "</s>", "h\u00e9"]} | experts)


@pytest.mark.parametrize("cls", [FormatDetector, ModelMetadata])
def test_no_constructor(cls):
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls()
    assert (cls.__module__, cls.__qualname__) == ("builtins", cls.__name__)


def test_bare_file_name_looks_for_config_in_the_current_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    pathlib.Path("model.bin").write_bytes(b"\0" * 16)
    pathlib.Path("config.json").write_text('{"quant_method": "awq"}')
    assert FormatDetector.detect("model.bin") == "AWQ"


@pytest.mark.parametrize("experts, moe, repr_text", [
    ({}, [False, 0, 0], "ModelMetadata(arch='llama', layers=2, hidden=64, format='GGUF')"),
    ({"expert_count": 8, "expert_used_count": 2}, [True, 8, 2],
     "ModelMetadata(arch='llama', layers=2, hidden=64, format='GGUF', moe=2/8 experts)"),
], ids=["dense", "experts"])
def test_gguf_records_match_the_writer(tmp_path, experts, moe, repr_text):
    p = tmp_path / "model.bin"  # the extension plays no part
    write_llama_gguf(p, **experts)
    assert FormatDetector.detect(path=str(p)) == "GGUF"
    m = FormatDetector.load_metadata(path=str(p))
    assert [getattr(m, n) for n in PROPERTIES] == ["llama", 2, 64, 4, 2, 100, 512, p.stat().st_size, "GGUF", *moe]
    assert {n: type(getattr(m, n)) for n in PROPERTIES} == PROPERTIES
    # The properties in this order, and no others.
    assert [n for n, v in vars(ModelMetadata).items() if type(v).__name__ == "getset_descriptor"] == list(PROPERTIES)
    assert type(m) is ModelMetadata and repr(m) == repr_text
    with pytest.raises(AttributeError):
        m.num_layers = 3


@pytest.mark.parametrize("write, text", [
    (lambda p: ((z := zipfile.ZipFile(p, "w")), z.writestr("archive/data.pkl", b"x" * 32), z.close()),
     "not yet implemented: PyTorch .bin metadata loading not yet implemented"),
    (lambda p: p.write_bytes(b"\x08\x07\x12\x07pytorch\x1a\x052.1.0"),
     "not yet implemented: ONNX metadata loading not yet implemented"),
], ids=["zip", "onnx"])
def test_unimplemented_formats_raise_panic_exception(tmp_path, write, text):
    write(tmp_path / "model")
    with pytest.raises(BaseException) as info:
        FormatDetector.load_metadata(str(tmp_path / "model"))
    assert type(info.value).__name__ == "PanicException"
    assert type(info.value).__bases__ == (BaseException,)  # so `except Exception` does not catch it
    assert str(info.value) == text


@pytest.mark.parametrize("write, message", [
    (None, "No such file or directory (os error 2)"),
    (lambda p: p.write_text("just some text, long enough"), "Unrecognized model format for file: {path}"),
    (lambda p: (write_llama_gguf(p), p.write_bytes(p.read_bytes()[:100])), "failed to fill whole buffer"),
    # Its cause, the decoding error, stays behind: Python sees only the top-level text.
    (lambda p: p.write_bytes(b"GGUF" + struct.pack("<IQQQ", 3, 0, 1, 2) + b"k\xff" + b"\0" * 21),
     "Invalid UTF-8 in GGUF string"),
], ids=["missing", "unrecognized", "truncated_gguf", "gguf_key_not_utf8"])
def test_errors_are_runtime_errors_with_the_top_level_text(tmp_path, write, message):
    if write:
        write(tmp_path / "model")
    with pytest.raises(RuntimeError) as info:  # detect's errors: test_input_files.py
        FormatDetector.load_metadata(str(tmp_path / "model"))
    assert str(info.value) == message.format(path=tmp_path / "model")


def test_embedded_nul_does_not_open_the_file_before_it(tmp_path):
    write_llama_gguf(tmp_path / "m.gguf")
    with pytest.raises(RuntimeError, match=r"^Invalid argument \(os error 22\)$"):
        FormatDetector.load_metadata(str(tmp_path / "m.gguf") + "\0.txt")
