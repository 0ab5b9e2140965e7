"""Greedy chat replies of quillfen.Model against transformers' float32 model on the same GGUF file.

For each conversation, both render the file's chat template, tokenize, and take the arg-max token by
token. Prints, per conversation, whether the prompt ids agree and how many reply tokens agree (up to
the end of turn, at least `--count` tokens unless the turn ends first); where they part, the
reference's margin between its two best logits tells whether rounding alone could flip the step.

    python bench/chat_fidelity.py [--count 64]
"""

from __future__ import annotations

import argparse
import sys

from quillfen import Model
from reference_tokens import reference_chat
from smollm2 import smollm2_path

CONVERSATIONS = [
    [{"role": "user", "content": "Why is the sky blue?"}],
    [{"role": "user", "content": "Write a Python function that reverses a string."}],
    [{"role": "system", "content": "You answer in one sentence."},
     {"role": "user", "content": "What is the capital of France?"}],
    [{"role": "user", "content": "Name three fruits."},
     {"role": "assistant", "content": "Apples, bananas and cherries."},
     {"role": "user", "content": "Which of them is yellow?"}],
    [{"role": "user", "content": "Translate 'good morning' into French and Spanish."}],
    [{"role": "user", "content": "Count from one to twenty in words."}],
    [{"role": "user", "content": "Explain in detail how photosynthesis works."}],
    [{"role": "user", "content": "Write a short story about a robot who learns to paint."}],
    [{"role": "user", "content": "List ten tips for sleeping better, one per line."}],
    [{"role": "user", "content": "Describe the water cycle step by step, with examples. Était-ce clair? 日本語も少し。"}],
]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--count", type=int, default=64, help="reply tokens to compare (default 64)")
    args = ap.parse_args()
    path = smollm2_path()
    model = Model(path, progress=False)
    reference = reference_chat(CONVERSATIONS, args.count)
    all_equal = True
    long_ones = 0
    for messages, ref in zip(CONVERSATIONS, reference):
        ids = model.chat_tokens(messages)
        ours = model.chat(messages, max_tokens=args.count, temperature=0.0)
        end = next((i for i, t in enumerate(ref["tokens"]) if model.tokenizer.is_end_of_generation(t)),
                   len(ref["tokens"]))
        expected = ref["tokens"][:end]
        same = 0
        while same < min(len(expected), len(ours.tokens)) and expected[same] == ours.tokens[same]:
            same += 1
        equal = ids == ref["prompt_ids"] and ours.tokens == expected and ours.text == ref["text"]
        all_equal &= equal
        long_ones += len(expected) >= args.count
        where = "" if equal else (f"; first difference at reply token {same}, reference margin "
                                  f"{ref['margins'][same]:.4f}" if same < len(ref["margins"]) else "")
        text = "text equal" if ours.text == ref["text"] else "text differs"
        print(f"{'EQUAL' if equal else 'DIFFER'}: prompt ids {'equal' if ids == ref['prompt_ids'] else 'differ'} "
              f"({len(ids)}), reply {same}/{len(expected)} tokens equal, {text}, finish {ours.finish_reason}{where}")
        print(f"    {messages[-1]['content']!r} -> {ours.text[:100]!r}")
    print(f"{'all replies equal' if all_equal else 'some replies differ'} "
          f"({len(CONVERSATIONS)} conversations, up to {args.count} tokens each; {long_ones} reached {args.count})")
    return 0 if all_equal else 1


if __name__ == "__main__":
    sys.exit(main())
