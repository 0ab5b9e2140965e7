"""Independent float32 reference for SmolLM2-135M-Instruct: transformers on the same GGUF file.

transformers and torch are heavy, so they live in a private venv under bench/.cache/refvenv
(git-ignored), never in the project's .venv. Running this script with any Python builds that venv
on first use, then re-runs itself inside it.

    python bench/reference_tokens.py                 # greedy tokens of the fixed prompt, as JSON
    python bench/reference_tokens.py --count 128
    python bench/reference_tokens.py --tokenize      # token ids of the prompt from the model's tokenizer
    python bench/reference_tokens.py --hidden F.npz  # per-layer hidden states of the first prompt token

Other scripts call `reference_greedy(count)`, which runs the same computation in a subprocess.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
VENV = HERE / ".cache" / "refvenv"
VENV_PY = VENV / "bin" / "python"
MARKER = VENV / ".quillfen-ready"
# torch pinned to the CPU build available on this machine; an unpinned `torch` would pull a
# multi-gigabyte CUDA build. accelerate is required by transformers' GGUF loading path.
PACKAGES = ["torch==2.13.0", "transformers", "accelerate", "gguf", "sentencepiece", "tokenizers", "numpy"]


def ensure_venv() -> Path:
    if MARKER.exists():
        return VENV_PY
    print(f"building the reference venv in {VENV} (torch CPU + transformers) ...", file=sys.stderr)
    subprocess.run([sys.executable, "-m", "venv", str(VENV)], check=True)
    subprocess.run([str(VENV_PY), "-m", "pip", "install", "-q", *PACKAGES], check=True)
    MARKER.touch()
    return VENV_PY


def _run_inner(args: list[str]) -> str:
    py = ensure_venv()
    env = dict(os.environ, TRANSFORMERS_VERBOSITY="error", HF_HUB_OFFLINE="1", TOKENIZERS_PARALLELISM="false",
               TQDM_DISABLE="1")
    proc = subprocess.run(
        [str(py), str(Path(__file__).resolve()), "--inner", *args],
        check=True, stdout=subprocess.PIPE, env=env, text=True,
    )
    return proc.stdout


def reference_chat(conversations: list[list[dict]], count: int) -> list[dict]:
    """Greedy replies of the reference to each conversation through the model's chat template:
    [{"prompt_ids", "tokens", "margins", "text"}, ...], `count` tokens each (past the end of turn);
    "text" is the reply up to the end of turn."""
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
        json.dump(conversations, f)
    try:
        return json.loads(_run_inner(["--chat", f.name, "--count", str(count)]))
    finally:
        os.unlink(f.name)


def reference_greedy(count: int) -> dict:
    """Greedy continuation of the fixed prompt by the reference: {"tokens", "margins", "seconds", ...}."""
    return json.loads(_run_inner(["--count", str(count)]))


# ---------------------------------------------------------------------------------------------
# Everything below runs inside the reference venv.


def _load(model_path: Path):
    import torch
    from transformers import AutoModelForCausalLM, AutoTokenizer
    from transformers.utils import logging

    logging.disable_progress_bar()
    logging.set_verbosity_error()
    torch.manual_seed(0)
    tok = AutoTokenizer.from_pretrained(str(model_path.parent), gguf_file=model_path.name)
    model = AutoModelForCausalLM.from_pretrained(
        str(model_path.parent), gguf_file=model_path.name, dtype=torch.float32
    )
    model.eval()
    return tok, model


def _inner_tokenize(tok, text: str) -> dict:
    rendered = tok.apply_chat_template(
        [{"role": "user", "content": text}], tokenize=False, add_generation_prompt=True
    )
    ids = tok(rendered)["input_ids"]
    return {"text": text, "rendered": rendered, "ids": ids}


def _inner_greedy(model, prompt_ids: list[int], count: int) -> dict:
    """Prefill the prompt, then one token at a time through the KV cache, always taking the arg-max.

    The margin (best minus second-best logit) of every step is kept, so a disagreement with another
    float32 implementation can be judged: a near-tie can flip on rounding alone.
    """
    import torch

    tokens: list[int] = []
    margins: list[float] = []
    started = time.perf_counter()
    with torch.no_grad():
        out = model(torch.tensor([prompt_ids]), use_cache=True)
        past = out.past_key_values
        logits = out.logits[0, -1]
        prefilled = time.perf_counter()
        for _ in range(count):
            top = torch.topk(logits, 2)
            nxt = int(top.indices[0])
            tokens.append(nxt)
            margins.append(float(top.values[0] - top.values[1]))
            if len(tokens) == count:
                break
            out = model(torch.tensor([[nxt]]), past_key_values=past, use_cache=True)
            past = out.past_key_values
            logits = out.logits[0, -1]
    finished = time.perf_counter()
    return {
        "tokens": tokens,
        "margins": margins,
        "seconds": finished - started,
        "prefill_seconds": prefilled - started,
        "decode_seconds": finished - prefilled,  # len(tokens) - 1 single-token steps
        "prompt_len": len(prompt_ids),
    }


def _inner_hidden(model, prompt_ids: list[int], steps: int, path: str) -> None:
    """Hidden states after the embedding and after every block, plus the logits, for the first
    `steps` prompt tokens fed one at a time (the way a token-at-a-time runtime sees them)."""
    import numpy as np
    import torch

    arrays = {}
    with torch.no_grad():
        past = None
        for step in range(steps):
            out = model(torch.tensor([[prompt_ids[step]]]), past_key_values=past, use_cache=True,
                        output_hidden_states=True)
            past = out.past_key_values
            # hidden_states[0] is the embedding, [i] the output of block i-1; the last entry has
            # the final norm applied already in transformers' Llama, so keep it under its own name.
            for i, h in enumerate(out.hidden_states):
                arrays[f"step{step}_h{i}"] = h[0, -1].numpy().astype(np.float32)
            arrays[f"step{step}_logits"] = out.logits[0, -1].numpy().astype(np.float32)
    np.savez(path, **arrays)


def _inner(argv: list[str]) -> None:
    import warnings

    # transformers announces upcoming renames of forward() keywords on every call; noise here.
    warnings.simplefilter("ignore", FutureWarning)
    sys.path.insert(0, str(HERE))
    from smollm2 import smollm2_path
    from smollm2_prompt import PROMPT_IDS, PROMPT_TEXT

    ap = argparse.ArgumentParser()
    ap.add_argument("--inner", action="store_true")
    ap.add_argument("--count", type=int, default=32)
    ap.add_argument("--tokenize", action="store_true")
    ap.add_argument("--hidden")
    ap.add_argument("--steps", type=int, default=1)
    ap.add_argument("--chat")
    args = ap.parse_args(argv)

    started = time.perf_counter()
    tok, model = _load(smollm2_path())
    load_seconds = time.perf_counter() - started
    if args.tokenize:
        print(json.dumps(_inner_tokenize(tok, PROMPT_TEXT)))
        return
    if args.chat:
        replies = []
        for messages in json.loads(Path(args.chat).read_text()):
            rendered = tok.apply_chat_template(messages, tokenize=False, add_generation_prompt=True)
            ids = tok(rendered, add_special_tokens=False)["input_ids"]
            reply = _inner_greedy(model, ids, args.count)
            tokens = reply["tokens"]
            end = tokens.index(tok.eos_token_id) if tok.eos_token_id in tokens else len(tokens)
            replies.append({"prompt_ids": ids, "tokens": tokens, "margins": reply["margins"],
                            "text": tok.decode(tokens[:end])})
        print(json.dumps(replies))
        return
    if args.hidden:
        _inner_hidden(model, PROMPT_IDS, args.steps, args.hidden)
        print(json.dumps({"written": args.hidden}))
        return
    result = _inner_greedy(model, PROMPT_IDS, args.count)
    result["load_seconds"] = load_seconds
    result["text"] = tok.decode(result["tokens"])
    print(json.dumps(result))


def main() -> None:
    if "--inner" in sys.argv[1:]:
        _inner(sys.argv[1:])
        return
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--count", type=int, default=32, help="greedy tokens to generate (default 32)")
    ap.add_argument("--tokenize", action="store_true", help="print the prompt's token ids instead")
    ap.add_argument("--hidden", metavar="FILE.npz", help="write per-layer hidden states instead")
    ap.add_argument("--steps", type=int, default=1, help="prompt tokens covered by --hidden")
    args = ap.parse_args()
    if args.tokenize:
        sys.stdout.write(_run_inner(["--tokenize"]))
    elif args.hidden:
        sys.stdout.write(_run_inner(["--hidden", str(Path(args.hidden).resolve()), "--steps", str(args.steps)]))
    else:
        sys.stdout.write(_run_inner(["--count", str(args.count)]))


if __name__ == "__main__":
    main()
