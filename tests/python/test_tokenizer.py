"""quillfen._runtime.Tokenizer: SmolLM2's vocabulary against the reference tokenizer's ids (a fixture that
bench/tokenizer_oracle.py writes), a SentencePiece model trained here against sentencepiece itself, and
files that must be refused."""

import json
import pathlib
import random
import sys

import pytest

from quillfen._runtime import Tokenizer
from model_files import write_gguf

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

    def piece_type(i):  # as a llama-kind GGUF vocabulary numbers them
        for code, test in ((2, sp.is_unknown), (3, sp.is_control), (5, sp.is_unused), (6, sp.is_byte)):
            if test(i):
                return code
        return 4 if sp.id_to_piece(i) in user_defined else 1

    n = sp.get_piece_size()
    write_gguf(tmp / "vocab.gguf", keys={
        "tokenizer_model": "llama", "token_list": [sp.id_to_piece(i) for i in range(n)],
        "token_scores": [sp.get_score(i) for i in range(n)], "token_types": [piece_type(i) for i in range(n)],
        "bos_token_id": sp.bos_id(), "eos_token_id": sp.eos_id(), "unk_token_id": sp.unk_id(),
        "add_space_prefix": True})
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
    # A "▁" in the text is a space to this kind, in both directions, as in sentencepiece itself; the space
    # prefix comes back unless stripped, and the BOS text when special tokens are shown.
    spaced = text.replace("▁", " ")
    ids = tok.encode(text)
    assert tok.decode(ids, special=False, strip_leading_space=True) == spaced.encode()
    assert tok.decode(ids, special=True, strip_leading_space=True) == ("<s>" + spaced).encode()
    assert tok.decode(ids, special=False) == (" " + spaced if text else "").encode()


# ---- files that are refused ---------------------------------------------------------------------------

VOCAB = {"tokenizer_model": "gpt2", "tokenizer_pre": "gpt2", "token_list": ["a", "b", "ab", "<|end|>"],
         "token_types": [1, 1, 1, 3], "token_merges": ["a b"], "bos_token_id": 3}


def test_a_small_vocabulary_file_loads(tmp_path):
    write_gguf(tmp_path / "v.gguf", keys=VOCAB)
    tok = Tokenizer(str(tmp_path / "v.gguf"))
    assert tok.encode("abba<|end|>", parse_special=True) == [2, 1, 0, 3]
    assert tok.eot_id is None and tok.bos_id == 3


# Every refusal rule is tested in C++ on vocabularies built in memory (TokVocabulary.HostileMetadataIsAnError-
# NamingTheKey); here, one edit and one missing key from the package's writer (a dict edits VOCAB, None leaving
# a key out) and files that are no vocabulary reach Python with the reason.
@pytest.mark.parametrize("content, reason", [
    ({"tokenizer_model": "bert"}, "bert"),
    ({"tokenizer_model": None}, "tokenizer.ggml.model"),
    (b"not a gguf file at all", "Not a GGUF file"),
    (b"GGUF\x03\x00\x00\x00" + b"\xff" * 16, "failed to fill whole buffer"),
    (None, "No such file or directory"),
])
def test_refused_files_raise_with_the_reason(tmp_path, content, reason):
    path = tmp_path / "v.gguf"
    if isinstance(content, dict):
        write_gguf(path, keys={k: v for k, v in (VOCAB | content).items() if v is not None})
    elif content is not None:
        path.write_bytes(content)
    with pytest.raises(RuntimeError, match="^Failed to load tokenizer: ") as err:
        Tokenizer(str(path))
    assert reason in str(err.value)
