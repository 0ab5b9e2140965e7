"""LlamaSession end to end: tiny random GGUF models decoded token by token against a NumPy reference."""

from __future__ import annotations

import contextlib
import importlib.util
import inspect
import math
import pathlib
import re
import struct
import sys
import zlib

import gguf
import numpy as np
import pytest
from gguf import GGMLQuantizationType as Q

from quillfen import _core
from quillfen._core import LlamaSession

_spec = importlib.util.spec_from_file_location("llama_reference", pathlib.Path(__file__).with_name("llama_reference.py"))
ref = sys.modules.setdefault("llama_reference", importlib.util.module_from_spec(_spec))
_spec.loader.exec_module(ref)



@contextlib.contextmanager
def raises_panic(match=None):
    """PanicException is not exported; it is recognised by name and by not being an Exception."""
    with pytest.raises(BaseException) as info:
        yield info
    assert type(info.value).__name__ == "PanicException", repr(info.value)
    assert not isinstance(info.value, Exception)
    if match is not None:
        assert re.search(match, str(info.value)), str(info.value)

PROMPT = [1, 5, 3, 7]
SETTINGS = {
    "greedy": (0.0, 0, 1.0),
    "sampled": (0.9, 12, 0.9),
    "sampled_wide": (1.3, 0, 1.0),
}

# ---- writing models ------------------------------------------------------------------------------

# Block bytes; where the half-precision d and dmin sit; a d that gives weights of about 0.1; and the
# dmin / d ratio that cancels the mean of random quants (scale x quant over min), so weights centre on 0.
K_TYPES = {
    Q.Q2_K: (84, 80, 82, 0.005, 1.5),
    Q.Q3_K: (110, 108, None, 0.002, 0),
    Q.Q4_K: (144, 0, 2, 0.0002, 7.5),
    Q.Q5_K: (176, 0, 2, 0.0001, 15.5),
    Q.Q6_K: (210, 208, None, 0.0001, 0),
}


def _random_k_blocks(rng, rows, cols, qtype):
    """Random K-type blocks with small, finite scales (the gguf package cannot quantise these)."""
    block_bytes, d_at, dmin_at, d, ratio = K_TYPES[qtype]
    raw = rng.integers(0, 256, size=(rows, cols // 256, block_bytes), dtype=np.uint8)
    d_block = rng.uniform(d / 2, d * 2, size=(rows, cols // 256))
    for off, value in ((d_at, d_block), (dmin_at, d_block * ratio)):
        if off is not None:
            raw[:, :, off:off + 2] = value.astype(np.float16).view(np.uint8).reshape(rows, cols // 256, 2)
    return raw.reshape(rows, -1)


def _q8_1_blocks(rng, rows, cols):
    d = rng.uniform(0.001, 0.02, size=(rows, cols // 32)).astype(np.float16)
    qs = rng.integers(-128, 128, size=(rows, cols // 32, 32), dtype=np.int8)
    raw = np.zeros((rows, cols // 32, 36), dtype=np.uint8)
    raw[:, :, 0:2] = d.view(np.uint8).reshape(rows, cols // 32, 2)
    raw[:, :, 2:4] = 0x3C  # s: any half, unused by the decoder
    raw[:, :, 4:] = qs.view(np.uint8)
    values = d.astype(np.float32)[:, :, None] * qs.astype(np.float32)
    return raw.reshape(rows, -1), values.reshape(rows, cols)


def write_gguf(path, tensors, qtype=Q.F32, metadata=None, rng=None, keep_f32=()):
    """Writes `tensors` (name -> float32 array, 2-D for matrices) with every matrix stored as `qtype`
    (except those named in `keep_f32`). Returns name -> the float32 values the runtime should decode."""
    rng = rng or np.random.default_rng(0)
    w = gguf.GGUFWriter(str(path), "llama")
    for key, value in (metadata or {}).items():
        getattr(w, key)(value)
    decoded = {}
    for name, arr in tensors.items():
        arr = np.asarray(arr, dtype=np.float32)
        if arr.ndim == 1 or qtype == Q.F32 or name in keep_f32:
            w.add_tensor(name, arr)
            decoded[name] = arr.ravel()
        elif qtype == Q.F16:
            w.add_tensor(name, arr.astype(np.float16))
            decoded[name] = arr.astype(np.float16).astype(np.float32).ravel()
        elif qtype in K_TYPES:
            raw = _random_k_blocks(rng, *arr.shape, qtype)
            w.add_tensor(name, raw, raw_dtype=qtype)
            decoded[name] = gguf.quants.dequantize(raw, qtype).astype(np.float32).ravel()
        elif qtype == Q.Q8_1:  # the package sizes Q8_1 by an older 40-byte block: pass its byte shape
            raw, values = _q8_1_blocks(rng, *arr.shape)
            w.add_tensor(name, raw, raw_shape=(arr.shape[0], arr.shape[1] // 32 * 40), raw_dtype=qtype)
            decoded[name] = values.ravel()
        elif qtype == Q.Q8_K:  # stored but not decoded by the runtime: zeros
            raw = rng.integers(0, 256, size=(arr.shape[0], arr.shape[1] // 256 * 292), dtype=np.uint8)
            w.add_tensor(name, raw, raw_dtype=qtype)
            decoded[name] = np.zeros(arr.size, np.float32)
        else:
            raw = gguf.quants.quantize(arr, qtype)
            w.add_tensor(name, raw, raw_dtype=qtype)
            decoded[name] = gguf.quants.dequantize(raw, qtype).astype(np.float32).ravel()
    w.write_header_to_file()
    w.write_kv_data_to_file()
    w.write_tensors_to_file()
    w.close()
    return decoded


def random_tensors(rng, *, hidden=32, ffn=64, vocab=48, layers=2, kv_dim=None, tied=False, drop=()):
    def mat(rows, cols, gain=1.5):
        return (rng.standard_normal((rows, cols)) * (gain / math.sqrt(cols))).astype(np.float32)

    kv_dim = hidden // 2 if kv_dim is None else kv_dim
    t = {"token_embd.weight": rng.standard_normal((vocab, hidden)).astype(np.float32),
         "output_norm.weight": (1 + 0.1 * rng.standard_normal(hidden)).astype(np.float32)}
    if not tied:
        t["output.weight"] = mat(vocab, hidden, 3.0)
    for i in range(layers):
        p = f"blk.{i}."
        t[p + "attn_norm.weight"] = (1 + 0.1 * rng.standard_normal(hidden)).astype(np.float32)
        t[p + "attn_q.weight"] = mat(hidden, hidden, 3.0)
        t[p + "attn_k.weight"] = mat(kv_dim, hidden, 3.0)
        t[p + "attn_v.weight"] = mat(kv_dim, hidden)
        t[p + "attn_output.weight"] = mat(hidden, hidden)
        t[p + "ffn_norm.weight"] = (1 + 0.1 * rng.standard_normal(hidden)).astype(np.float32)
        t[p + "ffn_gate.weight"] = mat(ffn, hidden)
        t[p + "ffn_up.weight"] = mat(ffn, hidden)
        t[p + "ffn_down.weight"] = mat(hidden, ffn)
    for name in drop:
        del t[name]
    return t


def head_metadata(heads, kv_heads, rope_base=None, eps=None):
    meta = {"add_head_count": heads, "add_head_count_kv": kv_heads}
    hints = {"head_count": heads, "head_count_kv": kv_heads}
    if rope_base is not None:
        meta["add_rope_freq_base"] = rope_base
        hints["rope_freq_base"] = rope_base
    if eps is not None:
        meta["add_layer_norm_rms_eps"] = eps
        hints["rms_epsilon"] = eps
    return meta, hints


def run(session, tokens, steps, settings):
    """Feeds the prompt, then `steps` generated tokens; returns every returned id."""
    out = []
    with np.errstate(all="ignore"):
        for tok in tokens:
            out.append(session.generate_next_token(tok, *settings))
        for _ in range(steps):
            out.append(session.generate_next_token(out[-1], *settings))
    return out


def assert_matches_reference(path, decoded, hints, settings_names=tuple(SETTINGS), steps=8):
    for name in settings_names:
        got = run(LlamaSession(str(path)), PROMPT, steps, SETTINGS[name])
        want = run(ref.ReferenceSession(decoded, hints), PROMPT, steps, SETTINGS[name])
        assert got == want, name
    return got


# ---- end to end against the reference ------------------------------------------------------------

BLOCK32_TYPES = [Q.F32, Q.F16, Q.Q4_0, Q.Q4_1, Q.Q5_0, Q.Q5_1, Q.Q8_0, Q.Q8_1]


class TestAgainstReference:
    @pytest.mark.parametrize("qtype", BLOCK32_TYPES, ids=lambda q: q.name)
    @pytest.mark.parametrize("with_heads", [False, True], ids=["lengths_only", "head_metadata"])
    def test_small_block_types(self, tmp_path, qtype, with_heads):
        rng = np.random.default_rng(int(qtype) * 10 + with_heads)
        meta, hints = head_metadata(4, 2, 50000.0, 1e-6) if with_heads else ({}, {})
        decoded = write_gguf(tmp_path / "m.gguf", random_tensors(rng), qtype, meta, rng)
        got = assert_matches_reference(tmp_path / "m.gguf", decoded, hints)
        assert len(set(got)) > 2  # the model is not degenerate

    @pytest.mark.parametrize("qtype", list(K_TYPES), ids=lambda q: q.name)
    def test_k_types(self, tmp_path, qtype):
        rng = np.random.default_rng(int(qtype))
        meta, hints = head_metadata(4, 2)
        t = random_tensors(rng, hidden=256, ffn=256, vocab=40, layers=1, kv_dim=128)
        decoded = write_gguf(tmp_path / "m.gguf", t, qtype, meta, rng)
        got = assert_matches_reference(tmp_path / "m.gguf", decoded, hints, ("greedy", "sampled"), steps=4)
        assert len(set(got)) > 1

    @pytest.mark.parametrize("variant", ["tied_embeddings", "zero_layers", "missing_tensors", "layer_gap",
                                         "grouped_kv_by_lengths", "rope_base_only"])
    def test_model_shapes(self, tmp_path, variant):
        rng = np.random.default_rng(zlib.crc32(variant.encode()))
        meta, hints = {}, {}
        if variant == "tied_embeddings":
            t = random_tensors(rng, tied=True)
        elif variant == "zero_layers":
            t = random_tensors(rng, layers=0)
        elif variant == "missing_tensors":
            t = random_tensors(rng, layers=3, drop=["blk.1.attn_q.weight", "blk.0.ffn_norm.weight",
                                                    "blk.2.ffn_gate.weight", "blk.1.attn_norm.weight",
                                                    "blk.2.attn_v.weight"])
        elif variant == "layer_gap":  # blk.1 has no tensors at all and runs on defaults
            t = random_tensors(rng, layers=3)
            t = {k: v for k, v in t.items() if not k.startswith("blk.1.")}
        elif variant == "grouped_kv_by_lengths":  # width-one heads, four queries per key
            t = random_tensors(rng, kv_dim=8)
        else:
            t = random_tensors(rng)
            meta, hints = {"add_rope_freq_base": 1000.0}, {"rope_freq_base": 1000.0}
        decoded = write_gguf(tmp_path / "m.gguf", t, Q.F32, meta, rng)
        assert_matches_reference(tmp_path / "m.gguf", decoded, hints)

    def test_head_count_kv_defaults_to_head_count(self, tmp_path):
        rng = np.random.default_rng(11)
        t = random_tensors(rng, kv_dim=32)
        decoded = write_gguf(tmp_path / "m.gguf", t, Q.F32, {"add_head_count": 8}, rng)
        assert_matches_reference(tmp_path / "m.gguf", decoded, {"head_count": 8})

    def test_long_sequence_keeps_matching(self, tmp_path):
        rng = np.random.default_rng(12)
        meta, hints = head_metadata(4, 1)
        decoded = write_gguf(tmp_path / "m.gguf", random_tensors(rng, layers=1), Q.F32, meta, rng)
        assert_matches_reference(tmp_path / "m.gguf", decoded, hints, ("sampled",), steps=40)


# ---- session behaviour ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def tiny(tmp_path_factory):
    path = tmp_path_factory.mktemp("tiny") / "tiny.gguf"
    rng = np.random.default_rng(3)
    meta, hints = head_metadata(4, 2)
    decoded = write_gguf(path, random_tensors(rng, hidden=16, ffn=32, vocab=24), Q.F32, meta, rng)
    return path, decoded, hints


class TestSession:
    def test_dimensions(self, tiny):
        s = LlamaSession(str(tiny[0]))
        assert (s.vocab_size(), s.num_layers(), s.hidden_dim()) == (24, 2, 16)

    def test_file_without_tensors_gets_the_default_shape(self, tmp_path):
        write_gguf(tmp_path / "empty.gguf", {})
        s = LlamaSession(str(tmp_path / "empty.gguf"))
        assert (s.vocab_size(), s.num_layers(), s.hidden_dim()) == (32000, 0, 4096)
        # zero embedding and output: every logit is equal and greedy takes the last index
        assert s.generate_next_token(1, 0.0, 0, 1.0) == 31999

    def test_path_by_keyword(self, tiny):
        assert LlamaSession(path=str(tiny[0])).vocab_size() == 24

    def test_two_sessions_give_the_same_tokens(self, tiny):
        a = run(LlamaSession(str(tiny[0])), PROMPT, 10, SETTINGS["sampled_wide"])
        b = run(LlamaSession(str(tiny[0])), PROMPT, 10, SETTINGS["sampled_wide"])
        assert a == b

    def test_keyword_call_equals_positional(self, tiny):
        a = LlamaSession(str(tiny[0])).generate_next_token(1, 0.0, 0, 1.0)
        b = LlamaSession(str(tiny[0])).generate_next_token(token_id=1, temperature=0.0, top_k=0, top_p=1.0)
        c = LlamaSession(str(tiny[0])).generate_next_token(1, 0.0, top_p=1.0, top_k=0)
        assert a == b == c

    def test_reset_restarts_the_sequence_but_not_the_random_stream(self, tiny):
        path, decoded, hints = tiny
        s, r = LlamaSession(str(path)), ref.ReferenceSession(decoded, hints)
        first = run(s, PROMPT, 6, SETTINGS["sampled_wide"])
        assert s.reset() is None
        again = run(s, PROMPT, 6, SETTINGS["sampled_wide"])
        run(r, PROMPT, 6, SETTINGS["sampled_wide"])
        r.reset()
        assert again == run(r, PROMPT, 6, SETTINGS["sampled_wide"])
        # greedy decoding does not use the stream, so it repeats exactly after a reset
        s.reset()
        g1 = run(s, PROMPT, 6, SETTINGS["greedy"])
        s.reset()
        assert run(s, PROMPT, 6, SETTINGS["greedy"]) == g1

    def test_token_id_equal_to_vocab_size_is_accepted(self, tiny):
        path, decoded, hints = tiny
        s, r = LlamaSession(str(path)), ref.ReferenceSession(decoded, hints)
        for tok in (s.vocab_size(), 4294967295, 3):
            assert s.generate_next_token(tok, 0.0, 0, 1.0) == r.generate_next_token(tok, 0.0, 0, 1.0)

    @pytest.mark.parametrize("token_id", [-1, 2**32, 2**63 - 1])
    def test_out_of_range_token_id_leaves_position(self, tiny, token_id):
        path, decoded, hints = tiny
        s, r = LlamaSession(str(path)), ref.ReferenceSession(decoded, hints)
        assert s.generate_next_token(2, 0.8, 40, 0.95) == r.generate_next_token(2, 0.8, 40, 0.95)
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            s.generate_next_token(token_id, 0.8, 40, 0.95)
        # nothing advanced: the next step equals the reference's second step
        assert run(s, [4], 5, SETTINGS["sampled"]) == run(r, [4], 5, SETTINGS["sampled"])

    def test_token_id_beyond_64_bits_is_the_interpreters_overflow(self, tiny):
        s = LlamaSession(str(tiny[0]))
        with pytest.raises(OverflowError) as e:
            s.generate_next_token(2**64, 0.8, 40, 0.95)
        assert "out of range integral" not in str(e.value)

    @pytest.mark.parametrize("top_k", [-1, 2**64])
    def test_top_k_out_of_range(self, tiny, top_k):
        path, decoded, hints = tiny
        s, r = LlamaSession(str(path)), ref.ReferenceSession(decoded, hints)
        with pytest.raises(OverflowError) as e:
            s.generate_next_token(5, 0.8, top_k, 0.95)
        assert str(e.value) != "out of range integral type conversion attempted"
        assert run(s, [5], 3, SETTINGS["sampled"]) == run(r, [5], 3, SETTINGS["sampled"])

    @pytest.mark.parametrize("args, name", [
        (("1", 0.8, 40, 0.95), "token_id"), ((1.5, 0.8, 40, 0.95), "token_id"),
        ((1, "hot", 40, 0.95), "temperature"), ((1, 0.8, 4.0, 0.95), "top_k"), ((1, 0.8, 40, None), "top_p")])
    def test_argument_type_errors_name_the_argument(self, tiny, args, name):
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            LlamaSession(str(tiny[0])).generate_next_token(*args)

    def test_number_like_arguments_are_accepted(self, tiny):
        class Index:
            def __init__(self, v):
                self.v = v

            def __index__(self):
                return self.v

        class Floaty:
            def __float__(self):
                return 0.0

        a = LlamaSession(str(tiny[0])).generate_next_token(Index(3), Floaty(), Index(0), 1)
        assert a == LlamaSession(str(tiny[0])).generate_next_token(3, 0.0, 0, 1.0)

    def test_nan_weights_end_in_panic(self, tmp_path):
        rng = np.random.default_rng(4)
        t = random_tensors(rng, layers=1)
        t["output.weight"][3, 0] = np.nan
        write_gguf(tmp_path / "nan.gguf", t)
        s = LlamaSession(str(tmp_path / "nan.gguf"))
        with raises_panic():
            s.generate_next_token(1, 0.0, 0, 1.0)
        with raises_panic():
            s.generate_next_token(1, 0.7, 0, 0.9)

    def test_more_kv_heads_than_heads_panics_without_advancing(self, tmp_path):
        rng = np.random.default_rng(6)
        write_gguf(tmp_path / "m.gguf", random_tensors(rng), Q.F32, head_metadata(2, 4)[0])
        s = LlamaSession(str(tmp_path / "m.gguf"))
        for _ in range(2):
            with raises_panic("^attempt to divide by zero$"):
                s.generate_next_token(1, 0.0, 0, 1.0)

    def test_zero_width_with_query_matrix_panics_at_construction(self, tmp_path):
        write_gguf(tmp_path / "m.gguf", {"output_norm.weight": np.zeros(0, np.float32),
                                         "blk.0.attn_q.weight": np.ones((2, 2), np.float32)})
        with raises_panic("^attempt to divide by zero$"):
            LlamaSession(str(tmp_path / "m.gguf"))


# ---- Python surface ------------------------------------------------------------------------------


class TestSurface:
    def test_text_signatures_and_docstrings(self):
        assert LlamaSession.__text_signature__ == "(path)"
        assert LlamaSession.generate_next_token.__text_signature__ == "($self, token_id, temperature, top_k, top_p)"
        for name in ("reset", "vocab_size", "num_layers", "hidden_dim"):
            method = getattr(LlamaSession, name)
            assert method.__text_signature__ == "($self)"
            assert method.__doc__ is None
        assert LlamaSession.__module__ == "builtins"
        assert LlamaSession.__qualname__ == "LlamaSession"
        assert list(inspect.signature(LlamaSession.generate_next_token).parameters)[1:] == [
            "token_id", "temperature", "top_k", "top_p"]

    @pytest.mark.parametrize("call, message", [
        (lambda s: s.generate_next_token(1, 0.0, 0),
         "LlamaSession.generate_next_token() missing 1 required positional argument: 'top_p'"),
        (lambda s: s.generate_next_token(1),
         "LlamaSession.generate_next_token() missing 3 required positional arguments: 'temperature', 'top_k', and 'top_p'"),
        (lambda s: s.generate_next_token(1, 0.0, 0, 1.0, 5),
         "LlamaSession.generate_next_token() takes 4 positional arguments but 5 were given"),
        (lambda s: s.generate_next_token(1, 0.0, 0, 1.0, seed=3),
         "LlamaSession.generate_next_token() got an unexpected keyword argument 'seed'"),
        (lambda s: s.generate_next_token(1, 0.0, 0, 1.0, token_id=3),
         "LlamaSession.generate_next_token() got multiple values for argument 'token_id'"),
    ])
    def test_call_shape_errors(self, tiny, call, message):
        with pytest.raises(TypeError) as e:
            call(LlamaSession(str(tiny[0])))
        assert str(e.value) == message

    @pytest.mark.parametrize("name", ["reset", "vocab_size", "num_layers", "hidden_dim"])
    def test_argument_free_methods_reject_arguments(self, tiny, name):
        with pytest.raises(TypeError):
            getattr(LlamaSession(str(tiny[0])), name)(1)

    def test_constructor_arguments(self, tmp_path):
        with pytest.raises(TypeError, match=r"^LlamaSession.__new__\(\) missing 1 required positional argument: 'path'$"):
            LlamaSession()
        with pytest.raises(TypeError, match=r"^LlamaSession.__new__\(\) takes 1 positional argument"):
            LlamaSession("a", "b")
        with pytest.raises(TypeError, match=r"^argument 'path': 'PosixPath' object cannot be converted to 'PyString'$"):
            LlamaSession(tmp_path / "m.gguf")
        with pytest.raises(TypeError, match=r"^argument 'path': 'bytes' object cannot be converted to 'PyString'$"):
            LlamaSession(b"m.gguf")

    def test_reentrant_use_during_a_step_is_refused(self, tiny):
        s = LlamaSession(str(tiny[0]))
        seen = []

        class Sneaky:
            def __init__(self, action):
                self.action = action

            def __float__(self):
                try:
                    self.action()
                except RuntimeError as e:
                    seen.append(str(e))
                return 0.0

        s.generate_next_token(1, Sneaky(s.vocab_size), 0, 1.0)
        s.generate_next_token(1, Sneaky(s.reset), 0, 1.0)
        s.generate_next_token(1, 0.0, 0, Sneaky(lambda: s.generate_next_token(1, 0.0, 0, 1.0)))
        assert seen == ["Already mutably borrowed", "Already borrowed", "Already borrowed"]


# ---- malformed files -----------------------------------------------------------------------------


class TestMalformedFiles:
    def test_missing_file(self, tmp_path):
        path = str(tmp_path / "absent.gguf")
        with pytest.raises(RuntimeError, match="^Failed to load model: Failed to open: " + re.escape(path) + "$"):
            LlamaSession(path)

    def test_directory_path(self, tmp_path):
        with pytest.raises(RuntimeError, match="^Failed to load model: "):
            LlamaSession(str(tmp_path))

    def test_every_truncation_loads_or_fails_cleanly(self, tmp_path):
        rng = np.random.default_rng(7)
        full = tmp_path / "full.gguf"
        write_gguf(full, random_tensors(rng, hidden=8, ffn=8, vocab=4, layers=1), Q.F32, head_metadata(2, 1)[0])
        data = full.read_bytes()
        cut = tmp_path / "cut.gguf"
        # every cut through the header and tensor records, then a sample through the data
        for n in list(range(0, 800)) + list(range(800, len(data), 37)) + [len(data) - 1]:
            cut.write_bytes(data[:n])
            try:
                s = LlamaSession(str(cut))
            except RuntimeError as e:
                assert str(e).startswith("Failed to load model: ")
            else:  # cut inside the tensor data: the missing tensors read as zeros
                s.generate_next_token(1, 0.0, 0, 1.0)

    def test_unknown_metadata_value_type(self, tmp_path):
        path = tmp_path / "bad.gguf"
        key = b"general.odd"
        path.write_bytes(b"GGUF" + struct.pack("<IQQ", 3, 0, 1) + struct.pack("<Q", len(key)) + key +
                         struct.pack("<I", 13))
        with pytest.raises(RuntimeError, match="^Failed to load model: Unknown GGUF value type: 13$"):
            LlamaSession(str(path))

    @pytest.mark.parametrize("layer", ["99999999999", "18446744073709551615"])
    def test_huge_block_number_is_refused_before_allocating(self, tmp_path, layer):
        rng = np.random.default_rng(8)
        t = random_tensors(rng, hidden=8, ffn=8, vocab=4, layers=1)
        t[f"blk.{layer}.attn_norm.weight"] = np.ones(8, np.float32)
        write_gguf(tmp_path / "m.gguf", t)
        with pytest.raises(RuntimeError, match="^Failed to load model: Default weights too large: "):
            LlamaSession(str(tmp_path / "m.gguf"))

    def test_moderate_block_number_builds_default_layers(self, tmp_path):
        rng = np.random.default_rng(9)
        t = random_tensors(rng, hidden=8, ffn=8, vocab=4, layers=1)
        t["blk.40.ffn_norm.weight"] = np.ones(8, np.float32)
        decoded = write_gguf(tmp_path / "m.gguf", t)
        s = LlamaSession(str(tmp_path / "m.gguf"))
        assert s.num_layers() == 41
        assert run(s, [1, 2], 3, SETTINGS["sampled"]) == run(ref.ReferenceSession(decoded), [1, 2], 3,
                                                            SETTINGS["sampled"])

    @pytest.mark.parametrize("fields", [
        {"tensor_count": 2**63}, {"n_dims": 2**31}, {"dim": 2**62}, {"name_len": 2**60}])
    def test_hostile_counts(self, tmp_path, fields):
        """A header or tensor record claiming absurd sizes fails cleanly instead of allocating."""
        name = b"output_norm.weight"
        header = b"GGUF" + struct.pack("<IQQ", 3, fields.get("tensor_count", 1), 0)
        n_dims = fields.get("n_dims", 1)
        record = struct.pack("<Q", fields.get("name_len", len(name))) + name + struct.pack("<I", n_dims)
        record += struct.pack("<Q", fields.get("dim", 4)) + struct.pack("<IQ", 0, 0)
        body = header + record
        body += b"\0" * (-len(body) % 32) + b"\0" * 16
        (tmp_path / "h.gguf").write_bytes(body)
        with pytest.raises(RuntimeError, match="^Failed to load model: "):
            LlamaSession(str(tmp_path / "h.gguf"))
