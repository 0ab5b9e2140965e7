"""LlamaSession end to end: tiny random GGUF models decoded token by token against a NumPy reference."""

import os
import pathlib
import re
import struct
import warnings
import zlib

import gguf
import numpy as np
import pytest
from gguf import GGMLQuantizationType as Q

from quillfen import _runtime
from quillfen._core import LlamaSession

import llama_reference as ref
from llama_reference import run
from model_files import RANDOM_BLOCKS, TYPES, random_tensors, write_gguf

PROMPT = [1, 5, 3, 7]
GREEDY, SAMPLED, WIDE = (0.0, 0, 1.0), (0.9, 12, 0.9), (1.3, 0, 1.0)


def test_kernels_run_at_the_level_asked_for():
    """Emulated and forced runs name in QUILLFEN_EXPECT_ISA the level they must land on, so a run
    that silently took another path fails instead of passing on the wrong kernels."""
    levels = _runtime.cpu_isas()
    assert levels[0] == "portable" and set(levels) <= {"portable", "avx2", "avx512"}
    expected = os.environ.get("QUILLFEN_EXPECT_ISA") or os.environ.get("QUILLFEN_ISA") or levels[-1]
    assert _runtime.kernel_isa() == expected


HEAD_HINTS = {"head_count": 4, "head_count_kv": 2, "rope_freq_base": 50000.0, "layer_norm_rms_eps": 1e-6}


def case(name, qtype=Q.F32, hints=None, steps=8, refused=None, **shape):
    """`refused`: the text model's reason for refusing a file LlamaSession runs on defaults."""
    # K-type rows hold whole 256-element blocks.
    base = dict(hidden=256, ffn=256, vocab=40, layers=1) if qtype in RANDOM_BLOCKS and qtype != Q.Q8_1 else {}
    return pytest.param(qtype, hints or {}, steps, refused, base | shape, id=name)


# Every stored type once, half of them shaped by metadata hints and half by tensor lengths alone.
CASES = [case(f"{q.name}-{'metadata' if i % 2 else 'lengths_only'}", q, HEAD_HINTS if i % 2 else None)
         for i, q in enumerate(TYPES)] + [
    case("tied_embeddings", Q.F16, tied=True),
    # Found by fuzzing: without layers the step sized its key/value buffers from the claimed heads anyway.
    case("zero_layers_claiming_heads", layers=0, hints={"head_count": 1, "head_count_kv": 2**32 - 1}),
    case("missing_tensors", Q.Q8_0, layers=3, refused="the llama file has no tensor 'blk.0.ffn_norm.weight'", drop=("blk.1.attn_q.", "blk.0.ffn_norm.", "blk.2.ffn_gate.",
                                                    "blk.1.attn_norm.", "blk.2.attn_v.")),
    case("layer_gap", layers=3, drop=("blk.1.",), extra=("blk.6.ffn_norm.weight",),  # blocks 1, 3-5 on defaults
         refused="the llama file has no tensor 'blk.1.attn_norm.weight'"),
    case("grouped_kv_by_lengths", kv_dim=8),  # width-one heads, four queries per key
    case("rope_base_only", hints={"rope_freq_base": 1000.0}),
    case("kv_heads_default_to_heads", hints={"head_count": 8}, kv_dim=32),
    case("one_kv_head_long", hints={"head_count": 4, "head_count_kv": 1}, steps=40, layers=1,
         refused="tensor 'blk.0.attn_k.weight' holds 512 values where the model's dimensions give 256"),
    # "general.alignment" moves the data section and every tensor offset to multiples of 256.
    case("custom_alignment", Q.Q8_0, hints={"custom_alignment": 256}),
]


def with_vocabulary(hints, vocab):
    """A SentencePiece-style vocabulary of `vocab` tokens beside the hints: the text model reads one."""
    return hints | {"tokenizer_model": "llama", "token_list": [f"t{i}" for i in range(vocab)],
                    "token_scores": [0.0] * vocab, "token_types": [1] * vocab}


@pytest.mark.parametrize("qtype, hints, steps, refused, shape", CASES)
def test_decodes_like_the_reference_and_batches_bit_for_bit(tmp_path, request, qtype, hints, steps, refused, shape):
    """Step by step, the session's ids are the reference's. The text model's batches read each weight once
    for all their tokens, yet every logit must be the one-at-a-time bits: 70 tokens span two batches, and a
    batch that starts after cached positions is checked too."""
    rng = np.random.default_rng(zlib.crc32(request.node.name.encode()))
    path = str(tmp_path / "m.gguf")
    tensors = random_tensors(rng, **shape)
    vocab = len(tensors["token_embd.weight"])
    decoded = write_gguf(path, tensors, qtype, with_vocabulary(hints, vocab), rng)
    seen = set()
    for settings in (GREEDY, SAMPLED):
        s, r = LlamaSession(path), ref.ReferenceSession(decoded, hints)
        assert (s.vocab_size(), s.num_layers(), s.hidden_dim()) == (r.c["vocab"], len(r.layers), r.c["hidden"])
        got = run(s, PROMPT, steps, settings)
        assert got == run(r, PROMPT, steps, settings), settings
        seen |= set(got)
    assert len(seen) > 2  # the model is not degenerate

    if refused:  # LlamaSession runs what it is given; the text model runs only what it runs exactly
        with pytest.raises(RuntimeError, match=f"^Failed to load model: {re.escape(refused)}$"):
            _runtime.TextModel(path)
        return
    stepped, batched, split = (_runtime.TextModel(path) for _ in range(3))
    tokens = [int(t) for t in rng.integers(0, vocab, size=70)]
    with np.errstate(all="ignore"):
        want = [stepped.logits(tokens[:i + 1]) for i in range(70)]  # one new token a call
        assert len(want[-1]) == 4 * vocab
        assert batched.logits(tokens) == want[-1]
        assert split.logits(tokens[:5]) == want[4] and split.logits(tokens) == want[-1]
        # Whatever the cache held before, the next token is the one-at-a-time one.
        follow = [m.next_token(tokens + [2], 0.7, 0, 1.0, 0.0, 99)[0] for m in (stepped, batched, split)]
    assert len(set(follow)) == 1


@pytest.fixture(scope="module")
def tiny(tmp_path_factory):
    path = tmp_path_factory.mktemp("tiny") / "tiny.gguf"
    rng = np.random.default_rng(3)
    hints = {"head_count": 4, "head_count_kv": 2}
    decoded = write_gguf(path, random_tensors(rng, hidden=16, ffn=32, vocab=24), Q.F32, hints, rng)
    return lambda: (LlamaSession(str(path)), ref.ReferenceSession(decoded, hints))


def test_same_tokens_across_sessions_and_after_reset(tiny):
    (s, r), (other, _) = tiny(), tiny()
    tokens = [1, s.vocab_size(), 4294967295, 3]  # ids past the vocabulary embed as zeros
    first = run(s, tokens, 10, WIDE)
    assert first == run(other, tokens, 10, WIDE) == run(r, tokens, 10, WIDE)
    assert s.reset() is r.reset() is None
    again = run(s, tokens, 10, WIDE)
    assert again == run(r, tokens, 10, WIDE) and again != first  # the random stream went on


@pytest.mark.parametrize("args, error, message", [
    ((-1, 0.8, 40, 0.95), OverflowError, "^out of range integral type conversion attempted$"),
    ((2**32, 0.8, 40, 0.95), OverflowError, "^out of range integral type conversion attempted$"),
    ((2**64, 0.8, 40, 0.95), OverflowError, "^Python int too large to convert to C long$"),
    ((5, 0.8, -1, 0.95), OverflowError, "^can't convert negative int to unsigned$"),
    ((1.5, 0.8, 40, 0.95), TypeError, "^argument 'token_id': "),
    ((1, "hot", 40, 0.95), TypeError, "^argument 'temperature': "),
    ((1, 0.8, 40, None), TypeError, "^argument 'top_p': "),
])
def test_conversion_errors_leave_the_position(tiny, args, error, message):
    s, r = tiny()
    assert s.generate_next_token(2, *SAMPLED) == r.generate_next_token(2, *SAMPLED)
    with pytest.raises(error, match=message):
        s.generate_next_token(*args)
    # As if the failed call never happened; keywords in any order and number-like objects are accepted.
    first = s.generate_next_token(top_p=np.float32(0.9), top_k=np.uint8(12), temperature=np.float32(0.9),
                                  token_id=np.int64(4))
    assert [first, *run(s, [first], 4, SAMPLED)] == run(r, [4], 5, SAMPLED)


def test_faults_surface_as_panic(tmp_path):
    t = random_tensors(np.random.default_rng(4), layers=1)
    t["output.weight"][3, 0] = np.nan  # the sampler meets NaN
    write_gguf(tmp_path / "nan.gguf", t)
    s = LlamaSession(str(tmp_path / "nan.gguf"))
    write_gguf(tmp_path / "h0.gguf", {"output_norm.weight": np.zeros(0), "blk.0.attn_q.weight": np.ones((2, 2))})
    for call in (lambda: s.generate_next_token(1, *GREEDY), lambda: s.generate_next_token(1, *SAMPLED),
                 lambda: LlamaSession(str(tmp_path / "h0.gguf"))):
        with pytest.raises(BaseException) as info:  # PanicException is not exported, nor an Exception
            call()
        assert type(info.value).__name__ == "PanicException" and not isinstance(info.value, Exception)
    assert str(info.value) == "attempt to divide by zero"


def test_registration_and_a_call_missing_arguments(tiny):  # signatures: test_surface.py
    assert (LlamaSession.__module__, LlamaSession.__qualname__) == ("builtins", "LlamaSession")
    with pytest.raises(TypeError, match="^LlamaSession.generate_next_token\\(\\) missing 3 required positional "
                                        "arguments: 'temperature', 'top_k', and 'top_p'$"):
        tiny()[0].generate_next_token(1)


def test_reentrant_use_during_a_step_is_refused(tiny):
    s, seen = tiny()[0], []

    def sneaky(action):  # converted to float while the step holds the session
        def convert(self):
            try:
                action()
            except RuntimeError as e:
                seen.append(str(e))
            return 0.0
        return type("Sneaky", (), {"__float__": convert})()

    s.generate_next_token(1, sneaky(s.vocab_size), 0, 1.0)
    s.generate_next_token(1, 0.0, 0, sneaky(lambda: s.generate_next_token(1, 0.0, 0, 1.0)))
    assert seen == ["Already mutably borrowed", "Already borrowed"]


@pytest.mark.parametrize("content, message", [
    pytest.param(None, "Failed to open: {path}$", id="missing_file"),
    pytest.param({"output_norm.weight": np.ones(8), "blk.18446744073709551615.ffn_norm.weight": np.ones(8)},
                 r"Tensor 'blk\.18446744073709551615\.ffn_norm\.weight' with dimensions \[8\] makes "
                 "18446744073709551616 layers, which would need more than 18446744073709551615 bytes of working "
                 "memory, beyond the 67108864 bytes a model from a 256-byte file may use$", id="largest_block_number"),
])
def test_malformed_files_fail_to_load(tmp_path, content, message):
    path = tmp_path / "m.gguf"
    if content:
        write_gguf(path, content)
    with pytest.raises(RuntimeError, match="^Failed to load model: " + message.format(path=re.escape(str(path)))):
        LlamaSession(str(path))


def load_warnings(path):
    """(the session or the RuntimeError's text, the texts of the warnings the load gave)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = LlamaSession(str(path))
        except RuntimeError as e:
            result = str(e)
    assert all(w.category is RuntimeWarning for w in caught)
    return result, [str(w.message) for w in caught]


def test_truncated_files_load_or_fail_cleanly_and_warn(tmp_path):
    full, cut = tmp_path / "full.gguf", tmp_path / "cut.gguf"
    write_gguf(full, random_tensors(np.random.default_rng(7), hidden=8, ffn=8, vocab=4, layers=1), Q.F32,
               {"head_count": 2, "head_count_kv": 1})
    data = full.read_bytes()
    ends = [(t.name, int(t.data_offset) + int(t.n_bytes)) for t in gguf.GGUFReader(full).tensors]  # the oracle
    assert full.stat().st_size == max(end for _, end in ends)
    loaded = 0
    for n in range(0, len(data), 13):  # through the header, metadata, tensor records and data
        cut.write_bytes(data[:n])
        s, texts = load_warnings(cut)
        if isinstance(s, str):
            assert (s, texts) == ("Failed to load model: failed to fill whole buffer", [])
            continue
        loaded += 1  # cut inside the tensor data: the missing tensors read as zeros, and the user hears of it
        past = [name for name, end in ends if end > n]
        assert texts == [f"{cut}: the data of {len(past)} tensor{'s' if len(past) > 1 else ''}, the first "
                         f"'{past[0]}', runs past the end of the file and reads as zeros; the file may be truncated"]
        s.generate_next_token(1, 0.0, 0, 1.0)
    assert loaded > 10
    assert load_warnings(full)[1] == []


def test_files_without_the_magic_load_with_a_warning(tmp_path):
    path = tmp_path / "zeros.bin"
    path.write_bytes(bytes(24))  # no tensors, no metadata: every dimension takes its default
    s, texts = load_warnings(path)
    assert (s.hidden_dim(), s.num_layers(), s.vocab_size()) == (4096, 0, 32000)
    assert texts == [f"{path} does not start with the GGUF magic; it was read as GGUF anyway"]
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a warning made an error fails the load
        with pytest.raises(RuntimeWarning, match="does not start with the GGUF magic"):
            LlamaSession(str(path))


def tensor_file(path, records, data=b""):
    """A GGUF file of tensor records (name, dims, type code, offset) and the data section `data`."""
    out = b"GGUF" + struct.pack("<IQQ", 3, len(records), 0)
    for name, dims, code, offset in records:
        out += struct.pack("<Q", len(name)) + name.encode() + struct.pack(f"<I{len(dims)}QIQ", len(dims), *dims,
                                                                              code, offset)
    path.write_bytes(out + bytes(-len(out) % 32) + data)


# Dimensions a few records claim without holding their data: each would make the step's vectors or the
# layers' defaults take many GiB; refused, naming the tensor, before anything is allocated.
@pytest.mark.parametrize("records, blamed", [
    pytest.param([("output_norm.weight", (2**32 + 32, 1), 0, 0)], "'output_norm.weight' with dimensions "
                 r"\[4294967328, 1\]", id="norm_2^32+32"),
    pytest.param([("output_norm.weight", (64,), 0, 0), ("token_embd.weight", (64, 2**31), 8, 256)],
                 r"'token_embd\.weight' with dimensions \[64, 2147483648\]", id="vocab_2^31"),
    pytest.param([("output_norm.weight", (64,), 0, 0), ("token_embd.weight", (256, 16777253), 200, 256)],
                 r"'token_embd\.weight' with dimensions \[256, 16777253\]", id="vocab_of_unknown_type"),  # found by fuzzing
    pytest.param([("output_norm.weight", (64,), 0, 0), ("blk.0.attn_q.weight", (32,), 0, 0),
                  ("blk.0.attn_k.weight", (64, 2**26), 0, 0)],  # no query heads: found by fuzzing
                 r"'blk\.0\.attn_k\.weight' with dimensions \[64, 67108864\]", id="keys_without_query_heads"),
    pytest.param([("output_norm.weight", (64,), 0, 0), ("blk.0.ffn_gate.weight", (64, 2**32), 2, 256)],
                 r"'blk\.0\.ffn_gate\.weight' with dimensions \[64, 4294967296\]", id="ffn_2^32"),
    pytest.param([("output_norm.weight", (64,), 0, 0), ("blk.400000000.attn_norm.weight", (64,), 0, 0)],
                 r"'blk\.400000000\.attn_norm\.weight' with dimensions \[64\] makes 400000001 layers, which",
                 id="layers"),
])
def test_dimensions_the_file_cannot_back_are_refused(tmp_path, records, blamed):
    path = tmp_path / "m.gguf"
    tensor_file(path, records, np.ones(64, np.float32).tobytes())
    size = path.stat().st_size
    with pytest.raises(RuntimeError, match=f"^Failed to load model: Tensor {blamed} would need [0-9]+ bytes of "
                                           f"working memory, beyond the 67108864 bytes a model from a {size}-byte "
                                           "file may use$"):
        LlamaSession(str(path))
    # Just inside the bound the same shapes load, their absent data holding no storage; a norm claiming
    # 520M values (found by fuzzing) keeps only its first H.
    tensor_file(path, [("output_norm.weight", (64,), 0, 0), ("token_embd.weight", (64, 2**14), 8, 256),
                       ("blk.0.ffn_gate.weight", (64, 2**14), 2, 256), ("blk.99.attn_q.weight", (2**40,), 0, 0),
                       ("blk.0.ffn_norm.weight", (520093728,), 0, 0)],
                np.ones(64, np.float32).tobytes())
    s, texts = load_warnings(path)
    assert (s.hidden_dim(), s.num_layers(), s.vocab_size()) == (64, 100, 2**14) and len(texts) == 1
    s.generate_next_token(1, *GREEDY)


def test_text_model_refuses_contexts_and_arguments_it_cannot_take(tmp_path):
    path = str(tmp_path / "m.gguf")
    tensors = random_tensors(np.random.default_rng(0))
    write_gguf(path, tensors, Q.F32, with_vocabulary({"context_length": 8}, len(tensors["token_embd.weight"])))
    m = _runtime.TextModel(path)
    for context, error, message in [([], ValueError, "empty"), ([1] * 9, ValueError, "context length 8"),
                                    ([10**6], ValueError, "outside the vocabulary"),
                                    ([1.5], TypeError, "^argument 'context': "), ([2**32], OverflowError, "range")]:
        with pytest.raises(error, match=message):
            m.logits(context)
    # Arguments of the wrong type name the parameter and the type as Python's own functions do.
    for call, text in [(lambda: m.logits(None), "argument 'context': expected a sequence of token ids, got NoneType"),
                       (lambda: m.tokenizer.encode(None), "argument 'text': expected str, got NoneType"),
                       (lambda: _runtime.Tokenizer(path.encode()), "argument 'path': expected str, got bytes"),
                       (lambda: _runtime.TextModel(path, progress=1),
                        "argument 'progress': expected LoadProgress or None, got int"),
                       (lambda: _runtime.describe(pathlib.Path(path)), "argument 'path': expected str, got PosixPath")]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == text
