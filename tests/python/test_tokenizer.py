"""quillfen._runtime.Tokenizer: SmolLM2's vocabulary against the reference tokenizer's ids (a fixture that
bench/tokenizer_oracle.py writes), a SentencePiece model trained here against sentencepiece itself, and
vocabulary files that must be refused."""

import json
import pathlib
import random
import sys

import gguf
import pytest

from quillfen._runtime import Tokenizer

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
from smollm2 import smollm2_path  # noqa: E402

ROWS = json.loads((pathlib.Path(__file__).parent / "data" / "smollm2_tokens.json").read_text(encoding="utf-8"))


# ---- SmolLM2: byte-level BPE, pre-tokenizer "smollm" -------------------------------------------------

@pytest.fixture(scope="module")
def smollm2():
    return Tokenizer(str(smollm2_path()))  # downloads the model on first use


def test_smollm2_ids_equal_the_reference_and_decode_back(smollm2):
    # The reference adds no BOS for this vocabulary (add_bos_token false), and matches chat markers whole.
    wrong = [(r["text"], r["ids"], ids) for r in ROWS
             if (ids := smollm2.encode(r["text"], add_special=True, parse_special=True)) != r["ids"]]
    assert not wrong, f"{len(wrong)} of {len(ROWS)} differ, first: {wrong[0]}"
    lost = [r["text"] for r in ROWS if r["roundtrips"]
            and smollm2.decode(smollm2.encode(r["text"], parse_special=True)) != r["text"].encode()]
    assert not lost


def test_smollm2_properties_and_chat_markers(smollm2):
    assert (smollm2.kind, smollm2.pre, smollm2.vocab_size) == ("gpt2", "smollm", 49152)
    assert (smollm2.bos_id, smollm2.eos_id, smollm2.add_bos, smollm2.add_eos) == (1, 2, False, False)
    assert smollm2.token_text(1) == "<|im_start|>" and smollm2.is_end_of_generation(2)
    assert not smollm2.is_end_of_generation(1) and not smollm2.is_end_of_generation(198)

    text = "<|im_start|>user\nHi<|im_end|>"
    parsed = smollm2.encode(text, parse_special=True)
    assert parsed[0] == 1 and parsed[-1] == 2
    plain = smollm2.encode(text)  # control text is ordinary text unless asked
    assert 1 not in plain and 2 not in plain and smollm2.decode(plain) == text.encode()
    assert smollm2.decode(parsed, special=False) == b"user\nHi"


# ---- llama kind: a SentencePiece BPE model trained here ----------------------------------------------

WORDS = ("the of and to in is was for on that with as by at from his her they this have had not are "
         "but which one were all we when there can an been has more who will would time if about "
         "tokenizer merge piece score sentence model vocabulary byte fallback quill feather").split()


def corpus_lines(n):
    rng = random.Random(5)
    lines = []
    for _ in range(n):
        words = [rng.choice(WORDS) for _ in range(rng.randint(3, 12))]
        if rng.random() < 0.3:
            words[0] = words[0].capitalize()
        lines.append(" ".join(words) + rng.choice([".", ",", "!", "?", ""]) + rng.choice(["", " 12", " 7"]))
    return lines


def sentencepiece_gguf(sp, path, user_defined):
    """The model's vocabulary as a llama-kind GGUF vocabulary."""
    def piece_type(i):
        if sp.is_unknown(i):
            return 2
        if sp.is_control(i):
            return 3
        if sp.is_unused(i):
            return 5
        if sp.is_byte(i):
            return 6
        return 4 if sp.id_to_piece(i) in user_defined else 1

    n = sp.get_piece_size()
    w = gguf.GGUFWriter(str(path), "llama")
    w.add_tokenizer_model("llama")
    w.add_token_list([sp.id_to_piece(i) for i in range(n)])
    w.add_token_scores([sp.get_score(i) for i in range(n)])
    w.add_token_types([piece_type(i) for i in range(n)])
    w.add_bos_token_id(sp.bos_id())
    w.add_eos_token_id(sp.eos_id())
    w.add_unk_token_id(sp.unk_id())
    w.add_add_space_prefix(True)
    for step in (w.write_header_to_file, w.write_kv_data_to_file, w.write_tensors_to_file, w.close):
        step()


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    spm = pytest.importorskip("sentencepiece")
    tmp = tmp_path_factory.mktemp("sp")
    (tmp / "corpus.txt").write_text("\n".join(corpus_lines(3000)) + "\n", encoding="utf-8")
    user_defined = ["<ud>"]
    # Identity normalisation keeps the text as given (no NFKC, no folding of space runs), as the GGUF
    # vocabulary carries no normaliser.
    spm.SentencePieceTrainer.train(
        input=str(tmp / "corpus.txt"), model_prefix=str(tmp / "m"), model_type="bpe", vocab_size=400,
        byte_fallback=True, character_coverage=1.0, normalization_rule_name="identity",
        remove_extra_whitespaces=False, user_defined_symbols=user_defined, unk_id=0, bos_id=1, eos_id=2,
        minloglevel=2)
    sp = spm.SentencePieceProcessor(model_file=str(tmp / "m.model"))
    sentencepiece_gguf(sp, tmp / "vocab.gguf", user_defined)
    return sp, Tokenizer(str(tmp / "vocab.gguf"))


@pytest.mark.parametrize("text", [
    "the model was here", "The tokenizer merges, then scores!", "  two leading spaces", "trailing  ", "a  b   c",
    "feather quill 12 7", "line\nbreak", "tab\there", "café naïve", "日本語", "emoji 😀 here", "x\u0301",
    "vocabulary<ud>byte", "one <ud> two", "</s> and <s> are text here", "Z" * 40, "", " ", "▁ already",
    "\u00a0nbsp", "\x00nul",
])
def test_llama_kind_matches_sentencepiece(trained, text):
    sp, tok = trained
    assert tok.kind == "llama" and tok.add_bos and tok.add_space_prefix
    assert tok.encode(text) == [sp.bos_id()] + sp.encode(text)
    assert tok.encode(text, add_special=False) == sp.encode(text)
    # A "▁" in the text is a space to this kind, in both directions, as in sentencepiece itself.
    assert tok.decode(tok.encode(text), special=False, strip_leading_space=True) == text.replace("▁", " ").encode()


# ---- refused vocabularies ------------------------------------------------------------------------------

def vocab_file(path, **edits):
    """A small valid gpt2 vocabulary, with keys replaced (value None: left out)."""
    tokens = ["a", "b", "ab", "<|end|>"]
    keys = {"model": "gpt2", "pre": "gpt2", "tokens": tokens, "types": [1, 1, 1, 3], "merges": ["a b"], "bos": 3}
    keys.update(edits)
    w = gguf.GGUFWriter(str(path), "llama")
    calls = {"model": w.add_tokenizer_model, "pre": w.add_tokenizer_pre, "tokens": w.add_token_list,
             "types": w.add_token_types, "merges": w.add_token_merges, "bos": w.add_bos_token_id}
    for key, value in keys.items():
        if value is not None:
            calls[key](value)
    for step in (w.write_header_to_file, w.write_kv_data_to_file, w.write_tensors_to_file, w.close):
        step()
    return str(path)


def test_a_small_vocabulary_file_loads(tmp_path):
    tok = Tokenizer(vocab_file(tmp_path / "v.gguf"))
    assert tok.encode("abba<|end|>", parse_special=True) == [2, 1, 0, 3]
    assert tok.eot_id is None and tok.bos_id == 3


@pytest.mark.parametrize("edits, names", [
    ({"model": "bert"}, "bert"),
    ({"model": None}, "tokenizer.ggml.model"),
    ({"pre": "klingon"}, "tokenizer.ggml.pre"),
    ({"tokens": []}, "tokenizer.ggml.tokens"),
    ({"types": [1, 1]}, "tokenizer.ggml.token_type"),
    ({"types": [1, 1, 1, 99]}, "tokenizer.ggml.token_type"),
    ({"merges": ["a c"]}, "tokenizer.ggml.merges"),
    ({"merges": ["ab"]}, "tokenizer.ggml.merges"),
    ({"merges": None}, "tokenizer.ggml.merges"),
    ({"bos": 4}, "tokenizer.ggml.bos_token_id"),
])
def test_hostile_vocabularies_are_refused(tmp_path, edits, names):
    with pytest.raises(RuntimeError, match="Failed to load tokenizer") as err:
        Tokenizer(vocab_file(tmp_path / "v.gguf", **edits))
    assert names in str(err.value)


@pytest.mark.parametrize("content", [b"", b"GGUF", b"not a gguf file at all", b"GGUF\x03\x00\x00\x00" + b"\xff" * 16])
def test_files_that_are_not_vocabularies_are_refused(tmp_path, content):
    path = tmp_path / "x.gguf"
    path.write_bytes(content)
    with pytest.raises(RuntimeError, match="Failed to load tokenizer"):
        Tokenizer(str(path))
    with pytest.raises(RuntimeError, match="Failed to load tokenizer"):
        Tokenizer(str(tmp_path / "absent.gguf"))
