"""`quillfen serve` as users reach it: a live server subprocess, driven by the official `openai` client
and by raw HTTP (httpx), checked against the library run in this process."""

import asyncio
import contextlib
import json
import math
import os
import signal
import socket
import subprocess
import sys
import time

import httpx
import numpy as np
import openai
import pytest

from model_files import write_tiny_model
from quillfen import Model

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Served:
    def __init__(self, proc, port, log):
        self.proc, self.port, self.log = proc, port, log
        self.url = f"http://127.0.0.1:{port}"

    def client(self, key="none", **kw):
        return openai.OpenAI(base_url=self.url + "/v1", api_key=key, max_retries=0, **kw)

    def stderr(self):
        with open(self.log) as f:
            return f.read()


@contextlib.contextmanager
def serve(path, tmp_path, *args):
    port = _free_port()
    log = tmp_path / f"serve-{port}.log"
    with open(log, "w") as err:
        # Started outside the source tree, whose quillfen/ folder lacks the built modules.
        proc = subprocess.Popen([sys.executable, "-m", "quillfen", "serve", str(path), "--port", str(port), *args],
                                stdout=subprocess.DEVNULL, stderr=err, cwd=tmp_path)
    served = Served(proc, port, log)
    try:
        deadline = time.monotonic() + 120
        while True:
            try:
                if httpx.get(served.url + "/health", timeout=1).status_code == 200:
                    break
            except httpx.TransportError:
                pass
            assert proc.poll() is None and time.monotonic() < deadline, served.stderr()
            time.sleep(0.1)
        yield served
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGINT)
            try:
                proc.wait(20)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


@pytest.fixture(scope="module")
def tiny_file(tmp_path_factory):
    return write_tiny_model(tmp_path_factory.mktemp("serve") / "tiny.gguf", context_length=96)


@pytest.fixture(scope="module")
def endless_file(tmp_path_factory):
    # Wide and long enough that a stream of 4,000 tokens is still running while a test does its next steps.
    return write_tiny_model(tmp_path_factory.mktemp("serve") / "endless.gguf", context_length=4096, hidden=256,
                            layers=4, endless=True)


@pytest.fixture(scope="module")
def tiny(tiny_file, tmp_path_factory):
    with serve(tiny_file, tmp_path_factory.mktemp("log"), "--parallel", "3", "--model-alias", "tiny") as s:
        yield s


@pytest.fixture(scope="module")
def strict(endless_file, tmp_path_factory):
    """One slot, no queue, a key and a small body limit."""
    with serve(endless_file, tmp_path_factory.mktemp("log"), "--parallel", "1", "--max-queue", "0",
               "--api-key", "sesame", "--max-body", "4000", "--model-alias", "endless") as s:
        yield s


@pytest.fixture(scope="module")
def library(tiny_file):
    return Model(tiny_file)


def _tool(name, parameters=None):
    return {"type": "function", "function": {"name": name, "description": f"{name} of a city",
                                             "parameters": parameters or {"type": "object", "properties": {}}}}


CHAT = [{"role": "system", "content": "be brief"}, {"role": "user", "content": "the cat in the hat"}]
# The library's sampling with every filter off, as OpenAI's defaults leave them.
OFF = {"top_k": 0, "top_p": 1.0, "min_p": 0.0}


def _stream_text(events, chat):
    text, finish = [], None
    for e in events:
        for c in e.choices:
            text.append((c.delta.content or "") if chat else c.text)
            finish = c.finish_reason or finish
    return "".join(text), finish


@pytest.mark.parametrize("stream", [False, True])
@pytest.mark.parametrize("chat", [True, False])
def test_answers_are_the_librarys(tiny, library, chat, stream):
    """The same seed gives the library's text and tokens, streamed or not, sampled or greedy, held to
    JSON or not."""
    client = tiny.client()
    for temperature, seed, json_object in ((0.9, 7, False), (0.0, 1, False), (0.9, 3, True)):
        fmt = {"type": "json_object"} if json_object else None
        args = dict(model="tiny", max_tokens=12, temperature=temperature, seed=seed, stream=stream,
                    extra_body={"return_token_ids": True, "response_format": fmt})
        if chat:
            want = library.chat(CHAT, max_tokens=12, temperature=temperature, seed=seed, response_format=fmt, **OFF)
            got = client.chat.completions.create(messages=CHAT, **args)
        else:
            want = library.generate("the cat", max_tokens=12, temperature=temperature, seed=seed,
                                    json_schema={"type": "object"} if json_object else None, **OFF)
            got = client.completions.create(prompt="the cat", **args)
        if stream:
            assert _stream_text(got, chat) == (want.text, want.finish_reason)
            continue
        choice = got.choices[0]
        assert (choice.message.content if chat else choice.text) == want.text
        assert choice.finish_reason == want.finish_reason
        assert choice.token_ids == want.tokens
        assert got.usage.completion_tokens == len(want.tokens)
        assert got.usage.prompt_tokens == want.prompt_tokens


@pytest.mark.parametrize("temperature, top_k, top_p, min_p",
                         [(0.0, 0, 1.0, 0.0), (0.9, 0, 1.0, 0.0), (1.3, 5, 0.8, 0.05)])
def test_sample_draws_what_next_token_draws(library, temperature, top_k, top_p, min_p):
    """The engine draws from logits it holds (after penalties); untouched, they give next_token's token."""
    from quillfen import _runtime

    context = library.tokenize("the cat sat")
    logits = library._native.logits(context)
    for rng in (1, 99, 2**63 + 5):
        want = library._native.next_token(context, temperature, top_k, top_p, min_p, rng)[0]
        assert _runtime.sample(logits, temperature, top_k, top_p, min_p, rng) == want
    with pytest.raises(ValueError, match="float32"):
        _runtime.sample(b"abc")


def test_async_client_n_choices_have_their_own_seeds(tiny):
    async def run():
        client = openai.AsyncOpenAI(base_url=tiny.url + "/v1", api_key="none", max_retries=0)
        both = await client.chat.completions.create(model="tiny", messages=CHAT, n=3, seed=40, max_tokens=10)
        alone = await asyncio.gather(*(client.chat.completions.create(model="tiny", messages=CHAT, seed=40 + i,
                                                                      max_tokens=10) for i in range(3)))
        stream = await client.chat.completions.create(model="tiny", messages=CHAT, n=3, seed=40, max_tokens=10,
                                                      stream=True)
        streamed = {i: "" for i in range(3)}
        async for event in stream:
            for c in event.choices:
                streamed[c.index] += c.delta.content or ""
        return both, alone, streamed

    both, alone, streamed = asyncio.run(run())
    assert [c.index for c in both.choices] == [0, 1, 2]
    texts = [c.message.content for c in both.choices]
    assert texts == [a.choices[0].message.content for a in alone] == [streamed[i] for i in range(3)]
    assert len(set(texts)) > 1
    assert both.usage.prompt_tokens == alone[0].usage.prompt_tokens  # one prompt, counted once
    # Several prompts with n each: choice p * n + j is prompt p drawn with seed + j.
    client = tiny.client()
    batch = client.completions.create(model="tiny", prompt=["the cat", "in a hat"], n=2, seed=5, max_tokens=6)
    single = [client.completions.create(model="tiny", prompt=p, seed=5 + j, max_tokens=6).choices[0].text
              for p in ("the cat", "in a hat") for j in range(2)]
    assert [c.text for c in sorted(batch.choices, key=lambda c: c.index)] == single


def _log_softmax(logits):
    x = logits.astype(np.float64)
    return (x - x.max() - np.log(np.exp(x - x.max()).sum())).astype(np.float32)


def test_logprobs_are_the_log_softmax_of_the_logits(tiny, library):
    """Each token's log-probability and the top ones equal the float32 log-softmax of the library's
    logits after the same context; completions give the same numbers in their own shape."""
    client = tiny.client()
    got = client.chat.completions.create(model="tiny", messages=CHAT, max_tokens=6, temperature=0, logprobs=True,
                                         top_logprobs=3, extra_body={"return_token_ids": True}).choices[0]
    prompt = library.chat_tokens(CHAT)
    context = list(prompt)
    vocab = library.tokenizer.vocab_size
    for token, entry in zip(got.token_ids, got.logprobs.content, strict=True):
        lp = _log_softmax(np.frombuffer(library._native.logits(context), np.float32)[:vocab])
        assert entry.logprob == float(lp[token])
        best = np.argsort(-lp, kind="stable")[:3]
        assert [t.logprob for t in entry.top_logprobs] == [float(lp[i]) for i in best]
        assert entry.top_logprobs[0].logprob == entry.logprob  # greedy took the most probable
        assert bytes(entry.bytes) == library.tokenizer.decode([token], False, False)
        context.append(token)
    text = client.completions.create(model="tiny", prompt=prompt, max_tokens=6, temperature=0,
                                     logprobs=2).choices[0]
    assert text.logprobs.token_logprobs == [e.logprob for e in got.logprobs.content]
    # Keyed by token text, as OpenAI's legacy shape is: byte tokens that decode alike share a key.
    assert [max(t.values()) for t in text.logprobs.top_logprobs] == text.logprobs.token_logprobs
    assert text.logprobs.text_offset[0] == 0


def test_penalties_as_openai_defines_them(tiny, library):
    """Greedy decoding with presence and frequency penalties and a logit bias, against the formula applied
    to the library's logits: mu[j] - c[j] * frequency - (c[j] > 0) * presence + bias[j]."""
    got = tiny.client().completions.create(model="tiny", prompt="the the the", max_tokens=10, temperature=0,
                                           presence_penalty=0.7, frequency_penalty=1.3, logit_bias={"104": 2.5},
                                           extra_body={"return_token_ids": True}).choices[0]
    context = library.tokenize("the the the")
    counts = np.zeros(library.tokenizer.vocab_size, np.float32)
    want = []
    for _ in range(10):
        logits = np.frombuffer(library._native.logits(context), np.float32)[:counts.size].copy()
        logits -= counts * np.float32(1.3) + (counts > 0) * np.float32(0.7)
        logits[104] += np.float32(2.5)
        token = int(np.argmax(logits))
        if library.tokenizer.is_end_of_generation(token):
            break
        want.append(token)
        counts[token] += 1
        context.append(token)
    assert got.token_ids == want


def test_stop_strings_and_usage_in_streams(tiny, library):
    client = tiny.client()
    free = library.generate("the cat", max_tokens=20, temperature=0)
    stop = free.text[5:7]
    cut = client.completions.create(model="tiny", prompt="the cat", max_tokens=20, temperature=0, stop=[stop, "zzz"])
    assert (cut.choices[0].text, cut.choices[0].finish_reason) == (free.text[:free.text.index(stop)], "stop")
    for include in (True, False):
        # Seeded: a draw of the end of generation before the fifth token would end the stream shorter.
        events = list(client.chat.completions.create(model="tiny", messages=CHAT, max_tokens=5, stream=True, seed=7,
                                                     stream_options={"include_usage": include}))
        usage = [e for e in events if e.usage is not None]
        if include:
            assert len(usage) == 1 and usage[0] is events[-1] and events[-1].choices == []
            assert usage[0].usage.completion_tokens == 5 - (events[-2].choices[0].finish_reason == "stop")
        else:
            assert usage == [] and all(e.choices for e in events)
    # The same conversation again: its prompt is already in a slot's cache (all but the last token).
    again = client.chat.completions.create(model="tiny", messages=CHAT, max_tokens=2)
    assert again.usage.prompt_tokens_details.cached_tokens == again.usage.prompt_tokens - 1


def test_sse_framing(tiny):
    """Read raw: every event one `data:` line and a blank line; the role first, one id throughout,
    finish_reason on the last choice chunk, [DONE] at the end."""
    body = {"model": "tiny", "messages": CHAT, "max_tokens": 8, "seed": 3, "stream": True}
    with httpx.stream("POST", tiny.url + "/v1/chat/completions", json=body, timeout=30) as r:
        assert r.status_code == 200 and r.headers["content-type"].startswith("text/event-stream")
        raw = r.read().decode()
    events = raw.split("\n\n")
    assert events[-1] == "" and events[-2] == "data: [DONE]"
    chunks = [json.loads(e.removeprefix("data: ")) for e in events[:-2]]
    assert all(e.startswith("data: ") and "\n" not in e for e in events[:-1])
    assert chunks[0]["choices"][0]["delta"] == {"role": "assistant", "content": ""}
    assert {c["id"] for c in chunks} == {chunks[0]["id"]} and chunks[0]["id"].startswith("chatcmpl-")
    assert {c["object"] for c in chunks} == {"chat.completion.chunk"}
    assert [c["choices"][0]["finish_reason"] for c in chunks][-1] in ("stop", "length")
    assert all(c["choices"][0]["finish_reason"] is None for c in chunks[:-1])
    assert all("usage" not in c for c in chunks)


LONG = "the cat " * 60


@pytest.mark.parametrize("status, body, says", [
    (400, b"{not json", "not valid JSON"),
    (400, b"[1, 2]", "JSON object"),
    (400, {"messages": CHAT, "temperature": "hot"}, "temperature"),
    (400, {"messages": CHAT, "top_p": 1.5}, "top_p"),
    (400, {"messages": CHAT, "n": 0}, "n"),
    (400, {"messages": CHAT, "stop": ""}, "stop"),
    (400, {"messages": CHAT, "n": 100}, "slots"),
    (400, {"messages": [{"role": "user", "content": LONG}]}, "96"),
    (404, {"messages": CHAT, "model": "gpt-4o"}, "gpt-4o"),
    (400, {"messages": CHAT, "response_format": {"type": "json_schema", "json_schema": {"schema": {
        "type": "object", "properties": {"a": {"$ref": "#/$defs/missing"}}}}}}, "/$defs/missing"),
    (400, {"messages": CHAT, "response_format": {"type": "json_schema", "json_schema": {"schema": {"not": {}}}}},
     "not"),
    (400, {"messages": CHAT, "tools": [_tool("f", {"type": "string"})]}, "object schema"),
    (400, {"messages": CHAT, "tools": [_tool("f", {"type": "object", "properties": {"a": {"$ref": "#/x"}}})],
           "tool_choice": "required"}, "/x"),
    (400, {"messages": CHAT, "tools": [_tool("f")], "tool_choice": {"type": "function", "function": {"name": "g"}}},
     "'g'"),
    (400, {"messages": CHAT, "tool_choice": "required"}, "needs tools"),
    (400, {"prompt": "a", "tools": [_tool("f")]}, "tools"),
    (200, {"messages": CHAT, "max_tokens": 2, "some_future_field": {"x": 1}, "user": "u"}, None),
])
def test_errors_are_openai_error_objects(tiny, status, body, says):
    kw = {"content": body} if isinstance(body, bytes) else {"json": body}
    endpoint = "completions" if isinstance(body, dict) and "prompt" in body else "chat/completions"
    r = httpx.post(f"{tiny.url}/v1/{endpoint}", timeout=30, **kw)
    assert r.status_code == status, r.text
    if says is not None:
        error = r.json()["error"]
        assert set(error) == {"message", "type", "param", "code"} and says in error["message"]


def test_prompt_longer_than_the_context_names_both_lengths(tiny, library):
    ids = library.chat_tokens([{"role": "user", "content": LONG}])
    with pytest.raises(openai.BadRequestError) as e:
        tiny.client().chat.completions.create(model="tiny", messages=[{"role": "user", "content": LONG}])
    assert f"{len(ids)} tokens" in str(e.value) and "96" in str(e.value)


def test_keys_body_limit_and_full_queue(strict):
    url = strict.url
    assert httpx.get(url + "/health").status_code == 200  # open, for load balancers
    preflight = httpx.options(url + "/v1/chat/completions", headers={
        "Origin": "http://localhost:3000", "Access-Control-Request-Method": "POST",
        "Access-Control-Request-Headers": "authorization, content-type"})
    assert preflight.status_code == 200 and preflight.headers["access-control-allow-origin"] == "*"
    for headers in ({}, {"Authorization": "Bearer wrong"}, {"Authorization": "sesame"}):
        r = httpx.get(url + "/v1/models", headers=headers)
        assert r.status_code == 401 and r.json()["error"]["code"] == "invalid_api_key"
    with pytest.raises(openai.AuthenticationError):
        strict.client("wrong").models.list()
    client = strict.client("sesame")
    assert [m.id for m in client.models.list()] == ["endless"]
    with pytest.raises(openai.APIStatusError) as e:
        client.completions.create(model="endless", prompt="x" * 5000, max_tokens=1)
    assert e.value.status_code == 413
    # One slot, no queue: while a stream holds the slot, another request gets 503 with Retry-After.
    auth = {"Authorization": "Bearer sesame"}
    body = {"model": "endless", "prompt": "the", "max_tokens": 4000, "stream": True}
    with httpx.stream("POST", url + "/v1/completions", json=body, headers=auth, timeout=30) as held:
        lines = held.iter_lines()  # kept: a dropped iterator closes the response, which frees the slot
        next(lines)
        r = httpx.post(url + "/v1/completions", json={**body, "stream": False}, headers=auth)
        assert r.status_code == 503 and r.headers["retry-after"] == "1"
        assert r.json()["error"]["type"] == "server_error"


def _busy(served, headers=None):
    return httpx.get(served.url + "/health", headers=headers).json()["busy_slots"]


def test_a_client_leaving_mid_stream_frees_its_slot(strict):
    auth = {"Authorization": "Bearer sesame"}
    body = {"model": "endless", "prompt": "the", "max_tokens": 4000, "stream": True}
    with httpx.stream("POST", strict.url + "/v1/completions", json=body, headers=auth, timeout=30) as r:
        lines = r.iter_lines()
        next(lines), next(lines)
        assert _busy(strict) == 1
    deadline = time.monotonic() + 10
    while _busy(strict) and time.monotonic() < deadline:
        time.sleep(0.02)
    assert _busy(strict) == 0
    # The slot serves the next request; its log line and the metrics count both.
    r = httpx.post(strict.url + "/v1/completions", json={**body, "stream": False, "max_tokens": 3}, headers=auth)
    assert r.status_code == 200 and r.json()["usage"]["completion_tokens"] == 3
    metrics = httpx.get(strict.url + "/metrics", headers=auth).text
    for name in ("quillfen_requests_total", "quillfen_generated_tokens_total", "quillfen_queue_depth",
                 "quillfen_busy_slots", "quillfen_tokens_per_second"):
        assert name in metrics
    assert "POST /v1/completions 200" in strict.stderr()


def test_tokenize_and_detokenize(tiny, library):
    ids = httpx.post(tiny.url + "/tokenize", json={"content": "the cat"}).json()["tokens"]
    assert ids == library.tokenize("the cat")
    assert httpx.post(tiny.url + "/detokenize", json={"tokens": ids}).json() == {"content": "the cat"}
    chat = httpx.post(tiny.url + "/tokenize", json={"messages": CHAT}).json()["tokens"]
    assert chat == library.chat_tokens(CHAT)
    r = httpx.post(tiny.url + "/detokenize", json={"tokens": [10**6]})
    assert r.status_code == 400 and "vocabulary" in r.json()["error"]["message"]
    for prompt in ([5, -1], [5, 10**6]):
        r = httpx.post(tiny.url + "/v1/completions", json={"prompt": prompt})
        assert r.status_code == 400 and "vocabulary" in r.json()["error"]["message"]
    r = httpx.post(tiny.url + "/v1/completions", json={"prompt": "the", "max_tokens": 0, "echo": True}).json()
    assert (r["choices"][0]["text"], r["usage"]["completion_tokens"]) == ("the", 0)


def test_ctrl_c_ends_streams_and_exits_cleanly(endless_file, tmp_path):
    with serve(endless_file, tmp_path, "--parallel", "2") as s:
        body = {"model": "endless.gguf", "prompt": "the", "max_tokens": 4000, "stream": True}
        with httpx.stream("POST", s.url + "/v1/completions", json=body, timeout=30) as r:
            lines = r.iter_lines()
            next(lines)
            s.proc.send_signal(signal.SIGINT)
            rest = [line for line in lines if line]
        assert rest[-1] == "data: [DONE]"
        assert "shutting down" in rest[-2] or json.loads(rest[-2].removeprefix("data: "))["choices"]
        assert s.proc.wait(20) == 0
        assert "Traceback" not in s.stderr()


@pytest.mark.parametrize("args, says", [(["--parallel", "0"], "--parallel 0 is out of range"),
                                        (["--port", "70000"], "--port 70000"),
                                        (["--parallel", "257"], "--parallel 257 is out of range"),
                                        (["--ray", "--replicas", "0"], "--replicas 0 is out of range"),
                                        (["--replicas", "2"], "--replicas goes with --ray"),
                                        (["--ray", "--min-replicas", "3", "--max-replicas", "2"],
                                         "--min-replicas is more than --max-replicas")])
def test_bad_settings_end_the_command_in_one_line(tiny_file, tmp_path, args, says):
    res = subprocess.run([sys.executable, "-m", "quillfen", "serve", str(tiny_file), *args], capture_output=True,
                         text=True, cwd=tmp_path, timeout=60)
    assert res.returncode == 1 and says in res.stderr and len(res.stderr.splitlines()) == 1


@pytest.fixture(scope="module")
def smollm2(tmp_path_factory):
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
    from smollm2 import smollm2_path

    with serve(smollm2_path(), tmp_path_factory.mktemp("log"), "--parallel", "4", "--threads", "2",
               "--model-alias", "smollm2") as s:
        yield s


def test_concurrent_answers_equal_each_alone(smollm2):
    """8 requests at once (greedy and sampled, prompts of mixed lengths, staggered arrivals, more than
    the 4 slots) get tokens and log-probabilities bit-identical to each request sent alone."""
    topics = ["Paris", "the sea", "a long history of the printing press in Europe and its effect on books",
              "cats", "why the sky is blue, in two sentences", "bread", "prime numbers", "a haiku about rain"]
    requests = [dict(model="smollm2", messages=[{"role": "user", "content": f"Tell me about {t}."}],
                     max_tokens=12 + 5 * i, temperature=0.0 if i % 2 else 0.8, seed=100 + i, logprobs=True,
                     top_logprobs=2, extra_body={"return_token_ids": True}) for i, t in enumerate(topics)]
    # Two held to JSON by masks of their own: one drawn natively, one from logits that report log-probabilities.
    requests[4]["response_format"] = requests[5]["response_format"] = {"type": "json_object"}
    del requests[4]["logprobs"], requests[4]["top_logprobs"]

    def key(r):
        c = r.choices[0]
        lps = c.logprobs.content if c.logprobs else []
        return c.token_ids, [(e.logprob, [t.logprob for t in e.top_logprobs]) for e in lps]

    async def together():
        client = openai.AsyncOpenAI(base_url=smollm2.url + "/v1", api_key="none", max_retries=0)

        async def one(i, r):
            await asyncio.sleep(0.05 * i)
            return await client.chat.completions.create(**r)

        return await asyncio.gather(*(one(i, r) for i, r in enumerate(requests)))

    replies = asyncio.run(together())
    # Every later request finds the chat template's system prompt in some slot's cache, its own or
    # another's, and does not run it again.
    cached = [r.usage.prompt_tokens_details.cached_tokens for r in replies]
    assert all(c >= 20 for c in cached[1:]), cached
    client = smollm2.client()
    alone = [key(client.chat.completions.create(**r)) for r in requests]
    assert [key(r) for r in replies] == alone


WEATHER = _tool("get_weather", {"type": "object", "properties": {"city": {"type": "string", "maxLength": 30}},
                                "required": ["city"]})
TWO_CITIES = [{"role": "user", "content": "What is the weather in Paris and in London?"}]
PERSON = {"type": "object", "properties": {
    "name": {"type": "string", "minLength": 1, "maxLength": 20},
    "age": {"type": "integer", "minimum": 0, "maximum": 120},
    "pets": {"type": "array", "items": {"enum": ["cat", "dog", "fish"]}, "maxItems": 3}},
    "required": ["name", "age"]}


@pytest.fixture(scope="module")
def smollm2_library(smollm2):
    from smollm2 import smollm2_path

    return Model(smollm2_path(), threads=1)


def test_json_schema_answers_validate_and_match_the_library(smollm2, smollm2_library):
    """Sampled choices (each with its own matcher) validate; the greedy answer, masked here in numpy to
    report log-probabilities, is the library's, masked natively; tokens the grammar rules out are not
    among the most probable ones reported."""
    jsonschema = pytest.importorskip("jsonschema")
    fmt = {"type": "json_schema", "json_schema": {"name": "person", "schema": PERSON, "strict": True}}
    messages = [{"role": "user", "content": "Describe a person as JSON."}]
    client = smollm2.client()
    r = client.chat.completions.create(model="smollm2", messages=messages, response_format=fmt, max_tokens=80,
                                       n=3, temperature=1.0, seed=7)
    for c in r.choices:
        assert c.finish_reason == "stop"
        jsonschema.validate(json.loads(c.message.content), PERSON)
    greedy = client.chat.completions.create(model="smollm2", messages=messages, response_format=fmt,
                                            max_tokens=80, temperature=0, logprobs=True, top_logprobs=20)
    alone = smollm2_library.chat(messages, response_format=fmt, max_tokens=80, temperature=0)
    assert greedy.choices[0].message.content == alone.text
    entries = greedy.choices[0].logprobs.content
    assert all(math.isfinite(t.logprob) for e in entries for t in e.top_logprobs)
    assert any(len(e.top_logprobs) < 20 for e in entries)  # where the grammar allowed fewer tokens


@pytest.mark.parametrize("choice", ["required", {"type": "function", "function": {"name": "get_weather"}}])
def test_one_required_call_then_its_result(smollm2, smollm2_library, choice):
    """A call held to the function's schema; its result sent back makes the prompt the library makes."""
    jsonschema = pytest.importorskip("jsonschema")
    client = smollm2.client()
    tools = [_tool("get_time"), WEATHER]
    r = client.chat.completions.create(model="smollm2", messages=TWO_CITIES, tools=tools, tool_choice=choice,
                                       parallel_tool_calls=False, max_tokens=60, temperature=0)
    c = r.choices[0]
    assert c.finish_reason == "tool_calls" and c.message.content is None
    (call,) = c.message.tool_calls
    if choice != "required":
        assert call.function.name == "get_weather"
    parameters = next(t for t in tools if t["function"]["name"] == call.function.name)["function"]["parameters"]
    jsonschema.validate(json.loads(call.function.arguments), parameters)

    messages = [*TWO_CITIES, c.message.model_dump(exclude_none=True),
                {"role": "tool", "tool_call_id": call.id, "content": "18 C, sunny"}]
    after = client.chat.completions.create(model="smollm2", messages=messages, tools=tools, max_tokens=8,
                                           temperature=0)
    streamed = client.chat.completions.create(model="smollm2", messages=messages, tools=tools, max_tokens=8,
                                              temperature=0, stream=True)
    assert _stream_text(streamed, True) == (after.choices[0].message.content, after.choices[0].finish_reason)
    assert after.usage.prompt_tokens == len(smollm2_library.chat_plan(messages, tools=tools).ids)
    assert after.usage.prompt_tokens_details.cached_tokens > r.usage.prompt_tokens  # the call's turn was cached


def test_parallel_calls_stream_as_indexed_deltas(smollm2):
    """Two calls in one reply; streamed, each index's first delta carries its id and name, and the
    reassembled calls are the ones the whole answer gives."""
    client = smollm2.client()
    request = dict(model="smollm2", messages=TWO_CITIES, tools=[WEATHER], tool_choice="required", max_tokens=120,
                   temperature=0)
    whole = client.chat.completions.create(**request).choices[0]
    assert whole.finish_reason == "tool_calls"
    assert [json.loads(t.function.arguments)["city"] for t in whole.message.tool_calls] == ["Paris", "London"]

    calls, finish, content = {}, None, ""
    for event in client.chat.completions.create(**request, stream=True):
        for ch in event.choices:
            content += ch.delta.content or ""
            finish = ch.finish_reason or finish
            for d in ch.delta.tool_calls or []:
                if d.index not in calls:
                    assert d.id and d.type == "function" and d.function.name
                    calls[d.index] = {"name": d.function.name, "arguments": ""}
                calls[d.index]["arguments"] += d.function.arguments or ""
    assert finish == "tool_calls" and content == ""
    assert [calls[i] for i in sorted(calls)] == [{"name": t.function.name, "arguments": t.function.arguments}
                                                  for t in whole.message.tool_calls]
