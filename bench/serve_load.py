"""`quillfen serve` under concurrent streaming clients, against llama.cpp's `llama-server` and
llama-cpp-python's `llama_cpp.server` started in the same command.

    python bench/serve_load.py                 # 1, 2, 4, 8 clients, all three servers
    python bench/serve_load.py --only quillfen # quillfen alone
    python bench/serve_load.py --load 60       # 32 clients for 60 s against quillfen: answers, slots, RSS
    python bench/serve_load.py --ray           # Ray Serve replicas: tok/s by replicas, cache hits by router

Each client streams a 64-token greedy chat answer to its own story prompt (long enough that none ends
early: the token counts printed show it; a logit bias would put llama_cpp.server on a slower path);
a level runs every server in turn, so a busy machine slows all alike.
Figures: aggregate generated tokens/s over the level's wall time, and p50/p95 time to first token.
SmolLM2-135M-Instruct Q4_1, 2 threads, `--parallel 4` where the server has it. llama-server is built
on first use (bench/llama_server_install.py, 15 to 30 minutes); llama_cpp.server runs from the
llama-cpp-python venv bench/llamacpp_install.py builds, with its server's dependencies added.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import random
import signal
import socket
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import httpx

sys.path.insert(0, str(Path(__file__).resolve().parent))
from llamacpp_install import ensure_llamacpp  # noqa: E402
from llama_server_install import ensure_llama_server, library_env  # noqa: E402
from smollm2 import smollm2_path  # noqa: E402

THREADS = 2
PARALLEL = 4
TOKENS = 64
SLOT_CONTEXT = 1024
PROMPTS = [f"Write a short story about {t}." for t in (
    "a lighthouse keeper", "a lost key", "the first snow", "a robot chef", "an old map", "a quiet library",
    "a river at night", "a kite that would not fly", "a clockmaker", "two rival bakers", "a desert train",
    "the last bus home", "a garden on the moon", "a talking cat", "a broken violin", "a winter market")]


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


@dataclass
class Server:
    name: str
    proc: subprocess.Popen[bytes]
    url: str
    model: str

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def rss_kib(self) -> int:
        for line in Path(f"/proc/{self.proc.pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
        return 0


# llama_cpp.server's own dependencies (its `server` extra), added once to the llama-cpp-python venv.
LLAMACPP_SERVER_PACKAGES = ["uvicorn", "fastapi", "sse-starlette", "starlette-context", "pydantic-settings"]


def llamacpp_server_python() -> Path:
    python = ensure_llamacpp()
    if subprocess.run([str(python), "-c", "import llama_cpp.server.app"], capture_output=True).returncode != 0:
        subprocess.run([str(python), "-m", "pip", "install", "-q", *LLAMACPP_SERVER_PACKAGES], check=True)
    return python


def start(name: str, model: Path, extra: list[str] | None = None) -> Server:
    port = free_port()
    log = open(Path(__file__).resolve().parent / ".cache" / f"serve_load-{name.replace(' ', '_')}.log", "w")
    if name.startswith("quillfen"):
        threads = [] if "--ray" in (extra or []) else ["--threads", str(THREADS)]
        cmd = [sys.executable, "-m", "quillfen", "serve", str(model), "--port", str(port), *threads,
               "--parallel", str(PARALLEL), "--ctx-size", str(SLOT_CONTEXT), "--model-alias", "smollm2",
               *(extra or [])]
    elif name == "llama-server":
        cmd = [str(ensure_llama_server()), "-m", str(model), "--port", str(port), "-t", str(THREADS), "-tb",
               str(THREADS), "--parallel", str(PARALLEL), "-c", str(SLOT_CONTEXT * PARALLEL), "--alias", "smollm2",
               "--no-webui", "--log-disable"]
    else:
        cmd = [str(llamacpp_server_python()), "-m", "llama_cpp.server", "--model", str(model), "--port", str(port),
               "--n_threads", str(THREADS), "--n_threads_batch", str(THREADS), "--n_ctx", str(SLOT_CONTEXT),
               "--model_alias", "smollm2"]
    env = library_env() if name == "llama-server" else None
    proc = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT, cwd="/", env=env)
    server = Server(name, proc, f"http://127.0.0.1:{port}", "smollm2")
    deadline = time.monotonic() + 300
    while True:
        try:
            if httpx.get(server.url + "/v1/models", timeout=2).status_code == 200:
                return server
        except httpx.TransportError:
            pass
        if proc.poll() is not None or time.monotonic() > deadline:
            raise SystemExit(f"{name} did not start; see {log.name}")
        time.sleep(0.2)


@dataclass
class Reply:
    ttft: float
    tokens: int
    seconds: float
    token_ids: list[int] | None = None
    text: str = ""


async def stream(client: httpx.AsyncClient, server: Server, prompt: str, *, max_tokens: int = TOKENS,
                 leave_after: int | None = None) -> Reply:
    body = {"model": server.model, "messages": [{"role": "user", "content": prompt}], "max_tokens": max_tokens,
            "temperature": 0, "stream": True, "return_token_ids": True}
    t0 = time.perf_counter()
    ttft, tokens, ids, text = 0.0, 0, [], []
    async with client.stream("POST", server.url + "/v1/chat/completions", json=body) as r:
        if r.status_code != 200:
            raise RuntimeError(f"{server.name}: {r.status_code} {(await r.aread())[:200]!r}")
        async for line in r.aiter_lines():
            if not line.startswith("data: ") or line == "data: [DONE]":
                continue
            chunk = json.loads(line[6:])
            for c in chunk.get("choices", []):
                piece = (c.get("delta") or {}).get("content")
                if piece and not ttft:
                    ttft = time.perf_counter() - t0
                if piece or c.get("token_ids"):  # the anchors send one token a chunk
                    tokens += len(c.get("token_ids") or [0])
                    ids.extend(c.get("token_ids") or [])
                    text.append(piece or "")
            if leave_after is not None and tokens >= leave_after:
                break
    return Reply(ttft, tokens, time.perf_counter() - t0, ids, "".join(text))


async def level(server: Server, clients: int, round_: int) -> tuple[float, list[float], int]:
    async with httpx.AsyncClient(timeout=600) as client:
        t0 = time.perf_counter()
        replies = await asyncio.gather(*(stream(client, server, PROMPTS[(round_ * clients + i) % len(PROMPTS)])
                                         for i in range(clients)))
        wall = time.perf_counter() - t0
    tokens = sum(r.tokens for r in replies)
    return tokens / wall, [r.ttft for r in replies], tokens


def pct(values: list[float], q: float) -> float:
    values = sorted(values)
    return values[min(len(values) - 1, max(0, round(q * (len(values) - 1))))]


def compare(names: list[str], levels: list[int], rounds: int) -> None:
    model = smollm2_path()
    servers = []
    try:
        for name in names:
            servers.append(start(name, model))
            print(f"started {name}", file=sys.stderr, flush=True)
        for s in servers:  # one warm-up answer each
            asyncio.run(level(s, 1, 99))
        results: dict[tuple[str, int], list[tuple[float, list[float], int]]] = {}
        for clients in levels:
            for r in range(rounds):
                for s in servers:
                    results.setdefault((s.name, clients), []).append(asyncio.run(level(s, clients, r)))
        print(f"\nSmolLM2-135M-Instruct Q4_1, {THREADS} threads, --parallel {PARALLEL}, {TOKENS}-token streamed "
              f"completions, {rounds} round(s) per level; CPU: {cpu_name()}")
        print(f"{'server':16} {'clients':>7} {'tok/s':>8} {'p50 TTFT':>9} {'p95 TTFT':>9} {'tokens':>7}")
        for clients in levels:
            for s in servers:
                runs = results[(s.name, clients)]
                rate = statistics.median(x[0] for x in runs)
                ttfts = [t for x in runs for t in x[1]]
                got = sum(x[2] for x in runs)
                print(f"{s.name:16} {clients:7} {rate:8.1f} {pct(ttfts, .5):8.2f}s {pct(ttfts, .95):8.2f}s "
                      f"{got:4}/{TOKENS * clients * len(runs)}")
        q = ({c: statistics.median(x[0] for x in results[("quillfen", c)]) for c in levels}
             if "quillfen" in names else {})
        if q and 1 in q and 4 in q:
            print(f"\nquillfen: 4 clients / 1 client = {q[4] / q[1]:.2f}x")
        for other in ("llama-server", "llama_cpp.server"):
            if q and other in names:
                ratios = ", ".join(f"{c}: {q[c] / statistics.median(x[0] for x in results[(other, c)]):.2f}x"
                                   for c in levels)
                print(f"quillfen / {other} aggregate tok/s by clients: {ratios}")
    finally:
        for s in servers:
            s.stop()


def cpu_name() -> str:
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return f"{line.split(':', 1)[1].strip()}, {os.cpu_count()} CPUs (shared)"
    return "unknown"


def load(seconds: float, clients: int = 32) -> None:
    """`clients` streaming clients for `seconds`: every answer equal to (or, for a client that leaves
    early, a prefix of) the same prompt's answer alone, no busy slot or queued sequence afterwards,
    and the server's resident size sampled throughout."""
    server = start("quillfen", smollm2_path())
    try:
        async def run() -> None:
            async with httpx.AsyncClient(timeout=600) as client:
                alone = {p: await stream(client, server, p, max_tokens=32) for p in PROMPTS[:8]}
                rss: list[int] = []
                stats = {"done": 0, "left": 0, "wrong": 0, "tokens": 0}
                end = time.monotonic() + seconds

                async def sample_rss() -> None:
                    while time.monotonic() < end:
                        rss.append(server.rss_kib())
                        await asyncio.sleep(1)

                async def worker(i: int) -> None:
                    rng = random.Random(i)
                    while time.monotonic() < end:
                        p = rng.choice(PROMPTS[:8])
                        leave = rng.randint(1, 16) if rng.random() < 0.2 else None
                        r = await stream(client, server, p, max_tokens=32, leave_after=leave)
                        want = alone[p].token_ids or []
                        right = r.token_ids == want if leave is None else r.token_ids == want[:len(r.token_ids or [])]
                        stats["done" if leave is None else "left"] += 1
                        stats["wrong"] += not right
                        stats["tokens"] += r.tokens

                t0 = time.perf_counter()
                await asyncio.gather(sample_rss(), *(worker(i) for i in range(clients)))
                wall = time.perf_counter() - t0
                await asyncio.sleep(0.5)
                health = (await client.get(server.url + "/health")).json()
                print(f"{clients} clients for {wall:.0f} s: {stats['done']} answers complete, {stats['left']} left "
                      f"mid-stream, {stats['wrong']} with wrong tokens; {stats['tokens'] / wall:.1f} tokens/s")
                print(f"afterwards: {health['busy_slots']} busy slots, {health['queue_depth']} queued")
                third = max(1, len(rss) // 3)
                print(f"RSS MiB: first third median {statistics.median(rss[:third]) / 1024:.1f}, last third median "
                      f"{statistics.median(rss[-third:]) / 1024:.1f}, max {max(rss) / 1024:.1f}")
                if stats["wrong"] or health["busy_slots"] or health["queue_depth"]:
                    raise SystemExit("load run failed")

        asyncio.run(run())
    finally:
        server.stop()


def ray_configs() -> list[tuple[str, list[str]]]:
    one = ["--threads", "1"]
    replicas = ["--ray", "--threads-per-replica", "1", "--replicas"]
    return [("quillfen 1 thread", one), ("quillfen 2 threads", ["--threads", "2"]),
            ("quillfen ray 1x1", [*replicas, "1"]), ("quillfen ray 2x1", [*replicas, "2"])]


async def conversation(client: httpx.AsyncClient, server: Server, i: int, turns: int,
                       counts: list[tuple[int, int, str]]) -> None:
    """One chat of `turns` turns, each the whole history so far, 0 to 2 s apart; records each turn's
    prompt tokens, cached prompt tokens and the replica that answered."""
    messages = [{"role": "user", "content": PROMPTS[i % len(PROMPTS)]}]
    rng = random.Random(i)
    for turn in range(turns):
        await asyncio.sleep(rng.uniform(0, 2))  # the user reads and types: chats do not move in step
        body = {"model": server.model, "messages": messages, "max_tokens": 32, "temperature": 0}
        r = await client.post(server.url + "/v1/chat/completions", json=body)
        if r.status_code != 200:
            raise RuntimeError(f"{server.name}: {r.status_code} {r.text[:200]}")
        reply = r.json()
        usage = reply["usage"]
        counts.append((usage["prompt_tokens"], usage["prompt_tokens_details"]["cached_tokens"],
                       r.headers.get("x-quillfen-replica", "-")))
        messages += [{"role": "assistant", "content": reply["choices"][0]["message"]["content"]},
                     {"role": "user", "content": ["Go on.", "And then?", "How does it end?", "Give it a title."][turn % 4]}]


def ray_bench(clients: list[int], rounds: int, conversations: int, turns: int) -> None:
    """Aggregate tok/s of streaming clients against one process (1 and 2 threads) and Ray Serve replicas
    of one thread (1 and 2); then `conversations` concurrent multi-turn chats against 2 replicas with
    the prefix router and with Ray's default (power of two choices on load alone)."""
    model = smollm2_path()
    rates: dict[tuple[str, int], float] = {}
    for name, extra in ray_configs():
        server = start(name, model, extra)
        try:
            asyncio.run(level(server, 1, 99))
            for n in clients:
                runs = [asyncio.run(level(server, n, r)) for r in range(rounds)]
                rates[(name, n)] = statistics.median(x[0] for x in runs)
                print(f"{name:20} {n} clients: {rates[(name, n)]:7.1f} tok/s "
                      f"(rounds: {', '.join(f'{x[0]:.1f}' for x in runs)})", flush=True)
        finally:
            server.stop()
    hits: dict[str, tuple[float, float, int]] = {}
    for router in ("prefix", "load"):
        server = start(f"quillfen ray 2x1 {router}", model, ["--ray", "--threads-per-replica", "1", "--replicas", "2",
                                                             "--router", router])
        try:
            counts: list[tuple[int, int, str]] = []

            async def chats() -> float:
                async with httpx.AsyncClient(timeout=600) as client:
                    t0 = time.perf_counter()
                    await asyncio.gather(*(conversation(client, server, i, turns, counts)
                                           for i in range(conversations)))
                    return time.perf_counter() - t0

            wall = asyncio.run(chats())
            prompt, cached = sum(c[0] for c in counts), sum(c[1] for c in counts)
            hits[router] = (cached / prompt, wall, len({c[2] for c in counts}))
        finally:
            server.stop()
    print(f"\nSmolLM2-135M-Instruct Q4_1, --parallel {PARALLEL}, {TOKENS}-token streamed greedy chats, "
          f"{rounds} rounds; CPU: {cpu_name()}")
    print(f"{'server':20} " + " ".join(f"{f'{n} clients':>10}" for n in clients))
    for name, _ in ray_configs():
        print(f"{name:20} " + " ".join(f"{rates[(name, n)]:10.1f}" for n in clients))
    for n in clients:
        r = {name: rates[(name, n)] for name, _ in ray_configs()}
        print(f"{n} clients: 2 replicas / 1 replica {r['quillfen ray 2x1'] / r['quillfen ray 1x1']:.2f}x; "
              f"Ray 1x1 / one process of 1 thread {r['quillfen ray 1x1'] / r['quillfen 1 thread']:.2f}x; "
              f"Ray 2x1 / one process of 2 threads {r['quillfen ray 2x1'] / r['quillfen 2 threads']:.2f}x")
    print(f"\n{conversations} concurrent chats of {turns} turns (32-token answers), 2 replicas of 1 thread:")
    print(f"{'router':8} {'cached/prompt tokens':>21} {'wall':>7} {'replicas used':>14}")
    for router, (rate, wall, used) in hits.items():
        print(f"{router:8} {rate:21.1%} {wall:6.1f}s {used:14}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--only", choices=["quillfen", "llama-server", "llama_cpp.server"], action="append")
    parser.add_argument("--clients", type=int, nargs="+", default=[1, 2, 4, 8])
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--load", type=float, default=None, metavar="SECONDS", help="the 32-client load run")
    parser.add_argument("--ray", action="store_true", help="Ray Serve replicas (needs quillfen[cluster])")
    args = parser.parse_args()
    if args.ray:
        ray_bench(clients=[4, 8], rounds=args.rounds, conversations=8, turns=4)
        return
    if args.load is not None:
        load(args.load)
        return
    compare(args.only or ["quillfen", "llama-server", "llama_cpp.server"], args.clients, args.rounds)


if __name__ == "__main__":
    main()
