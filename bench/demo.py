"""What quillfen does, end to end (run by `make demo`).

1. Writes two small GGUF files into a temporary folder with the gguf package (a dense llama and a
   mixture-of-experts one, metadata and a few tensors) and shows what FormatDetector,
   ModelMetadata, InferenceEngine and Scheduler report for them.
2. Runs SmolLM2-135M-Instruct (Q4_1 GGUF, fetched once into bench/.cache) with LlamaSession, the
   raw loop of token ids, greedily.
3. Asks the same model a question through `quillfen.Model.chat` and streams its answer as text.
4. Starts `quillfen serve` on the same model and asks it a question through the official `openai` client.
"""

from __future__ import annotations

import argparse
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import quillfen
from quillfen import _runtime
from smollm2 import smollm2_path

METADATA_FIELDS = (
    "architecture", "format_name", "num_layers", "hidden_size", "num_attention_heads", "num_kv_heads",
    "vocab_size", "context_length", "file_size", "is_moe", "num_experts", "num_active_experts",
)


def write_small_gguf(path: Path, *, experts: int = 0) -> None:
    """A 2-block llama of width 64 (4 query heads, 2 key/value heads, 100 tokens), random F32 weights."""
    import gguf

    hidden, ffn, vocab, heads, kv_heads, blocks = 64, 128, 100, 4, 2, 2
    rng = np.random.default_rng(7)
    w = gguf.GGUFWriter(str(path), "llama")
    w.add_name("quillfen demo")
    w.add_block_count(blocks)
    w.add_context_length(256)
    w.add_embedding_length(hidden)
    w.add_feed_forward_length(ffn)
    w.add_head_count(heads)
    w.add_head_count_kv(kv_heads)
    w.add_vocab_size(vocab)
    if experts:
        w.add_expert_count(experts)
        w.add_expert_used_count(2)

    def tensor(name: str, *shape: int) -> None:
        w.add_tensor(name, (rng.standard_normal(shape) * 0.05).astype(np.float32))

    head_dim = hidden // heads
    tensor("token_embd.weight", vocab, hidden)
    tensor("output_norm.weight", hidden)
    for b in range(blocks):
        tensor(f"blk.{b}.attn_norm.weight", hidden)
        tensor(f"blk.{b}.attn_q.weight", hidden, hidden)
        tensor(f"blk.{b}.attn_k.weight", kv_heads * head_dim, hidden)
        tensor(f"blk.{b}.attn_v.weight", kv_heads * head_dim, hidden)
        tensor(f"blk.{b}.attn_output.weight", hidden, hidden)
        tensor(f"blk.{b}.ffn_norm.weight", hidden)
        tensor(f"blk.{b}.ffn_gate.weight", ffn, hidden)
        tensor(f"blk.{b}.ffn_up.weight", ffn, hidden)
        tensor(f"blk.{b}.ffn_down.weight", hidden, ffn)
    w.write_header_to_file()
    w.write_kv_data_to_file()
    w.write_tensors_to_file()
    w.close()


def missing(*names: str) -> list[str]:
    return [n for n in names if not hasattr(quillfen, n)]


def show_formats() -> None:
    print("== 1. Format detection, metadata, engine and scheduler on small GGUF files ==")
    print(f"quillfen {quillfen.__version__}: {', '.join(quillfen.__all__)}")
    absent = missing("FormatDetector", "InferenceEngine", "Scheduler")
    if absent:
        print(f"(not in this build: {', '.join(absent)}; their lines are skipped)")
    with tempfile.TemporaryDirectory(prefix="quillfen-demo-") as tmp:
        for label, experts in (("dense", 0), ("moe", 8)):
            path = Path(tmp) / f"tiny-{label}.gguf"
            write_small_gguf(path, experts=experts)
            print(f"\n{path.name} ({path.stat().st_size} bytes, written with the gguf package)")
            if hasattr(quillfen, "FormatDetector"):
                print(f"  FormatDetector.detect          -> {quillfen.FormatDetector.detect(str(path))!r}")
                meta = quillfen.FormatDetector.load_metadata(str(path))
                print(f"  FormatDetector.load_metadata   -> {meta!r}")
                for field in METADATA_FIELDS:
                    print(f"      {field:20} {getattr(meta, field)!r}")
            if hasattr(quillfen, "LlamaSession") and not experts:
                session = quillfen.LlamaSession(str(path))
                ids, tok = [], 1
                for _ in range(8):
                    tok = session.generate_next_token(tok, temperature=0.8, top_k=40, top_p=0.95)
                    ids.append(tok)
                print(f"  LlamaSession                   -> vocab_size {session.vocab_size()}, num_layers "
                      f"{session.num_layers()}, hidden_dim {session.hidden_dim()}; from token 1, 8 sampled "
                      f"(0.8, 40, 0.95): {ids}")
            if hasattr(quillfen, "InferenceEngine"):
                engine = quillfen.InferenceEngine()
                print(f"  InferenceEngine().load_model   -> {engine.load_model(str(path))!r}"
                      f"  (backend_count {engine.backend_count()})")
    if hasattr(quillfen, "Scheduler"):
        print(f"\nScheduler().backend_info() -> {quillfen.Scheduler().backend_info()!r}")


def run_smollm2_raw(max_tokens: int) -> None:
    print("\n== 2. SmolLM2-135M-Instruct with LlamaSession: token ids in, token ids out ==")
    path = smollm2_path()
    print(f"{path.name}: {quillfen.FormatDetector.detect(str(path))}, "
          f"{quillfen.FormatDetector.load_metadata(str(path))!r}")
    started = time.perf_counter()
    session = quillfen.LlamaSession(str(path))
    print(f"loaded in {time.perf_counter() - started:.2f} s; vocab_size {session.vocab_size()}, "
          f"num_layers {session.num_layers()}, hidden_dim {session.hidden_dim()}")
    print(f"kernels: {_runtime.kernel_isa()} (this CPU runs {', '.join(_runtime.cpu_isas())}; QUILLFEN_ISA chooses)")
    tokenizer = _runtime.Tokenizer(str(path))
    ids = tokenizer.encode("The capital of France is", add_special=True)
    print(f"prompt ids: {ids}")
    greedy = dict(temperature=0.0, top_k=0, top_p=1.0)
    for tok in ids[:-1]:
        session.generate_next_token(tok, **greedy)
    started = time.perf_counter()
    out = [session.generate_next_token(ids[-1], **greedy)]
    while len(out) < max_tokens // 4 and not tokenizer.is_end_of_generation(out[-1]):
        out.append(session.generate_next_token(out[-1], **greedy))
    seconds = time.perf_counter() - started
    print(f"greedy ids: {out}  ({len(out) / seconds:.1f} tokens/s)")


def run_smollm2_chat(max_tokens: int) -> None:
    print("\n== 3. SmolLM2-135M-Instruct with quillfen.Model: text in, text out ==")
    model = quillfen.Model(smollm2_path())
    question = "Why is the sky blue? Answer in two sentences."
    print(f"user: {question}")
    print("assistant: ", end="", flush=True)
    stream = model.chat([{"role": "user", "content": question}], max_tokens=max_tokens, temperature=0.0,
                        stream=True)
    for piece in stream:
        print(piece, end="", flush=True)
    print()
    r = stream.result
    assert r is not None
    print(f"[{len(r.tokens)} tokens at {r.tokens_per_second:.1f} tokens/s, prompt {r.prompt_tokens} tokens, "
          f"finish: {r.finish_reason}]")


def run_server(max_tokens: int) -> None:
    print("\n== 4. quillfen serve, asked through the official openai client ==")
    from openai import OpenAI  # the server extra and the client: installed by make demo

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    cmd = [sys.executable, "-m", "quillfen", "serve", str(smollm2_path()), "--port", str(port),
           "--model-alias", "smollm2"]
    print("$ quillfen serve " + " ".join(cmd[4:]))
    server = subprocess.Popen(cmd, cwd="/")  # outside the source tree, whose quillfen/ lacks the built modules
    try:
        client = OpenAI(base_url=f"http://127.0.0.1:{port}/v1", api_key="none", max_retries=0)
        deadline = time.monotonic() + 120
        while True:
            try:
                client.models.list()
                break
            except Exception:
                if server.poll() is not None or time.monotonic() > deadline:
                    raise SystemExit("the server did not start") from None
                time.sleep(0.2)
        question = "Name three primary colors."
        answer = client.chat.completions.create(model="smollm2", messages=[{"role": "user", "content": question}],
                                                max_tokens=max_tokens, temperature=0)
        print(f"user: {question}\nassistant: {answer.choices[0].message.content}")
        print(f"[finish: {answer.choices[0].finish_reason}, usage: {answer.usage.prompt_tokens} prompt + "
              f"{answer.usage.completion_tokens} completion tokens]")
    finally:
        server.send_signal(signal.SIGINT)
        server.wait(30)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tokens", type=int, default=96, help="most tokens of the answer (default 96)")
    args = ap.parse_args()
    show_formats()
    run_smollm2_raw(args.tokens)
    run_smollm2_chat(args.tokens)
    run_server(args.tokens)
    return 0


if __name__ == "__main__":
    sys.exit(main())
