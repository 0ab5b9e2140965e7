"""Greedy decode speed of quillfen's text model against llama-cpp-python on SmolLM2-135M-Instruct Q4_1
(or, with --model gemma3, Gemma 3 270M Q4_K_M).

Both runtimes decode the same fixed chat prompt (smollm2_prompt.PROMPT_IDS) on the same GGUF file,
at 1 and at 2 threads. Every runtime/thread configuration runs in its own subprocess whose CPU
affinity is limited to N cores before the runtime is imported (oneTBB sizes quillfen's pool from
the affinity mask; llama.cpp gets n_threads = n_threads_batch = N as well), so the peak resident
memory of that process (VmHWM) belongs to that configuration alone.

What is timed, identically for both:
- prompt160: a separate 160-token prompt (the chat prompt and the start of its reference answer) run
  from an empty cache in one call, the long-prompt speed the summary compares;
- prompt: every prompt token but the last, in one call (quillfen: LlamaSession.forward, batches of up
  to 64 tokens; llama.cpp: eval, its own batches);
- decode: `--tokens` forward steps of one token each, the first on the last prompt token, each
  followed by a greedy choice (quillfen: temperature 0, top_k 0, top_p 1.0; llama.cpp: its greedy
  sampler, temp 0) whose token is fed to the next step. decode tok/s = tokens / decode seconds,
  median over `--runs` runs, each after a reset (empty KV cache), after one untimed warm-up run.
  The machine is shared, so a run during which other processes took CPU time on our cores is
  marked, left out and repeated (up to twice the asked runs in all).
- load: constructing the session / the Llama object (llama.cpp maps the file and pages it in
  lazily, so part of its loading shows up in the first run instead).

The bandwidth bound: decoding one token reads every weight of the matrix products once. llama.cpp
reads the tensors as stored in the file. quillfen builds before its stored-form weights held every
weight as float32 (elements x 4 bytes); later ones hold them as stored (padded to 16-row groups, a
negligible difference). `--quillfen-weights auto` tells the two apart by the memory the session
holds after loading: at least the float32 size means float32. Those bytes divided by the machine's memory bandwidth on N cores give an upper bound on
tokens/s for each runtime. Two bandwidths, each the best of several in its own core-limited process:
copy (numpy copy of a 256 MiB array, counted as bytes read + bytes written, N threads each copying a
slice; the bound the ratio lines quote) and read (a float32 matrix-vector product over a 256 MiB
matrix: a read-only stream, like a decode step's). KV-cache and activation traffic are left out (a
few MB per token at these lengths), so the bounds are slightly optimistic.

`--context N ...` measures long contexts instead: for each length N, one prompt of N tokens (the chat
prompt followed by its reference answer, repeated) in one call from an empty cache (quillfen:
TextModel.prefill; llama.cpp: eval with n_batch = n_ctx, so one call takes it whole), then
`--context-tokens` greedy steps after it, each one forward step of one token and a greedy choice
(quillfen's first step runs the prompt's last token again, since prefill keeps no logits; llama.cpp
evaluates each chosen token, the last one included, so both make the same number of steps). Decode
is left out where the prompt and its steps would pass the model's context length. Each (threads,
length, run) runs both runtimes in turn, each in a fresh process; the ratios are of medians over
`--runs` runs.

llama-cpp-python is built from source on first use into bench/.cache/llamacpp-venv (see
llamacpp_install.py; takes many minutes on a small machine), then reused.

`--isa avx2` compares like for like on AVX2: quillfen with QUILLFEN_ISA=avx2 against a second
llama-cpp-python build with AVX2, FMA and F16C and no AVX-512 (cached separately).

    make build && .venv/bin/python bench/compare_llamacpp.py [--runs 5] [--tokens 128] [--threads 1 2] [--isa avx2]
    .venv/bin/python bench/compare_llamacpp.py --context 512 2048 4096 8192 --runs 1 [--threads 1 2] [--isa avx2]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

from gemma3 import gemma3_path  # noqa: E402
from smollm2 import smollm2_path  # noqa: E402
from smollm2_prompt import PROMPT_IDS, REFERENCE_TOKENS  # noqa: E402

# The long prompt whose processing speed the table reports: the chat prompt followed by the start of
# its float32 reference answer, 160 tokens of natural text.
LONG_PROMPT = (PROMPT_IDS + REFERENCE_TOKENS)[:160]

# --model: the file both runtimes run. Gemma 3 270M reads SmolLM2's prompt ids as ids of its own
# vocabulary (some other text, as long), so its token agreement with SmolLM2's reference is not reported.
MODELS = {"smollm2": smollm2_path, "gemma3": gemma3_path}
MODEL = "smollm2"


def model_path() -> Path:
    return MODELS[MODEL]()


COMPARED_TOKENS = 32  # greedy tokens whose agreement between the runtimes is reported
LLAMA_N_CTX = 512  # room for the prompt and the generated tokens; llama.cpp sizes its KV cache by it
MIB = 1 << 20


# ----------------------------------------------------------------------------------------------
# Worker side: runs in a subprocess, one runtime at one thread count, prints one JSON line.


def limit_to_cores(n: int) -> list[int]:
    """Restricts this process to its first n allowed CPUs; must run before a runtime starts threads."""
    allowed = sorted(os.sched_getaffinity(0))
    if n > len(allowed):
        raise SystemExit(f"asked for {n} threads but only {len(allowed)} CPUs are allowed")
    chosen = allowed[:n]
    os.sched_setaffinity(0, chosen)
    return chosen


def peak_rss_mib() -> float:
    """The peak resident set of this process (VmHWM).

    Not ru_maxrss: Linux carries the parent's high-water mark across fork and exec into the child's
    ru_maxrss, so a worker would report the driver's peak instead of its own.
    """
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0  # kB
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


class QuillfenRunner:
    """The text API's engine: every call names its whole context and runs what the cache lacks, the
    prompt as one batch."""

    def __init__(self, path: str, threads: int, n_ctx: int = 0):
        import quillfen
        from quillfen import _runtime

        self.pool = quillfen.Scheduler().backend_info()
        started = time.perf_counter()
        self.model = _runtime.TextModel(path)
        self.load_seconds = time.perf_counter() - started
        self.context: list[int] = []

    def describe(self) -> str:
        from quillfen import _runtime

        return f"quillfen pool: {self.pool}; kernels: {_runtime.kernel_isa()}"

    def reset(self) -> None:
        self.model.reset()
        self.context = []

    def prompt(self, ids: list[int]) -> None:
        self.model.prefill(ids)
        self.context = list(ids)

    def step(self, tok: int) -> int:
        self.context.append(tok)
        return self.model.next_token(self.context)[0]  # greedy by default

    def continue_greedy(self, n: int) -> list[int]:
        """n steps after prompt(): the first runs the prompt's last token again (prefill keeps no logits)."""
        out = []
        for _ in range(n):
            out.append(self.model.next_token(self.context)[0])
            self.context.append(out[-1])
        return out


class LlamaCppRunner:
    def __init__(self, path: str, threads: int, n_ctx: int = 0):
        import llama_cpp

        self.version = llama_cpp.__version__
        started = time.perf_counter()
        n_ctx = n_ctx or LLAMA_N_CTX
        # n_batch = n_ctx: a prompt goes to the model in one call, as quillfen's prefill takes it.
        self.llm = llama_cpp.Llama(
            model_path=path,
            n_ctx=n_ctx,
            n_batch=n_ctx if n_ctx > LLAMA_N_CTX else 512,
            n_threads=threads,
            n_threads_batch=threads,
            n_gpu_layers=0,
            verbose=False,
        )
        self.load_seconds = time.perf_counter() - started
        self.threads = (self.llm.context_params.n_threads, self.llm.context_params.n_threads_batch)

    def describe(self) -> str:
        sysinfo = self.llm_system_info()
        return f"llama-cpp-python {self.version}, n_threads/n_threads_batch {self.threads}; {sysinfo}"

    @staticmethod
    def llm_system_info() -> str:
        import llama_cpp

        return llama_cpp.llama_print_system_info().decode(errors="replace").strip()

    def reset(self) -> None:
        self.llm.reset()  # forgets the tokens; the next eval drops the KV cache past them

    def prompt(self, ids: list[int]) -> None:
        self.llm.eval(ids)

    def step(self, tok: int) -> int:
        self.llm.eval([tok])
        return int(self.llm.sample(temp=0.0))

    def continue_greedy(self, n: int) -> list[int]:
        """n steps after prompt(): a greedy choice from the last logits, then that token evaluated."""
        out = []
        for _ in range(n):
            out.append(int(self.llm.sample(temp=0.0)))
            self.llm.eval([out[-1]])
        return out


class OtherLoad:
    """CPU time that other processes (or the hypervisor, as steal time) take on our cores.

    The machine is shared: a compiler or test run of someone else landing on one of our cores
    wrecks a timing (llama.cpp's spinning worker threads suffer most), so every timed run records
    how many of our cores others used meanwhile, and disturbed runs are repeated.
    """

    TICK = os.sysconf("SC_CLK_TCK")

    def __init__(self, cores: list[int]):
        self.names = {f"cpu{c}" for c in cores}

    def _busy_and_own(self) -> tuple[int, int]:
        busy = 0
        with open("/proc/stat") as stat:
            for line in stat:
                fields = line.split()
                if fields[0] in self.names:
                    # user nice system idle iowait irq softirq steal: everything but idle and iowait
                    busy += sum(int(v) for v in fields[1:4]) + sum(int(v) for v in fields[6:9])
        with open("/proc/self/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return busy, int(fields[11]) + int(fields[12])  # utime + stime of all our threads

    def measure(self, fn):
        """Runs fn(); returns (its result, wall seconds, cores' worth of CPU others used meanwhile)."""
        busy0, own0 = self._busy_and_own()
        started = time.perf_counter()
        result = fn()
        wall = time.perf_counter() - started
        busy1, own1 = self._busy_and_own()
        others = max(0, (busy1 - busy0) - (own1 - own0)) / self.TICK
        return result, wall, others / wall

    def wait_for_quiet(self, limit: float, patience: float = 20.0) -> None:
        deadline = time.perf_counter() + patience
        while time.perf_counter() < deadline and self.measure(lambda: time.sleep(0.5))[2] > limit:
            pass


QUIET = 0.1  # at most this many cores' worth of others' CPU time during a run that counts


def timed_run(runner, prompt: list[int], tokens: int, load: OtherLoad) -> dict:
    """One reset + prompt + decode, each timed with the load others put on our cores meanwhile."""
    runner.reset()
    _, long_seconds, long_load = load.measure(lambda: runner.prompt(LONG_PROMPT))
    runner.reset()
    _, prompt_seconds, prompt_load = load.measure(lambda: runner.prompt(prompt[:-1]))

    def decode() -> list[int]:
        out = [runner.step(prompt[-1])]
        while len(out) < tokens:
            out.append(runner.step(out[-1]))
        return out

    out, decode_seconds, decode_load = load.measure(decode)
    return {"tokens": out, "prompt_seconds": prompt_seconds, "decode_seconds": decode_seconds,
            "long_prompt_seconds": long_seconds, "others": max(long_load, prompt_load, decode_load)}


def worker(runtime: str, threads: int, runs: int, tokens: int) -> None:
    cores = limit_to_cores(threads)
    load = OtherLoad(cores)
    path = str(model_path())
    rss_before = peak_rss_mib()
    runner = (QuillfenRunner if runtime == "quillfen" else LlamaCppRunner)(path, threads)
    rss_loaded = peak_rss_mib()
    timed_run(runner, PROMPT_IDS, min(tokens, 8), load)  # warm-up: first-touch of weights and scratch
    done = []
    # Up to twice the asked runs, each started on a quiet machine when possible, until `runs` of
    # them went undisturbed.
    while len(done) < 2 * runs and sum(r["others"] <= QUIET for r in done) < runs:
        load.wait_for_quiet(QUIET)
        done.append(timed_run(runner, PROMPT_IDS, tokens, load))
    result = {
        "runtime": runtime,
        "threads": threads,
        "cores": cores,
        "info": runner.describe(),
        "load_seconds": runner.load_seconds,
        "rss_before_mib": rss_before,
        "rss_loaded_mib": rss_loaded,
        "peak_rss_mib": peak_rss_mib(),
        "prompt_tokens": len(PROMPT_IDS) - 1,
        "runs": [{k: v for k, v in r.items() if k != "tokens"} for r in done],
        "tokens": done[0]["tokens"],
        "runs_agree": all(r["tokens"] == done[0]["tokens"] for r in done),
    }
    print("RESULT " + json.dumps(result), flush=True)


def context_ids(length: int) -> list[int]:
    """A prompt of `length` tokens: the chat prompt, then its reference answer over and over."""
    return (PROMPT_IDS + REFERENCE_TOKENS * (length // len(REFERENCE_TOKENS) + 1))[:length]


def context_worker(runtime: str, threads: int, length: int, tokens: int) -> None:
    """One prompt of `length` tokens from an empty cache, then `tokens` greedy steps (none: prompt only)."""
    cores = limit_to_cores(threads)
    load = OtherLoad(cores)
    runner = (QuillfenRunner if runtime == "quillfen" else LlamaCppRunner)(str(model_path()), threads,
                                                                           n_ctx=length + tokens)
    runner.prompt(LONG_PROMPT)  # warm-up: the weights paged in and the buffers grown
    runner.reset()
    load.wait_for_quiet(QUIET)
    _, prompt_seconds, prompt_load = load.measure(lambda: runner.prompt(context_ids(length)))
    out, decode_seconds, decode_load = load.measure(lambda: runner.continue_greedy(tokens))
    print("RESULT " + json.dumps({"runtime": runtime, "threads": threads, "length": length, "info": runner.describe(),
                                  "prompt_seconds": prompt_seconds, "decode_seconds": decode_seconds,
                                  "others": max(prompt_load, decode_load if tokens else 0.0), "tokens": out}),
          flush=True)


def context_table(args, llama_python: Path, quillfen_env: dict, context_length: int) -> None:
    """Prompt and decode speed at each --context length, the runtimes alternated run by run."""
    runtimes = [("quillfen", "quillfen", Path(sys.executable), quillfen_env)]
    if args.compare_with:  # another quillfen build, e.g. an older commit's package
        runtimes.append(("quillfen@other", "quillfen", Path(sys.executable),
                         quillfen_env | {"PYTHONPATH": str(Path(args.compare_with).resolve())}))
    runtimes.append(("llama-cpp-python", "llamacpp", llama_python, None))
    results: dict[tuple[str, int, int], list[dict]] = {}
    described: set[str] = set()
    for threads in args.threads:
        for length in args.context:
            tokens = args.context_tokens if length + args.context_tokens <= context_length else 0
            for _ in range(args.runs):
                for label, mode, python, env in runtimes:
                    r = run_worker(python, mode, threads, tokens=tokens, env=env, length=length)
                    results.setdefault((label, threads, length), []).append(r)
                    if label not in described:
                        described.add(label)
                        print(f"{label}: {r['info']}")
                    print(f"  {threads} thread(s), {length} tokens: {label} prompt {length / r['prompt_seconds']:.1f} "
                          f"tok/s" + (f", decode {tokens / r['decode_seconds']:.1f} tok/s" if tokens else "")
                          + (" (disturbed)" if r["others"] > QUIET else ""), flush=True)

    def median_rate(runs: list[dict], key: str, count: int) -> float:
        return statistics.median(count / r[key] for r in runs)

    header = (f"{'runtime':<18}{'thr':>4}{'tokens':>8}{'prompt tok/s':>14}{'vs llama':>10}"
              f"{'decode tok/s':>14}{'vs llama':>10}{'runs':>6}")
    print("\n" + header)
    print("-" * len(header))
    for threads in args.threads:
        for length in args.context:
            tokens = args.context_tokens if length + args.context_tokens <= context_length else 0
            base = results[("llama-cpp-python", threads, length)]
            lp = median_rate(base, "prompt_seconds", length)
            ld = median_rate(base, "decode_seconds", tokens) if tokens else 0.0
            for label, *_ in runtimes:
                runs = results[(label, threads, length)]
                qp = median_rate(runs, "prompt_seconds", length)
                decode = f"{'-':>14}{'-':>10}"
                if tokens:
                    qd = median_rate(runs, "decode_seconds", tokens)
                    decode = f"{qd:>14.1f}{qd / ld:>9.2f}x"
                disturbed = sum(r["others"] > QUIET for r in runs)
                print(f"{label:<18}{threads:>4}{length:>8}{qp:>14.1f}{qp / lp:>9.2f}x{decode}{len(runs):>6}"
                      + (f"  ({disturbed} disturbed)" if disturbed else ""))
    print(f"(tokens/s, medians over the runs; decode: {args.context_tokens} greedy steps after the prompt, "
          f"left out where they would pass the context length {context_length}; disturbed: other processes used "
          f"more than {QUIET} of a core of ours during the run)")


def bandwidth_worker(threads: int, total_mib: int = 256, repeats: int = 10) -> None:
    """Memory bandwidth with `threads` cores, best of `repeats` (this machine is shared and noisy).

    copy: numpy copies of a total_mib array, each of `threads` Python threads one slice (np.copyto
    releases the GIL), counted as bytes read + bytes written. read: a float32 matrix-vector product
    over a total_mib matrix (numpy's BLAS, which sizes its threads from the affinity mask), counted
    as the matrix bytes, the same access pattern as a decode step streaming its weights.
    """
    cores = limit_to_cores(threads)
    import numpy as np

    n = total_mib * MIB // 8
    src = np.arange(n, dtype=np.float64)
    dst = np.ones_like(src)
    bounds = [(i * n // threads, (i + 1) * n // threads) for i in range(threads)]
    copy_best = float("inf")
    for _ in range(repeats):
        pool = [threading.Thread(target=np.copyto, args=(dst[lo:hi], src[lo:hi])) for lo, hi in bounds]
        started = time.perf_counter()
        for t in pool:
            t.start()
        for t in pool:
            t.join()
        copy_best = min(copy_best, time.perf_counter() - started)
    assert dst[-1] == src[-1]
    del src, dst

    cols = 4096
    matrix = np.ones((total_mib * MIB // 4 // cols, cols), dtype=np.float32)
    x = np.ones(cols, dtype=np.float32)
    read_best = float("inf")
    for _ in range(repeats):
        started = time.perf_counter()
        y = matrix @ x
        read_best = min(read_best, time.perf_counter() - started)
    assert y[0] == cols
    result = {"cores": cores, "copy": 2 * n * 8 / copy_best, "read": matrix.nbytes / read_best}
    print("RESULT " + json.dumps(result), flush=True)


# ----------------------------------------------------------------------------------------------
# Driver side: runs in the project's .venv (quillfen, numpy and the gguf package importable).


def weight_bytes_per_token(path: Path) -> dict:
    """Bytes of weights one decode step reads: as float32 (quillfen today) and as stored (llama.cpp).

    Every tensor feeds a matrix product or a norm once per token, except the token embedding, of
    which a step reads one row, unless the file has no separate output.weight: then the embedding
    is also the output projection and is read whole.
    """
    from gguf import GGUFReader

    reader = GGUFReader(str(path))
    tensors = {t.name: t for t in reader.tensors}
    tied = "output.weight" not in tensors
    f32_bytes = stored_bytes = 0
    for name, t in tensors.items():
        elements, stored = int(t.n_elements), int(t.n_bytes)
        if name == "token_embd.weight" and not tied:
            rows = int(t.shape[-1]) if len(t.shape) > 1 else 1
            elements, stored = elements // rows, stored // rows
        f32_bytes += elements * 4
        stored_bytes += stored
    types = sorted({t.tensor_type.name for t in tensors.values()})
    return {"float32": f32_bytes, "stored": stored_bytes, "tied_output": tied, "types": types}


def run_worker(python: Path, mode: str, threads: int, runs: int = 1, tokens: int = 1, env: dict | None = None,
               length: int | None = None) -> dict:
    cmd = [str(python), str(Path(__file__).resolve()), "--worker", mode, "--threads", str(threads),
           "--runs", str(runs), "--tokens", str(tokens), "--model", MODEL]
    if length is not None:
        cmd += ["--context", str(length)]
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, text=True, env=env)
    lines = [ln for ln in proc.stdout.splitlines() if ln.startswith("RESULT ")]
    if proc.returncode != 0 or not lines:
        raise SystemExit(f"{mode} at {threads} thread(s) failed (exit {proc.returncode}):\n{proc.stdout}")
    return json.loads(lines[-1][len("RESULT "):])


def model_context_length(path: Path) -> int:
    from gguf import GGUFReader

    reader = GGUFReader(str(path))
    arch = bytes(reader.fields["general.architecture"].parts[-1]).decode()
    return int(reader.fields[f"{arch}.context_length"].parts[-1][0])


def first_difference(a: list[int], b: list[int]) -> int | None:
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return None if len(a) == len(b) else min(len(a), len(b))


def agreement(a: list[int], b: list[int], n: int) -> str:
    diff = first_difference(a[:n], b[:n])
    return "equal" if diff is None else f"differ from generated token {diff} on"


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def load_average() -> str:
    return "/".join(f"{x:.1f}" for x in os.getloadavg())


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=5, help="timed runs per configuration (median reported)")
    ap.add_argument("--tokens", type=int, default=128, help="greedy tokens decoded per run")
    ap.add_argument("--threads", type=int, nargs="+", default=[1, 2], help="thread counts to compare")
    ap.add_argument("--quillfen-weights", choices=["auto", "float32", "stored"], default="auto",
                    help="how the quillfen build holds its weights, for its bandwidth bound (default: "
                         "judged from its resident memory after loading)")
    ap.add_argument("--isa", choices=["native", "avx2"], default="native",
                    help="native: each runtime's widest kernels; avx2: quillfen with QUILLFEN_ISA=avx2 against "
                         "llama-cpp-python built for AVX2/FMA/F16C without AVX-512")
    ap.add_argument("--context", type=int, nargs="+", metavar="N",
                    help="long-context table instead: prompt and decode speed after prompts of these lengths")
    ap.add_argument("--context-tokens", type=int, default=48, help="greedy steps after each --context prompt")
    ap.add_argument("--compare-with", metavar="DIR",
                    help="with --context: also a quillfen package found in DIR (PYTHONPATH), e.g. an older build's")
    ap.add_argument("--model", choices=list(MODELS), default="smollm2",
                    help="the GGUF file compared: SmolLM2-135M-Instruct Q4_1 or Gemma 3 270M Q4_K_M")
    ap.add_argument("--worker", choices=["quillfen", "llamacpp", "bandwidth"], help=argparse.SUPPRESS)
    args = ap.parse_args()
    global MODEL
    MODEL = args.model
    if args.tokens < 0 or args.runs < 1 or min(args.threads) < 1:
        ap.error("--runs and --threads must be at least 1")
    if args.context and (min(args.context) < len(LONG_PROMPT) or args.context_tokens < 0):
        ap.error(f"--context lengths must be at least {len(LONG_PROMPT)}, --context-tokens at least 0")
    if not args.context and args.tokens < 1:
        ap.error("--tokens must be at least 1")

    if args.worker == "bandwidth":
        bandwidth_worker(args.threads[0])
        return 0
    if args.worker and args.context:
        context_worker(args.worker, args.threads[0], args.context[0], args.tokens)
        return 0
    if args.worker:
        worker(args.worker, args.threads[0], args.runs, args.tokens)
        return 0

    from llamacpp_install import ensure_llamacpp, level_cmake_args

    path = model_path()
    llama_python = ensure_llamacpp(args.isa)
    quillfen_env = dict(os.environ)
    if args.isa == "avx2":
        quillfen_env["QUILLFEN_ISA"] = "avx2"
    else:
        quillfen_env.pop("QUILLFEN_ISA", None)
    weights = weight_bytes_per_token(path)
    print(f"model: {path.name} ({path.stat().st_size / MIB:.1f} MiB; tensor types {', '.join(weights['types'])}; "
          f"output projection {'tied to' if weights['tied_output'] else 'separate from'} the embedding)")
    if not args.context:
        print(f"prompt: {len(PROMPT_IDS)} tokens; decode: {args.tokens} greedy tokens; median of {args.runs} runs")
    print(f"cpu: {cpu_model()}; instruction sets compared: {args.isa}")
    print(f"llama-cpp-python built from source with: {' '.join(level_cmake_args(args.isa))}")
    print(f"weights read per token: {weights['float32'] / 1e6:.1f} MB as float32, "
          f"{weights['stored'] / 1e6:.1f} MB as stored (llama.cpp)")
    print(f"load average (1/5/15 min) at start: {load_average()}")
    if args.context:
        context_length = model_context_length(path)
        print(f"long contexts: {', '.join(map(str, args.context))} tokens, {args.runs} run(s) each; "
              f"llama-cpp-python with n_ctx = prompt + steps and n_batch = n_ctx")
        context_table(args, llama_python, quillfen_env, context_length)
        print(f"load average (1/5/15 min) at the end: {load_average()}")
        return 0

    results: dict[tuple[str, int], dict] = {}
    bandwidth: dict[int, dict] = {}
    for threads in args.threads:
        bw = bandwidth[threads] = run_worker(Path(sys.executable), "bandwidth", threads)
        print(f"\n--- {threads} thread(s), cores {bw['cores']}: copy bandwidth {bw['copy'] / 1e9:.1f} GB/s "
              f"(read + write), read bandwidth {bw['read'] / 1e9:.1f} GB/s (float32 matrix-vector product)")
        for runtime, python in (("quillfen", Path(sys.executable)), ("llamacpp", llama_python)):
            env = quillfen_env if runtime == "quillfen" else None
            r = results[(runtime, threads)] = run_worker(python, runtime, threads, args.runs, args.tokens, env)
            print(f"{runtime}: cores {r['cores']}; {r['info']}")

    quillfen_form = args.quillfen_weights
    if quillfen_form == "auto":
        q = results[("quillfen", args.threads[0])]
        held = (q["rss_loaded_mib"] - q["rss_before_mib"]) * MIB
        quillfen_form = "float32" if held >= weights["float32"] else "stored"
        print(f"\nquillfen holds {held / 1e6:.0f} MB after loading: its weights count as {quillfen_form} "
              "(override with --quillfen-weights)")

    header = (f"{'runtime':<17}{'thr':>4}{'decode tok/s':>13}{'prompt tok/s':>13}{'prompt160':>10}{'load s':>8}"
              f"{'RSS loaded':>12}{'peak RSS':>10}{'bound: copy':>13}{'read':>7}   decode tok/s of each run")
    print("\n" + header)
    print("-" * len(header))
    for (runtime, threads), r in results.items():
        quiet = [run for run in r["runs"] if run["others"] <= QUIET] or r["runs"]
        r["rate"] = statistics.median(args.tokens / run["decode_seconds"] for run in quiet)
        prompt_rate = statistics.median(r["prompt_tokens"] / run["prompt_seconds"] for run in quiet)
        r["prompt_rate"] = long_rate = statistics.median(len(LONG_PROMPT) / run["long_prompt_seconds"] for run in quiet)
        per_token = weights[quillfen_form if runtime == "quillfen" else "stored"]
        r["bound"] = bandwidth[threads]["copy"] / per_token
        read_bound = bandwidth[threads]["read"] / per_token
        name = "quillfen" if runtime == "quillfen" else "llama-cpp-python"
        runs = " ".join(f"{args.tokens / run['decode_seconds']:.1f}" + ("" if run["others"] <= QUIET else "*")
                        for run in r["runs"])
        print(f"{name:<17}{threads:>4}{r['rate']:>13.1f}{prompt_rate:>13.1f}{long_rate:>10.1f}{r['load_seconds']:>8.2f}"
              f"{r['rss_loaded_mib']:>8.0f} MiB{r['peak_rss_mib']:>6.0f} MiB{r['bound']:>13.1f}{read_bound:>7.1f}"
              f"   {runs}")
    print(f"(decode and prompt in tokens/s; prompt: the {len(PROMPT_IDS) - 1} tokens before decoding, prompt160: "
          f"a separate {len(LONG_PROMPT)}-token prompt from an empty cache; RSS = peak resident set of the configuration's own process "
          f"(its interpreter alone: ~{results[next(iter(results))]['rss_before_mib']:.0f} MiB); "
          "bound = bandwidth / weight bytes per token; medians over the undisturbed runs, "
          f"* = a run during which other processes used more than {QUIET} of a core of ours, left out)")

    print()
    for threads in args.threads:
        q, l = results[("quillfen", threads)], results[("llamacpp", threads)]
        print(f"{threads} thread(s): quillfen / llama-cpp-python = {q['rate'] / l['rate']:.2f} decode, "
              f"{q['prompt_rate'] / l['prompt_rate']:.2f} prompt160  "
              f"(quillfen at {q['rate'] / q['bound']:.0%} of its copy-bandwidth bound, "
              f"llama-cpp-python at {l['rate'] / l['bound']:.0%} of its)")
    if len(args.threads) > 1:
        lo, hi = min(args.threads), max(args.threads)
        for runtime in ("quillfen", "llamacpp"):
            a, b = results[(runtime, lo)], results[(runtime, hi)]
            print(f"{runtime}: {lo} -> {hi} threads scales decode {b['rate'] / a['rate']:.2f}x, "
                  f"prompt160 {b['prompt_rate'] / a['prompt_rate']:.2f}x")

    for (runtime, threads), r in results.items():
        quiet = sum(run["others"] <= QUIET for run in r["runs"])
        if quiet < args.runs:
            what = f"the median of only {quiet}" if quiet else "the median of all runs, every one disturbed"
            print(f"note: other processes disturbed {runtime} at {threads} thread(s) too often: {what}")

    n = min(COMPARED_TOKENS, args.tokens)
    if MODEL != "smollm2":
        for threads in args.threads:
            q, l = results[("quillfen", threads)], results[("llamacpp", threads)]
            print(f"first {n} greedy tokens at {threads} thread(s): quillfen vs llama-cpp-python "
                  f"{agreement(q['tokens'], l['tokens'], n)}")
        print(f"load average (1/5/15 min) at the end: {load_average()}")
        return 0
    print(f"\nfirst {n} greedy tokens (informational):")
    for threads in args.threads:
        q, l = results[("quillfen", threads)], results[("llamacpp", threads)]
        print(f"  {threads} thread(s): quillfen vs llama-cpp-python {agreement(q['tokens'], l['tokens'], n)}; "
              f"vs the float32 reference of smollm2_prompt: quillfen {agreement(q['tokens'], REFERENCE_TOKENS, n)}, "
              f"llama-cpp-python {agreement(l['tokens'], REFERENCE_TOKENS, n)}")
    m = min(args.tokens, len(REFERENCE_TOKENS))
    for runtime in ("quillfen", "llamacpp"):
        print(f"  all {m} generated tokens at {args.threads[0]} thread(s) vs the reference: {runtime} "
              f"{agreement(results[(runtime, args.threads[0])]['tokens'], REFERENCE_TOKENS, m)}")
    for (runtime, threads), r in results.items():
        if not r["runs_agree"]:
            print(f"  note: {runtime} at {threads} thread(s) gave different tokens in different runs")
    for runtime in ("quillfen", "llamacpp"):
        per_thread = [results[(runtime, t)]["tokens"] for t in args.threads]
        if any(t != per_thread[0] for t in per_thread):
            print(f"  note: {runtime}'s tokens depend on the thread count")
    print(f"load average (1/5/15 min) at the end: {load_average()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
