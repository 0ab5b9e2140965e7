"""Turns token ids back into text with the vocabulary stored in a GGUF file itself.

SmolLM2 (like GPT-2) uses a byte-level BPE vocabulary: every byte of the text is written as one
printable character (printable Latin-1 bytes stand for themselves, the other 68 byte values are
shifted to U+0100 and up, so a space reads "Ġ" and a newline "Ċ"). Decoding maps each character of
a token back to its byte and the joined bytes are UTF-8. Control tokens such as <|im_end|> are
plain ASCII and come through unchanged.
"""

from __future__ import annotations

from pathlib import Path


def _byte_level_table() -> dict[str, int]:
    printable = (
        list(range(ord("!"), ord("~") + 1))
        + list(range(ord("¡"), ord("¬") + 1))
        + list(range(ord("®"), ord("ÿ") + 1))
    )
    table = {chr(b): b for b in printable}
    shifted = 0
    for b in range(256):
        if b not in printable:
            table[chr(256 + shifted)] = b
            shifted += 1
    return table


BYTE_OF_CHAR = _byte_level_table()


def read_tokens(path: str | Path) -> list[str]:
    """The "tokenizer.ggml.tokens" array of a GGUF file, read with the gguf package."""
    from gguf import GGUFReader

    field = GGUFReader(str(path)).fields["tokenizer.ggml.tokens"]
    return [bytes(field.parts[i]).decode("utf-8") for i in field.data]


def token_bytes(token: str) -> bytes:
    # A character outside the table (not expected in a byte-level vocabulary) is kept as its UTF-8.
    out = bytearray()
    for ch in token:
        b = BYTE_OF_CHAR.get(ch)
        if b is None:
            out += ch.encode("utf-8")
        else:
            out.append(b)
    return bytes(out)


def detokenize(vocab: list[str], ids: list[int]) -> str:
    data = b"".join(token_bytes(vocab[i]) if 0 <= i < len(vocab) else b"\xef\xbf\xbd" for i in ids)
    return data.decode("utf-8", errors="replace")
