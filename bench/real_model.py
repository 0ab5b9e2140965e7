"""LlamaSession on a real model: SmolLM2-135M-Instruct (Q4_1 GGUF).

(a) Correctness: feeds the fixed chat prompt, then its own greedy outputs (temperature 0, top_k 0,
    top_p 1.0), and checks that the first 32 generated tokens equal those of an independent float32
    reference (transformers loading the same GGUF file). By default the reference is the list
    recorded in smollm2_prompt.py; with --reference it is recomputed live in the reference venv
    (bench/.cache/refvenv, built on first use; see reference_tokens.py) in a subprocess, which also
    gives transformers' decode speed as a baseline.
(b) Figures: load time, peak resident memory (ru_maxrss) and tokens per second for 128 greedy
    tokens.

    make build && .venv/bin/python bench/real_model.py [--reference] [--check 32] [--tokens 128]

Exit status 0 when the check passes, 1 when it fails.
"""

from __future__ import annotations

import argparse
import resource
import sys
import time

from smollm2 import smollm2_path
from smollm2_prompt import PROMPT_IDS, REFERENCE_MARGINS, REFERENCE_TOKENS

GREEDY = dict(temperature=0.0, top_k=0, top_p=1.0)


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0  # Linux reports KiB


def generate(session, prompt: list[int], count: int) -> tuple[list[int], float, float]:
    """Greedy continuation: returns (tokens, seconds for the prompt steps except the last,
    seconds for the `count` steps that each produced one generated token)."""
    started = time.perf_counter()
    for tok in prompt[:-1]:
        session.generate_next_token(tok, **GREEDY)
    prompt_seconds = time.perf_counter() - started
    started = time.perf_counter()
    out = [session.generate_next_token(prompt[-1], **GREEDY)]
    while len(out) < count:
        out.append(session.generate_next_token(out[-1], **GREEDY))
    return out, prompt_seconds, time.perf_counter() - started


def first_mismatch(got: list[int], want: list[int]) -> int | None:
    for i, (g, w) in enumerate(zip(got, want)):
        if g != w:
            return i
    return None if len(got) >= len(want) else len(got)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reference", action="store_true",
                    help="recompute the reference live with transformers (slow; builds its venv once)")
    ap.add_argument("--check", type=int, default=32, help="generated tokens that must match (default 32)")
    ap.add_argument("--tokens", type=int, default=128, help="greedy tokens generated and timed (default 128)")
    args = ap.parse_args()
    count = max(args.check, args.tokens)

    import quillfen

    if not hasattr(quillfen, "LlamaSession"):
        print("quillfen.LlamaSession is not available in this build", file=sys.stderr)
        return 2

    path = smollm2_path()
    rss_before = peak_rss_mib()
    print(f"model: {path.name} ({path.stat().st_size / 2**20:.1f} MiB)")
    started = time.perf_counter()
    session = quillfen.LlamaSession(str(path))
    load_seconds = time.perf_counter() - started
    rss_loaded = peak_rss_mib()
    print(f"load: {load_seconds:.2f} s  (vocab_size {session.vocab_size()}, num_layers {session.num_layers()}, "
          f"hidden_dim {session.hidden_dim()})")
    print(f"peak RSS: {rss_before:.0f} MiB before load, {rss_loaded:.0f} MiB after load")

    tokens, prompt_seconds, gen_seconds = generate(session, PROMPT_IDS, count)
    steps_before = len(PROMPT_IDS) - 1
    print(f"prompt: {steps_before} steps before the first generated token in {prompt_seconds:.2f} s "
          f"({steps_before / prompt_seconds:.1f} tok/s)")
    print(f"generate: {count} greedy tokens in {gen_seconds:.2f} s = {count / gen_seconds:.1f} tok/s "
          f"(each token one forward step with a growing KV cache, {len(PROMPT_IDS)} to {len(PROMPT_IDS) + count - 1} cached positions)")
    print(f"peak RSS after generating: {peak_rss_mib():.0f} MiB")
    print(f"tokens: {tokens}")
    try:
        from gguf_vocab import detokenize, read_tokens

        print(f"text: {detokenize(read_tokens(path), tokens)!r}")
    except ImportError:
        pass  # the gguf package is missing: the ids alone still tell the result

    if args.reference:
        from reference_tokens import reference_greedy

        ref = reference_greedy(count)
        want, margins = ref["tokens"], ref["margins"]
        source = "transformers float32 reference, computed live"
        recorded_n = min(len(want), len(REFERENCE_TOKENS))
        same = want[:recorded_n] == REFERENCE_TOKENS[:recorded_n]
        print(f"live reference {'equals' if same else 'DIFFERS FROM'} the recorded list over {recorded_n} tokens")
        decode_steps = len(want) - 1
        if decode_steps > 0 and ref.get("decode_seconds"):
            base = decode_steps / ref["decode_seconds"]
            ours = count / gen_seconds
            print(f"baseline: transformers decodes at {base:.1f} tok/s on the same machine; "
                  f"LlamaSession/transformers = {ours / base:.2f}")
    else:
        want, margins = REFERENCE_TOKENS, REFERENCE_MARGINS
        source = "recorded transformers float32 reference (smollm2_prompt.py)"

    checked = min(args.check, len(want))
    miss = first_mismatch(tokens[:checked], want[:checked])
    agree_all = first_mismatch(tokens, want[: len(tokens)])
    if agree_all is None:
        print(f"all {min(len(tokens), len(want))} generated tokens equal the reference")
    else:
        print(f"generated tokens agree with the reference up to position {agree_all} "
              f"(of {min(len(tokens), len(want))})")
    if miss is None:
        print(f"PASS: the first {checked} greedy tokens equal the {source}")
        return 0
    margin = margins[miss] if miss < len(margins) else float("nan")
    print(f"FAIL: first mismatch at generated token {miss}: expected {want[miss]}, got {tokens[miss]} "
          f"(reference's lead of its top logit over the runner-up there: {margin:.3f}); "
          f"compared with the {source}")
    print(f"  expected: {want[:checked]}")
    print(f"  got:      {tokens[:checked]}")
    return 1


if __name__ == "__main__":
    sys.exit(main())
