"""`quillfen serve --ray`: two replicas of one thread on a local Ray instance of the module's own, driven
through Ray Serve's HTTP proxy by the official `openai` client, checked against the library."""

import asyncio
import os
import re
import time

import openai
import pytest

from model_files import write_tiny_model
from quillfen import Model
from test_server import CHAT, OFF, serve

# The server's local Ray instance is on the loopback address (see `quillfen serve --ray`) and asks for
# the token it keeps in ~/.ray: this process connects to it the same way.
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
os.environ.setdefault("RAY_AUTH_MODE", "token")
ray = pytest.importorskip("ray", reason="quillfen[cluster] is not installed")
from ray import serve as ray_serve  # noqa: E402

from quillfen.server.cluster import Replica  # noqa: E402

pytestmark = [
    pytest.mark.filterwarnings("ignore::DeprecationWarning"),
    # The replicas run whichever kernel level the machine has; the forced levels are the kernels' tests.
    pytest.mark.skipif("QUILLFEN_ISA" in os.environ, reason="Ray tests run once, at the machine's own level"),
]

TIMEOUT = 60  # every request and wait below ends by then


@pytest.fixture(scope="module")
def endless_file(tmp_path_factory):
    # Long enough that streams of 3,000 tokens are still running while a replica is killed.
    return write_tiny_model(tmp_path_factory.mktemp("ray") / "endless.gguf", context_length=4096, hidden=512,
                            layers=8, endless=True)


@pytest.fixture(scope="module")
def cluster(endless_file, tmp_path_factory):
    log_dir = tmp_path_factory.mktemp("log")
    try:
        with serve(endless_file, log_dir, "--ray", "--replicas", "2", "--threads-per-replica", "1",
                   "--parallel", "4", "--model-alias", "endless") as s:
            deadline = time.monotonic() + TIMEOUT  # the line comes once serve.run has returned
            while not (found := re.search(r"Ray at (\S+);", s.stderr())):
                assert time.monotonic() < deadline, s.stderr()
                time.sleep(0.2)
            address = found.group(1)
            ray.init(address=address, logging_level="error", log_to_driver=False)
            yield s
    except AssertionError:
        text = (log_dir / os.listdir(log_dir)[0]).read_text() if os.listdir(log_dir) else ""
        if "Ray did not start" in text:
            pytest.skip(f"Ray cannot start here: {text.strip().splitlines()[-1]}")
        raise
    finally:
        ray.shutdown()


@pytest.fixture(scope="module")
def library(endless_file):
    return Model(endless_file)


def _replicas_running():
    status = ray_serve.status().applications["quillfen"].deployments["quillfen"]
    return status.replica_states.get("RUNNING", 0)


@pytest.mark.parametrize("stream", [False, True])
@pytest.mark.parametrize("chat", [True, False])
def test_answers_are_the_librarys(cluster, library, chat, stream):
    """Through the proxy, the front and either replica: the library's tokens and text for the same seed."""
    client = cluster.client(timeout=TIMEOUT)
    for temperature, seed in ((0.9, 7), (0.0, 1)):
        args = dict(model="endless", max_tokens=12, temperature=temperature, seed=seed, stream=stream,
                    extra_body={"return_token_ids": True})
        if chat:
            want = library.chat(CHAT, max_tokens=12, temperature=temperature, seed=seed, **OFF)
            got = client.chat.completions.create(messages=CHAT, **args)
        else:
            want = library.generate("the cat", max_tokens=12, temperature=temperature, seed=seed, **OFF)
            got = client.completions.create(prompt="the cat", **args)
        if stream:
            events = list(got)
            choices = [c for e in events for c in e.choices]
            text = "".join((c.delta.content or "") if chat else c.text for c in choices)
            ids = [t for c in choices for t in (getattr(c, "token_ids", None) or [])]
            finish = [c.finish_reason for c in choices if c.finish_reason][-1]
        else:
            c = got.choices[0]
            text, ids, finish = (c.message.content if chat else c.text), c.token_ids, c.finish_reason
        assert (text, ids, finish) == (want.text, want.tokens, want.finish_reason)


def test_multi_turn_chats_stay_on_their_replica(cluster):
    """Four conversations, three turns each, interleaved: every turn lands where the first did, and its
    usage shows the earlier turns served from that replica's cache."""
    client = cluster.client(timeout=TIMEOUT)
    talks = [[{"role": "user", "content": f"tell story {i} about the cat"}] for i in range(4)]
    home, before = {}, {}
    for turn in range(3):
        for i, messages in enumerate(talks):
            raw = client.chat.completions.with_raw_response.create(model="endless", messages=messages,
                                                                   max_tokens=6, temperature=0)
            got = raw.parse()
            replica = raw.headers["x-quillfen-replica"]
            assert home.setdefault(i, replica) == replica, f"conversation {i}, turn {turn}"
            if turn:  # the whole earlier prompt at least
                assert got.usage.prompt_tokens_details.cached_tokens >= before[i], (i, turn, got.usage)
            before[i] = got.usage.prompt_tokens
            messages += [{"role": "assistant", "content": got.choices[0].message.content},
                         {"role": "user", "content": f"and then {turn}?"}]


def test_load_wins_over_a_prefix_when_replicas_are_uneven(cluster):
    """Six streams at once continuing one conversation: its replica takes them until it has 2 more in
    flight than the other (the router's `max_imbalance`), then the other one takes some."""
    client = cluster.client(timeout=TIMEOUT)
    messages = [{"role": "user", "content": "one conversation, many branches"}]
    first = client.chat.completions.with_raw_response.create(model="endless", messages=messages, max_tokens=4,
                                                             temperature=0)
    home = first.headers["x-quillfen-replica"]
    messages.append({"role": "assistant", "content": first.parse().choices[0].message.content})

    async def branches():
        client = openai.AsyncOpenAI(base_url=cluster.url + "/v1", api_key="none", max_retries=0, timeout=TIMEOUT)

        async def one(j):
            raw = await client.chat.completions.with_raw_response.create(
                model="endless", messages=[*messages, {"role": "user", "content": f"branch {j}"}], max_tokens=1500,
                temperature=0, stream=True)
            await raw.parse().close()  # the replica is known once the response starts
            return raw.headers["x-quillfen-replica"]

        return await asyncio.gather(*(one(j) for j in range(6)))

    where = asyncio.run(branches())
    assert where.count(home) >= 3 and len(set(where)) == 2, where


def test_replica_health_follows_its_model_and_engine(endless_file, tmp_path):
    """Outside Ray: healthy once loaded, unhealthy once the engine stops, and when the file does not load."""
    replica = Replica(str(endless_file), {"parallel": 1, "threads": 1})
    replica.check_health()
    replica.loaded.engine.shutdown()
    with pytest.raises(RuntimeError, match="engine's thread has stopped"):
        replica.check_health()
    bad = tmp_path / "bad.gguf"
    bad.write_bytes(b"GGUF" + bytes(60))
    broken = Replica(str(bad), {"parallel": 1, "threads": 1})
    with pytest.raises(RuntimeError, match="the model did not load"):
        broken.check_health()


def test_a_killed_replica_fails_only_its_requests(cluster):
    """Six streams over both replicas; one replica's actor is killed mid-stream. Its streams end with
    an error in OpenAI's shape, the others finish, new requests are served, and Ray brings a new replica."""

    async def run():
        client = openai.AsyncOpenAI(base_url=cluster.url + "/v1", api_key="none", max_retries=0, timeout=TIMEOUT)
        started = asyncio.Queue()

        async def one(i):
            raw = await client.completions.with_raw_response.create(
                model="endless", prompt=f"story {i}", max_tokens=3000, temperature=0, stream=True)
            replica, tokens = raw.headers["x-quillfen-replica"], 0
            try:
                async for event in raw.parse():
                    tokens += 1
                    if tokens == 5:
                        await started.put(replica)
                    finish = event.choices[0].finish_reason if event.choices else None
                    if finish:
                        return replica, finish
                return replica, "ended without finishing"
            except openai.APIError as e:
                return replica, e

        tasks = [asyncio.ensure_future(one(i)) for i in range(6)]
        holders = [await asyncio.wait_for(started.get(), TIMEOUT) for _ in tasks]
        victim = holders[0]
        actor = next(a for a in ray.util.list_named_actors(all_namespaces=True)
                     if a["name"].startswith("SERVE_REPLICA::quillfen#quillfen#") and a["name"].endswith(victim))
        ray.kill(ray.get_actor(actor["name"], namespace=actor["namespace"]))
        results = await asyncio.wait_for(asyncio.gather(*tasks), TIMEOUT * 2)
        return victim, results

    victim, results = asyncio.run(run())
    assert 0 < sum(r == victim for r, _ in results) < len(results), results  # both replicas held streams
    for replica, outcome in results:
        if replica == victim:
            assert isinstance(outcome, openai.APIError) and "replica" in str(outcome.message), outcome
        else:
            assert outcome == "length", outcome
    client = cluster.client(timeout=TIMEOUT)
    for _ in range(3):
        got = client.completions.create(model="endless", prompt="after", max_tokens=3, temperature=0)
        assert got.choices[0].finish_reason == "length"
    deadline = time.monotonic() + 120
    while _replicas_running() < 2:
        assert time.monotonic() < deadline, ray_serve.status()
        time.sleep(1)
