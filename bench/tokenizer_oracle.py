"""Token ids of SmolLM2-135M-Instruct's vocabulary from the reference tokenizer, and quillfen's beside them.

The reference is transformers' tokenizer built from the same GGUF file (`AutoTokenizer.from_pretrained(dir,
gguf_file=...)`), run in the reference venv of bench/reference_tokens.py (built on first use). The file
says pre-tokenizer "smollm", which transformers' GGUF loader does not know: it falls back to the plain
GPT-2 split. SmolLM2's own tokenizer.json splits every digit off first ([Digits(individual_digits),
ByteLevel]), so that is what the reference is given here; --as-loaded keeps the loader's choice to
show what differs.

    python bench/tokenizer_oracle.py            # writes tests/python/data/smollm2_tokens.json
    python bench/tokenizer_oracle.py --live     # a larger generated corpus, compared with quillfen
    python bench/tokenizer_oracle.py --live --llamacpp   # llama.cpp's tokenizer too, where it is built

Special tokens in the text are matched (quillfen: parse_special=True); the reference's own choice of
BOS/EOS is kept (SmolLM2 says add_bos_token false, and the script prints what the reference did).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

FIXTURE = HERE.parent / "tests" / "python" / "data" / "smollm2_tokens.json"
LLAMACPP_PY = HERE / ".cache" / "llamacpp-venv" / "bin" / "python"


# ---- the corpus --------------------------------------------------------------------------------------

ENGLISH = [
    "Hello world", "Hello, world!", "The quick brown fox jumps over the lazy dog.",
    "I can't believe it's not butter.", "They'll say we've done what I'd have done.", "DON'T SHOUT, I'M HERE",
    "She said: \"Yes.\" Then left...", "e-mail, well-known, state-of-the-art", "What's up? Nothing much!",
    "Mr. Smith (aged 42) moved to the U.S.A. in 1999.", "a b c d e f g", "Once upon a time, in a land far away,",
    "The results (see Table 3) were significant (p < 0.05).", "semi;colons: and—dashes – everywhere",
    "“Curly quotes” and ‘single ones’", "Question?! Exclamation!? Ellipsis…", "#hashtag @mention $dollar %percent",
    "lowercase UPPERCASE CamelCase snake_case kebab-case", "Tokenization is the first step.",
]
CODE = [
    "def f(x):\n    return x * 2\n", "for (int i = 0; i < n; ++i) {\n\tsum += a[i];\n}",
    '{"key": [1, 2, 3], "nested": {"a": null}}', "x = y + z  # comment", "if (a && b || !c) return;",
    "SELECT * FROM users WHERE id = 7;", "<div class=\"x\">text</div>", "import numpy as np\nnp.zeros((3, 4))",
    "fn main() { println!(\"{}\", 1); }", "    indented\n        more\n", "a->b::c.d[e]", "$ ls -la | grep '.py'",
    "#include <stdio.h>\nint main(void) { return 0; }", "print(f'{value:>10.3f}')", "λx. x + 1",
]
WHITESPACE = [
    " ", "  ", "   ", "\t", "\n", "\n\n", "\n\n\n", "\r\n", " \n ", "a  b", "a   b", "a\tb", "a \t b", " leading",
    "trailing ", "  both  ", "line1\nline2", "line1\n\nline2", "para\n\n\n\nnext", "x\r\ny", "tab\t\tend",
    " \t\n\r ", "word \n", "\n word", "end\n", "a\u00a0b", "a\u3000b", "a\u2028b", "a\u0085b", "a\u2009b",
    "a\u200bb", "  1", "a  1", "x \n 2",
]
DIGITS = [
    "123", "1234567890", "3.14159", "1,234,567.89", "year 2024", "a1b2c3", " 42", "007", "-5", "+1e10",
    "0x1F", "12:30", "2024-01-31", "٣٤٥", "①②③", "½ cup", "Ⅻ", "१२३", "１２３", "9" * 40, "4th 21st 3rd",
]
ACCENTED = [
    "café", "naïve", "Ångström", "Zürich", "façade", "résumé", "El Niño", "São Paulo", "Kraków", "Ærø",
    "cafe\u0301", "e\u0301\u0301", "Ça va? Très bien.", "straße", "İstanbul", "ǅ ǈ ǋ",
]
SCRIPTS = [
    "Привет, мир!", "Съешь же ещё этих мягких французских булок", "Ελληνικά γράμματα", "你好，世界！",
    "我爱自然语言处理", "日本語のテキストです。", "カタカナとひらがな", "한국어 텍스트", "مرحبا بالعالم", "שלום עולם",
    "नमस्ते दुनिया", "สวัสดีชาวโลก", "Tiếng Việt có dấu", "ქართული", "Հայերեն", "𝔘𝔫𝔦𝔠𝔬𝔡𝔢", "𝟙𝟚𝟛",
]
EMOJI = [
    "😀", "😀😀😀", "I ❤️ you", "👩‍💻", "👨‍👩‍👧‍👦 family", "🇺🇸🇫🇷", "👍🏽", "🤖 robot", "☃", "✓ done ✗ not",
    "🏳️‍🌈", "smile:)😊", "a😀b", "👍👍 👍",
]
SPECIAL = [
    "<|im_start|>system\nYou are helpful.<|im_end|>\n<|im_start|>user\nHi<|im_end|>",
    "<|endoftext|>", "text<|endoftext|>more", "<|im_start|>", "<|im_end|><|im_end|>", "<|im_start", "im_start|>",
    "<|im_start|> leading space", "a<|im_end|>b", "<|im_start|>assistant\n", "<|endoftext|><|im_start|>user",
    "<|IM_START|>", "<|im_start|><|im_start|><|im_start|>", " <|im_end|> ", "<|im_end|>\n\n",
]
ODD = [
    "\u0301", "\u0301\u0301", "\ufffd", "a\ufffdb", "\u200d", "a\u200db", "\ufeffBOM", "\u00ad", "\x00",
    "nul\x00inside", "\x7f", "\x1b[31mred\x1b[0m", "\x01\x02\x03", "\U0010ffff", "\ue000", "\u2060", "\u034f",
    "\ufe0f", "a\u0300\u0301\u0302\u0303", "\u202e reversed", "ﬁ ﬂ", "Ａｂｃ", "ℌ", "\u00b5\u03bc",
]
LONG = [
    "a" * 300, "supercalifragilisticexpialidocious" * 8, "x" * 500 + " y", "-" * 120, "=" * 80 + "\n",
    " " * 200 + "z", "\n" * 50, "ab" * 150, "Ünïcödé" * 30, "😀" * 40, "1" * 200,
]
HAND = ENGLISH + CODE + WHITESPACE + DIGITS + ACCENTED + SCRIPTS + EMOJI + SPECIAL + ODD + LONG


def mixtures(count: int, seed: int) -> list[str]:
    """Strings stitched from the hand-written ones and random characters of many classes."""
    rng = random.Random(seed)
    pools = [ENGLISH, CODE, WHITESPACE, DIGITS, ACCENTED, SCRIPTS, EMOJI, SPECIAL, ODD]
    chars = (
        [chr(c) for c in range(0x20, 0x7F)] + list(" \t\n\r") * 6 + list("0123456789") * 3
        + [chr(c) for c in range(0xC0, 0x180)] + [chr(c) for c in range(0x400, 0x450)]
        + [chr(c) for c in range(0x4E00, 0x4E40)] + [chr(c) for c in range(0x1F600, 0x1F620)]
        + ["\u0301", "\u200d", "\ufffd", "\u00a0", "\u3000", "\u2581", "\u0120", "\x00", "\u0085"]
    )
    out = []
    for _ in range(count):
        parts = []
        for _ in range(rng.randint(1, 4)):
            if rng.random() < 0.6:
                parts.append(rng.choice(rng.choice(pools))[: rng.randint(1, 80)])
            else:
                parts.append("".join(rng.choice(chars) for _ in range(rng.randint(1, 12))))
        out.append(rng.choice(["", " ", "\n"]).join(parts))
    return out


def fixture_corpus() -> list[str]:
    return HAND + mixtures(150, seed=1)


# ---- the reference, inside its venv --------------------------------------------------------------------

def _byte_of_char() -> dict[str, int]:
    printable = [*range(0x21, 0x7F), *range(0xA1, 0xAD), *range(0xAE, 0x100)]
    shifted = iter(range(0x100, 0x200))
    return {chr(b) if b in printable else chr(next(shifted)): b for b in range(256)}


def _inner(args: argparse.Namespace) -> None:
    import warnings

    warnings.simplefilter("ignore")
    from tokenizers import pre_tokenizers
    from transformers import AutoTokenizer
    from transformers.utils import logging

    from smollm2 import smollm2_path

    logging.set_verbosity_error()
    model = smollm2_path()
    tok = AutoTokenizer.from_pretrained(str(model.parent), gguf_file=model.name)
    if not args.as_loaded:
        tok.backend_tokenizer.pre_tokenizer = pre_tokenizers.Sequence(
            [pre_tokenizers.Digits(individual_digits=True),
             pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=True)])
    texts = json.loads(sys.stdin.read())
    byte_of = _byte_of_char()
    special = set(tok.all_special_ids)
    rows = []
    for text in texts:
        ids = tok(text)["input_ids"]
        pieces = tok.convert_ids_to_tokens(ids)
        # Round trip on bytes: every ordinary token mapped back through the byte alphabet, special
        # tokens as their text.
        data = b"".join(p.encode() if i in special else bytes(byte_of[c] for c in p) for i, p in zip(ids, pieces))
        rows.append({"text": text, "ids": ids, "roundtrips": data == text.encode("utf-8", "surrogatepass")})
    bos = tok("x")["input_ids"][0] == tok.bos_token_id if tok.bos_token_id is not None else False
    print(json.dumps({"rows": rows, "adds_bos": bos, "bos": tok.bos_token, "eos": tok.eos_token}))


def reference(texts: list[str], as_loaded: bool) -> dict:
    from reference_tokens import ensure_venv

    py = ensure_venv()
    env = dict(os.environ, TRANSFORMERS_VERBOSITY="error", HF_HUB_OFFLINE="1", TOKENIZERS_PARALLELISM="false")
    cmd = [str(py), str(Path(__file__).resolve()), "--inner"] + (["--as-loaded"] if as_loaded else [])
    proc = subprocess.run(cmd, input=json.dumps(texts), stdout=subprocess.PIPE, env=env, text=True, check=True)
    return json.loads(proc.stdout)


LLAMACPP_CHILD = r"""
import json, sys
from llama_cpp import Llama
m = Llama(model_path=sys.argv[1], vocab_only=True, verbose=False)
print(json.dumps([m.tokenize(t.encode(), add_bos=False, special=True) for t in json.loads(sys.stdin.read())]))
"""


def llamacpp(texts: list[str], model: Path) -> list[list[int]] | None:
    if not LLAMACPP_PY.exists():
        return None
    proc = subprocess.run([str(LLAMACPP_PY), "-c", LLAMACPP_CHILD, str(model)], input=json.dumps(texts),
                          stdout=subprocess.PIPE, text=True, check=True)
    return json.loads(proc.stdout)


# ---- the two modes --------------------------------------------------------------------------------------

def write_fixture(as_loaded: bool) -> None:
    ref = reference(fixture_corpus(), as_loaded)
    FIXTURE.parent.mkdir(parents=True, exist_ok=True)
    text = json.dumps(ref["rows"], ensure_ascii=False, separators=(",", ":"))
    FIXTURE.write_text(text.replace('},{"text"', '},\n{"text"') + "\n", encoding="utf-8")
    kept = sum(r["roundtrips"] for r in ref["rows"])
    print(f"{len(ref['rows'])} strings ({kept} round trip), {FIXTURE.stat().st_size} bytes -> {FIXTURE}")
    print(f"reference adds BOS: {ref['adds_bos']} (bos {ref['bos']!r}, eos {ref['eos']!r})")


def live(count: int, as_loaded: bool, with_llamacpp: bool) -> int:
    from quillfen._runtime import Tokenizer
    from smollm2 import smollm2_path

    texts = fixture_corpus() + mixtures(count, seed=2)
    ref = reference(texts, as_loaded)
    tok = Tokenizer(str(smollm2_path()))
    others = {"reference": [r["ids"] for r in ref["rows"]]}
    if with_llamacpp and (ids := llamacpp(texts, smollm2_path())) is not None:
        others["llama.cpp"] = ids
    bad = 0
    for name, all_ids in others.items():
        mismatches = [(t, want, tok.encode(t, add_special=True, parse_special=True)) for t, want in zip(texts, all_ids)]
        mismatches = [m for m in mismatches if m[1] != m[2]]
        print(f"{name}: {len(texts) - len(mismatches)}/{len(texts)} strings agree")
        for text, want, got in mismatches[:20]:
            print(f"  {text!r}\n    {name}: {want}\n    quillfen: {got}")
        bad += len(mismatches)
    return 1 if bad else 0


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--inner", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--live", action="store_true", help="compare a generated corpus with quillfen")
    ap.add_argument("--count", type=int, default=3000, help="generated strings for --live")
    ap.add_argument("--llamacpp", action="store_true", help="with --live: llama.cpp's tokenizer as well")
    ap.add_argument("--as-loaded", action="store_true", help="the reference as transformers' GGUF loader builds it")
    args = ap.parse_args()
    if args.inner:
        _inner(args)
    elif args.live:
        sys.exit(live(args.count, args.as_loaded, args.llamacpp))
    else:
        write_fixture(args.as_loaded)


if __name__ == "__main__":
    main()
