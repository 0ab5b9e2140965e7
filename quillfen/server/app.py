"""The HTTP side of `quillfen serve`: OpenAI's endpoints and shapes on Starlette, over the engine.

Requests become engine `Sequence`s (one per choice); their events become a JSON response or a stream
of server-sent events. Errors are OpenAI's error object with the matching status.
"""

from __future__ import annotations

import asyncio
import hmac
import json
import sys
import time
import uuid
from collections.abc import AsyncIterator, Callable
from dataclasses import dataclass, field
from typing import Any, cast

import pydantic
from prometheus_client import CollectorRegistry, Counter, Gauge, generate_latest
from prometheus_client.exposition import CONTENT_TYPE_LATEST
from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.middleware.cors import CORSMiddleware
from starlette.requests import ClientDisconnect, Request
from starlette.responses import JSONResponse, Response, StreamingResponse
from starlette.routing import Route

from quillfen import __version__
from quillfen._chat import ChatTemplateError
from quillfen._structured import ToolFormat, check_tool_choice, check_tools, reply_calls, response_format_grammar
from quillfen.model import ChatPlan, Model, TokenMasks
from quillfen.server.engine import Engine, Event, Overloaded, Sampling, Sequence, TokenLogprob
from quillfen.server.schema import (ChatRequest, CompletionRequest, DetokenizeRequest, Generation, Message,
                                    TokenizeRequest, refused_fields)

FINGERPRINT = f"quillfen-{__version__}"


class ApiError(Exception):
    def __init__(self, status: int, message: str, *, type: str = "invalid_request_error", param: str | None = None,
                 code: str | None = None, headers: dict[str, str] | None = None) -> None:
        super().__init__(message)
        self.status, self.message, self.type, self.param, self.code = status, message, type, param, code
        self.headers = headers

    def response(self) -> JSONResponse:
        return JSONResponse(error_body(self.message, self.type, self.param, self.code), self.status,
                            headers=self.headers)


def _json(value: Any) -> str:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def _invalid(param: str, e: Exception) -> ApiError:
    message = str(e) if str(e).startswith(param) else f"{param}: {e}"
    return ApiError(400, message, param=param, code="invalid_value")


def error_body(message: str, type: str, param: str | None = None, code: str | None = None) -> dict[str, Any]:
    return {"error": {"message": message, "type": type, "param": param, "code": code}}


@dataclass
class Config:
    model_name: str
    api_key: str | None = None
    max_body: int = 8 << 20
    context_limit: int = 2048
    created: int = field(default_factory=lambda: int(time.time()))


class Metrics:
    """Prometheus series, in a registry of the server's own."""

    def __init__(self, engine: Engine) -> None:
        self.registry = CollectorRegistry()
        r = self.registry
        self.requests = Counter("quillfen_requests", "HTTP requests answered", ["endpoint", "status"], registry=r)
        self.prompt_tokens = Counter("quillfen_prompt_tokens", "Prompt tokens admitted", registry=r)
        self.cached_tokens = Counter("quillfen_cached_prompt_tokens", "Prompt tokens a slot's cache held",
                                     registry=r)
        self.generated = Counter("quillfen_generated_tokens", "Tokens generated", registry=r)
        Gauge("quillfen_queue_depth", "Sequences waiting for a slot", registry=r).set_function(engine.queue_depth)
        Gauge("quillfen_busy_slots", "Slots generating", registry=r).set_function(engine.busy_slots)
        Gauge("quillfen_slots", "Slots (--parallel)", registry=r).set(len(engine.slots))
        Gauge("quillfen_tokens_per_second", "Tokens generated per second over the last 10 s",
              registry=r).set_function(engine.stats.tokens_per_second)
        self._engine = engine
        self._seen = (0, 0, 0)

    def render(self) -> bytes:
        s = self._engine.stats
        now = (s.prompt_tokens, s.cached_tokens, s.generated_tokens)
        for counter, before, after in zip((self.prompt_tokens, self.cached_tokens, self.generated), self._seen, now):
            counter.inc(after - before)
        self._seen = now
        return generate_latest(self.registry)


class RequestLog:
    """Pure ASGI middleware: one line per request on stderr once its response has ended, and the
    Prometheus request counter."""

    def __init__(self, app: Callable[..., Any], metrics: Metrics) -> None:
        self.app, self.metrics = app, metrics

    async def __call__(self, scope: dict[str, Any], receive: Callable[..., Any], send: Callable[..., Any]) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        start = time.perf_counter()
        status = [500]
        state = scope.setdefault("state", {})

        async def sending(message: dict[str, Any]) -> None:
            if message["type"] == "http.response.start":
                status[0] = message["status"]
            await send(message)

        try:
            await self.app(scope, receive, sending)
        finally:
            client = scope.get("client")
            who = f"{client[0]}:{client[1]}" if client else "-"
            usage = state.get("log", "")
            print(f"{time.strftime('%H:%M:%S')} {who} {scope['method']} {scope['path']} {status[0]} "
                  f"{time.perf_counter() - start:.3f} s{' ' + usage if usage else ''}", file=sys.stderr, flush=True)
            self.metrics.requests.labels(scope["path"], str(status[0])).inc()


async def read_json(request: Request, limit: int) -> Any:
    declared = request.headers.get("content-length")
    if declared is not None and declared.isdigit() and int(declared) > limit:
        raise ApiError(413, f"the request body has {declared} bytes, more than the limit of {limit}",
                       code="request_too_large")
    chunks, size = [], 0
    try:
        async for chunk in request.stream():
            size += len(chunk)
            if size > limit:
                raise ApiError(413, f"the request body is more than the limit of {limit} bytes",
                               code="request_too_large")
            chunks.append(chunk)
    except ClientDisconnect:
        raise ApiError(400, "the client left before sending the whole body") from None
    try:
        return json.loads(b"".join(chunks))
    except (ValueError, UnicodeDecodeError) as e:
        raise ApiError(400, f"the body is not valid JSON: {e}") from None


def parse(kind: type[pydantic.BaseModel], data: Any) -> Any:
    if not isinstance(data, dict):
        raise ApiError(400, "the body must be a JSON object")
    try:
        return kind.model_validate(data)
    except pydantic.ValidationError as e:
        first = e.errors()[0]
        param = ".".join(str(p) for p in first["loc"]) or None
        message = first["msg"].removeprefix("Value error, ")
        raise ApiError(400, f"{param}: {message}" if param else message, param=param,
                       code="invalid_value") from None


def _logprob_entry(tokenizer: Any, lp: TokenLogprob) -> dict[str, Any]:
    def one(token: int, value: float) -> dict[str, Any]:
        raw = tokenizer.decode([token], False, False)
        return {"token": raw.decode("utf-8", errors="replace"), "logprob": value, "bytes": list(raw)}

    return {**one(lp.token, lp.logprob), "top_logprobs": [one(t, v) for t, v in lp.top]}


@dataclass
class Choice:
    """What one choice has produced so far."""

    index: int
    seq: Sequence
    text: list[str] = field(default_factory=list)
    tokens: list[int] = field(default_factory=list)
    logprobs: list[TokenLogprob] = field(default_factory=list)
    finish_reason: str | None = None


@dataclass
class _Held:
    """A streamed reply's text held back while it may still be a tool call."""

    shown: int = 0  # characters of the reply handed out as content
    settled: int = 0  # characters of the reply whose calls have been handed out
    calls: int = 0  # calls handed out
    logprobs: list[TokenLogprob] = field(default_factory=list)
    tokens: list[int] = field(default_factory=list)


class EventStream(StreamingResponse):
    """A stream of server-sent events that cancels its sequences however it ends: a client that leaves
    mid-stream frees its slots at the engine's next step, without waiting for the generator's cleanup."""

    def __init__(self, choices: list[Choice], *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.choices = choices

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        try:
            await super().__call__(scope, receive, send)
        finally:
            for c in self.choices:
                c.seq.cancel()


class Server:
    def __init__(self, engine: Engine, model: Model, config: Config) -> None:
        self.engine, self.model, self.config = engine, model, config
        self.tokenizer = model.tokenizer
        self.metrics = Metrics(engine)

    # ---- common checks -----------------------------------------------------------------------

    def authorize(self, request: Request) -> None:
        key = self.config.api_key
        if key is None:
            return
        given = request.headers.get("authorization", "")
        scheme, _, token = given.partition(" ")
        if scheme.lower() != "bearer" or not hmac.compare_digest(token.strip().encode(), key.encode()):
            raise ApiError(401, "a missing or wrong API key; send it as 'Authorization: Bearer KEY'",
                           code="invalid_api_key")

    def check_model(self, name: str | None) -> None:
        if name is not None and name not in (self.config.model_name, ""):
            raise ApiError(404, f"the model '{name}' is not served here; this server serves "
                                f"'{self.config.model_name}'", param="model", code="model_not_found")

    async def body(self, request: Request, kind: type[pydantic.BaseModel]) -> Any:
        self.authorize(request)
        return parse(kind, await read_json(request, self.config.max_body))

    def plain_messages(self, messages: list[Message]) -> list[dict[str, Any]]:
        """The messages as the chat template reads them. Text parts are joined; a "developer" message is
        the system message of older models' templates; earlier tool calls and their results go through."""
        plain = []
        for i, m in enumerate(messages):
            content = m.content
            if isinstance(content, list):
                for j, part in enumerate(content):
                    if part.type != "text" or part.text is None:
                        raise ApiError(400, f"messages.{i}.content.{j}: only text parts are supported, not "
                                            f"{part.type!r}", param=f"messages.{i}.content", code="invalid_value")
                content = "".join(p.text or "" for p in content)
            entry: dict[str, Any] = {"role": "system" if m.role == "developer" else m.role, "content": content or ""}
            for key in ("name", "tool_calls", "tool_call_id"):
                if getattr(m, key) is not None:
                    entry[key] = getattr(m, key)
            plain.append(entry)
        return plain

    def chat_tokens(self, messages: list[Message]) -> list[int]:
        """The prompt ids of a conversation through the model's chat template."""
        try:
            return self.model.chat_tokens(self.plain_messages(messages))
        except (ChatTemplateError, ValueError, TypeError) as e:
            raise ApiError(400, f"messages: {e}", param="messages") from None

    def chat_plan(self, body: ChatRequest) -> ChatPlan:
        """The prompt, grammar and tool-call format `Model.chat` would run for this request; a 400 naming
        the field at fault (a tool whose parameters are not an object schema, a tool_choice naming no
        tool, a schema that does not compile)."""
        try:
            tools = check_tools(body.tools)
        except ValueError as e:
            raise _invalid("tools", e) from None
        try:
            check_tool_choice(body.tool_choice, tools)
        except ValueError as e:
            raise _invalid("tool_choice", e) from None
        self.response_grammar(body)
        try:
            return self.model.chat_plan(self.plain_messages(body.messages), response_format=body.response_format,
                                        tools=tools, tool_choice=body.tool_choice,
                                        parallel_tool_calls=body.parallel_tool_calls)
        except (ChatTemplateError, ValueError, TypeError) as e:
            # What is left to fail: the tools' grammar (their parameter schemas), or the template.
            param = "tools" if str(e).startswith("the grammar") else "messages"
            raise _invalid(param, e) from None

    @staticmethod
    def response_grammar(body: Generation) -> str | None:
        try:
            return response_format_grammar(body.response_format)
        except ValueError as e:
            raise _invalid("response_format", e) from None

    async def token_masks(self, grammar: str | None, count: int, param: str) -> list[TokenMasks | None]:
        """A matcher of `grammar` per choice (each sequence holds its own, so an answer does not depend
        on the others), compiled off the event loop: the first also builds the vocabulary's view."""
        if grammar is None:
            return [None] * count
        try:
            first = await asyncio.to_thread(self.model.token_masks, grammar)
        except ValueError as e:
            raise _invalid(param, e) from None
        masks: list[TokenMasks | None] = [first]
        return masks + [first.fresh() for _ in range(count - 1)]

    # ---- generation --------------------------------------------------------------------------

    def sampling(self, body: Generation, top_logprobs: int | None) -> Sampling:
        bias: dict[int, float] = {}
        for key, value in (body.logit_bias or {}).items():
            if not key.isdigit() or int(key) >= self.tokenizer.vocab_size:
                raise ApiError(400, f"logit_bias: {key!r} is not a token id of this model's vocabulary of "
                                    f"{self.tokenizer.vocab_size}", param="logit_bias", code="invalid_value")
            bias[int(key)] = value
        return Sampling(temperature=body.temperature, top_k=body.top_k, top_p=body.top_p, min_p=body.min_p,
                        presence_penalty=body.presence_penalty, frequency_penalty=body.frequency_penalty,
                        logit_bias=bias, top_logprobs=top_logprobs)

    def sequences(self, prompts: list[list[int]], body: Generation, top_logprobs: int | None,
                  limit: int | None, masks: list[TokenMasks | None] | None = None) -> list[Choice]:
        refused = refused_fields(body)
        if refused:
            raise ApiError(400, f"{', '.join(refused)}: not supported by this server (the field was given "
                                f"with a value it cannot honour)", param=refused[0], code="unsupported_field")
        self.check_model(body.model)
        ctx = self.config.context_limit
        for ids in prompts:
            if len(ids) >= ctx:
                raise ApiError(400, f"the prompt has {len(ids)} tokens, but the context holds {ctx}: it must "
                                    f"leave room for at least one generated token", param="messages"
                               if isinstance(body, ChatRequest) else "prompt", code="context_length_exceeded")
            if not ids:
                raise ApiError(400, "the prompt is empty", param="prompt", code="invalid_value")
            bad = next((t for t in ids if not 0 <= t < self.tokenizer.vocab_size), None)
            if bad is not None:
                raise ApiError(400, f"prompt: token id {bad} is outside the vocabulary of "
                                    f"{self.tokenizer.vocab_size}", param="prompt", code="invalid_value")
        sampling = self.sampling(body, top_logprobs)
        room = len(self.engine.slots) + self.engine.max_queue
        if len(prompts) * body.n > room:
            raise ApiError(400, f"n: {len(prompts) * body.n} sequences asked for, more than this server holds at once "
                                f"({len(self.engine.slots)} slots and a queue of {self.engine.max_queue})",
                           param="n", code="invalid_value")
        loop = asyncio.get_running_loop()
        choices: list[Choice] = []
        for p, ids in enumerate(prompts):
            for j in range(body.n):
                seed = None if body.seed is None else body.seed + j
                seq = Sequence(ids, max_tokens=ctx if limit is None else limit, sampling=sampling, seed=seed,
                               stops=body.stops(), loop=loop, masks=masks[len(choices)] if masks else None)
                choices.append(Choice(p * body.n + j, seq))
        try:
            self.engine.submit([c.seq for c in choices])
        except Overloaded as e:
            raise ApiError(503, f"{e}; retry shortly", type="server_error", code="server_overloaded",
                           headers={"Retry-After": "1"}) from None
        return choices

    @staticmethod
    async def events(choices: list[Choice]) -> AsyncIterator[tuple[Choice, Event]]:
        """Every choice's events as they come, until each has ended; errors raise."""
        pending = {asyncio.ensure_future(c.seq.events.get()): c for c in choices}
        try:
            while pending:
                done, _ = await asyncio.wait(pending, return_when=asyncio.FIRST_COMPLETED)
                for fut in sorted(done, key=lambda f: pending[f].index):
                    choice = pending.pop(fut)
                    event = fut.result()
                    if event.error is not None:
                        raise ApiError(503 if event.shutdown else 500, event.error, type="server_error")
                    choice.text.append(event.text)
                    choice.tokens.extend(event.tokens)
                    choice.logprobs.extend(event.logprobs)
                    if event.finish_reason is None:
                        pending[asyncio.ensure_future(choice.seq.events.get())] = choice
                    else:
                        choice.finish_reason = event.finish_reason
                    yield choice, event
        finally:
            for fut in pending:
                fut.cancel()
            for c in choices:
                c.seq.cancel()  # an ended sequence ignores it; one still running frees its slot

    def usage(self, request: Request, choices: list[Choice]) -> dict[str, Any]:
        """The request's usage, also kept for its log line."""
        prompts: dict[int, int] = {}
        cached: dict[int, int] = {}
        for c in choices:  # each prompt counts once, however many choices share it
            key = id(c.seq.prompt)
            prompts[key] = len(c.seq.prompt)
            cached[key] = max(cached.get(key, 0), c.seq.cached_tokens)
        prompt = sum(prompts.values())
        completion = sum(len(c.seq.generated) for c in choices)
        request.state.log = f"prompt {prompt} (cached {sum(cached.values())}), completion {completion}"
        return {"prompt_tokens": prompt, "completion_tokens": completion, "total_tokens": prompt + completion,
                "prompt_tokens_details": {"cached_tokens": sum(cached.values())}}

    async def wait_all(self, request: Request, choices: list[Choice]) -> None:
        """Collects every event; a client that leaves meanwhile cancels its sequences."""
        watcher = asyncio.ensure_future(self._disconnected(request))
        try:
            async for _ in self.events(choices):
                if watcher.done():
                    break
        finally:
            watcher.cancel()

    @staticmethod
    async def _disconnected(request: Request) -> None:
        while not await request.is_disconnected():
            await asyncio.sleep(0.5)

    def sse(self, request: Request, choices: list[Choice], chunks: Callable[[Choice, Event], list[dict[str, Any]]],
            first: list[dict[str, Any]], usage_chunk: Callable[[dict[str, Any]], dict[str, Any]] | None
            ) -> StreamingResponse:
        async def stream() -> AsyncIterator[str]:
            for chunk in first:
                yield f"data: {_json(chunk)}\n\n"
            try:
                async for choice, event in self.events(choices):
                    for chunk in chunks(choice, event):
                        yield f"data: {_json(chunk)}\n\n"
            except ApiError as e:
                yield f"data: {_json(error_body(e.message, e.type, e.param, e.code))}\n\n"
                yield "data: [DONE]\n\n"
                return
            usage = self.usage(request, choices)
            if usage_chunk is not None:
                yield f"data: {_json(usage_chunk(usage))}\n\n"
            yield "data: [DONE]\n\n"

        return EventStream(choices, stream(), media_type="text/event-stream",
                           headers={"Cache-Control": "no-cache", "X-Accel-Buffering": "no"})

    # ---- endpoints ---------------------------------------------------------------------------

    async def chat(self, request: Request) -> Response:
        body: ChatRequest = await self.body(request, ChatRequest)
        self.check_model(body.model)
        structured = body.tools is not None or body.response_format is not None or body.tool_choice is not None
        # The first grammar builds llguidance's view of the vocabulary, which takes a moment: off the loop.
        plan = await asyncio.to_thread(self.chat_plan, body) if structured else self.chat_plan(body)
        ids = plan.ids
        top = (body.top_logprobs or 0) if body.logprobs else None
        if body.top_logprobs and not body.logprobs:
            raise ApiError(400, "top_logprobs needs logprobs set to true", param="top_logprobs")
        # The grammar is the calls' when a call is required, the response format's otherwise.
        masks = await self.token_masks(plan.grammar, body.n, "tools" if body.tool_choice not in (None, "auto", "none")
                                       else "response_format")
        choices = self.sequences([ids], body, top, body.token_limit(), masks)
        fmt, names = plan.tool_format, plan.tool_names
        rid, created, name = f"chatcmpl-{uuid.uuid4().hex}", int(time.time()), self.config.model_name
        head = {"id": rid, "created": created, "model": name, "system_fingerprint": FINGERPRINT}

        def logprobs(lps: list[TokenLogprob] | tuple[TokenLogprob, ...]) -> dict[str, Any] | None:
            return {"content": [_logprob_entry(self.tokenizer, lp) for lp in lps]} if body.logprobs else None

        def reply(c: Choice) -> tuple[str | None, list[dict[str, Any]], str | None]:
            text = "".join(c.text)
            if fmt is None or c.finish_reason is None:
                return text, [], c.finish_reason
            content, calls, finish = reply_calls(fmt, text, names, c.finish_reason)
            return content, [call.as_openai() for call in calls], finish

        if not body.stream:
            await self.wait_all(request, choices)
            usage = self.usage(request, choices)
            out = []
            for c in choices:
                content, calls, finish = reply(c)
                message: dict[str, Any] = {"role": "assistant", "content": content}
                if calls:
                    message["tool_calls"] = calls
                entry: dict[str, Any] = {"index": c.index, "message": message, "logprobs": logprobs(c.logprobs),
                                         "finish_reason": finish}
                if body.return_token_ids:
                    entry["token_ids"] = c.tokens
                out.append(entry)
            return JSONResponse({**head, "object": "chat.completion", "choices": out, "usage": usage})

        extra_usage = {"usage": None} if body.include_usage() else {}
        held = {c.index: _Held() for c in choices}

        def chunk(choice_delta: dict[str, Any]) -> dict[str, Any]:
            return {**head, "object": "chat.completion.chunk", "choices": [choice_delta], **extra_usage}

        def content_chunk(c: Choice, text: str, lps: Any, tokens: Any) -> dict[str, Any]:
            delta: dict[str, Any] = {"index": c.index, "delta": {"content": text}, "logprobs": logprobs(lps),
                                     "finish_reason": None}
            if body.return_token_ids:
                delta["token_ids"] = list(tokens)
            return chunk(delta)

        def chunks(c: Choice, e: Event) -> list[dict[str, Any]]:
            out = []
            finish: str | None
            if fmt is None:
                if e.text or e.tokens:
                    out.append(content_chunk(c, e.text, e.logprobs, e.tokens))
                finish = e.finish_reason
            else:
                out, finish = tool_chunks(c, e)
            if finish is not None:
                out.append(chunk({"index": c.index, "delta": {}, "logprobs": None, "finish_reason": finish}))
            return out

        def tool_chunks(c: Choice, e: Event) -> tuple[list[dict[str, Any]], str | None]:
            """Text that may still become a call is held back; each call goes out once it has ended (its
            closing tag, or the end of the reply) as OpenAI streams them: its index, id, type and name
            first, then its arguments."""
            h = held[c.index]
            h.logprobs.extend(e.logprobs)
            h.tokens.extend(e.tokens)
            text = "".join(c.text)
            tools = cast(ToolFormat, fmt)
            if e.finish_reason is None:
                out = []
                upto = max(h.shown, tools.shown(text))
                if upto > h.shown:
                    out.append(content_chunk(c, text[h.shown:upto], h.logprobs, h.tokens))
                    h.shown, h.logprobs, h.tokens = upto, [], []
                settled = tools.settled(text)
                if settled > h.settled:
                    _, ended = tools.parse(text[:settled], names)
                    out += call_chunks(c, [call.as_openai() for call in ended], h)
                    h.settled = settled
                return out, None
            content, calls, finish = reply(c)
            streamed = text[:h.shown]
            rest = (content or "")[len(streamed):] if (content or "").startswith(streamed) else ""
            if not calls:
                rest = text[h.shown:]
            # The held tokens' log-probabilities and ids go out even when they spelled only calls.
            keep = rest or (h.tokens and (body.logprobs or body.return_token_ids))
            out = [content_chunk(c, rest, h.logprobs, h.tokens)] if keep else []
            return out + call_chunks(c, calls, h), finish

        def call_chunks(c: Choice, calls: list[dict[str, Any]], h: _Held) -> list[dict[str, Any]]:
            """The calls not yet handed out (a prefix of the reply gives the reply's first calls)."""
            out = []
            for i in range(h.calls, len(calls)):
                fn = calls[i]["function"]
                for part in ({"index": i, "id": calls[i]["id"], "type": "function",
                              "function": {"name": fn["name"], "arguments": ""}},
                             {"index": i, "function": {"arguments": fn["arguments"]}}):
                    out.append(chunk({"index": c.index, "delta": {"tool_calls": [part]}, "logprobs": None,
                                      "finish_reason": None}))
            h.calls = max(h.calls, len(calls))
            return out

        first = [chunk({"index": c.index, "delta": {"role": "assistant", "content": ""}, "logprobs": None,
                        "finish_reason": None}) for c in choices]
        usage_chunk = ((lambda u: {**head, "object": "chat.completion.chunk", "choices": [], "usage": u})
                       if body.include_usage() else None)
        return self.sse(request, choices, chunks, first, usage_chunk)

    async def completions(self, request: Request) -> Response:
        body: CompletionRequest = await self.body(request, CompletionRequest)
        prompts = [self.model.tokenize(p) if isinstance(p, str) else p for p in body.prompts()]
        if not prompts:
            raise ApiError(400, "prompt: no prompt given", param="prompt")
        grammar = self.response_grammar(body)
        masks = await self.token_masks(grammar, len(prompts) * body.n, "response_format")
        choices = self.sequences(prompts, body, body.logprobs, body.token_limit(), masks)
        rid, created, name = f"cmpl-{uuid.uuid4().hex}", int(time.time()), self.config.model_name
        head = {"id": rid, "created": created, "model": name, "system_fingerprint": FINGERPRINT}
        texts = body.prompts()

        def echo(c: Choice) -> str:
            if not body.echo:
                return ""
            p = texts[c.index // body.n]
            return p if isinstance(p, str) else self.model.detokenize(p)

        def logprobs(lps: list[TokenLogprob] | tuple[TokenLogprob, ...], offset: int) -> dict[str, Any] | None:
            if body.logprobs is None:
                return None
            tokens, values, tops, offsets = [], [], [], []
            for lp in lps:
                entry = _logprob_entry(self.tokenizer, lp)
                tokens.append(entry["token"])
                values.append(entry["logprob"])
                top: dict[str, float] = {}
                for t in entry["top_logprobs"]:  # tokens whose text decodes alike keep the most probable
                    top.setdefault(t["token"], t["logprob"])
                tops.append(top)
                offsets.append(offset)
                offset += len(entry["token"])
            return {"tokens": tokens, "token_logprobs": values, "top_logprobs": tops, "text_offset": offsets}

        if not body.stream:
            await self.wait_all(request, choices)
            usage = self.usage(request, choices)
            out = []
            for c in choices:
                prefix = echo(c)
                entry: dict[str, Any] = {"index": c.index, "text": prefix + "".join(c.text),
                                         "logprobs": logprobs(c.logprobs, len(prefix)),
                                         "finish_reason": c.finish_reason}
                if body.return_token_ids:
                    entry["token_ids"] = c.tokens
                out.append(entry)
            return JSONResponse({**head, "object": "text_completion", "choices": out, "usage": usage})

        extra_usage = {"usage": None} if body.include_usage() else {}
        offsets = {c.index: len(echo(c)) for c in choices}

        def chunk(entry: dict[str, Any]) -> dict[str, Any]:
            return {**head, "object": "text_completion", "choices": [entry], **extra_usage}

        def chunks(c: Choice, e: Event) -> list[dict[str, Any]]:
            if not (e.text or e.tokens or e.finish_reason):
                return []
            entry: dict[str, Any] = {"index": c.index, "text": e.text,
                                     "logprobs": logprobs(e.logprobs, offsets[c.index]),
                                     "finish_reason": e.finish_reason}
            offsets[c.index] += len(e.text)
            if body.return_token_ids:
                entry["token_ids"] = list(e.tokens)
            return [chunk(entry)]

        first = [chunk({"index": c.index, "text": echo(c), "logprobs": None, "finish_reason": None})
                 for c in choices if body.echo]
        usage_chunk = ((lambda u: {**head, "object": "text_completion", "choices": [], "usage": u})
                       if body.include_usage() else None)
        return self.sse(request, choices, chunks, first, usage_chunk)

    async def models(self, request: Request) -> Response:
        self.authorize(request)
        return JSONResponse({"object": "list", "data": [self.model_card()]})

    async def one_model(self, request: Request) -> Response:
        self.authorize(request)
        self.check_model(request.path_params["name"])
        return JSONResponse(self.model_card())

    def model_card(self) -> dict[str, Any]:
        return {"id": self.config.model_name, "object": "model", "created": self.config.created,
                "owned_by": "quillfen", "context_length": self.config.context_limit}

    async def health(self, request: Request) -> Response:
        return JSONResponse({"status": "ok", "slots": len(self.engine.slots), "busy_slots": self.engine.busy_slots(),
                             "queue_depth": self.engine.queue_depth()})

    async def metrics_text(self, request: Request) -> Response:
        self.authorize(request)
        return Response(self.metrics.render(), media_type=CONTENT_TYPE_LATEST)

    async def tokenize(self, request: Request) -> Response:
        body: TokenizeRequest = await self.body(request, TokenizeRequest)
        if body.messages is not None:
            ids = self.chat_tokens(body.messages)
        else:
            ids = self.model.tokenize(body.content or "", add_special=body.add_special)
        if not body.with_pieces:
            return JSONResponse({"tokens": ids})
        pieces = [{"id": t, "piece": self.tokenizer.decode([t], True, False).decode("utf-8", errors="replace")}
                  for t in ids]
        return JSONResponse({"tokens": pieces})

    async def detokenize(self, request: Request) -> Response:
        body: DetokenizeRequest = await self.body(request, DetokenizeRequest)
        bad = next((t for t in body.tokens if t >= self.tokenizer.vocab_size), None)
        if bad is not None:
            raise ApiError(400, f"tokens: token id {bad} is outside the vocabulary of {self.tokenizer.vocab_size}",
                           param="tokens", code="invalid_value")
        return JSONResponse({"content": self.model.detokenize(body.tokens)})


def build_app(engine: Engine, model: Model, config: Config) -> Any:
    server = Server(engine, model, config)

    def endpoint(fn: Callable[[Request], Any]) -> Callable[[Request], Any]:
        async def run(request: Request) -> Response:
            try:
                response: Response = await fn(request)
                return response
            except ApiError as e:
                return e.response()
            except Exception as e:  # a fault of the server's own: said in the same shape, and logged
                print(f"quillfen serve: {type(e).__name__}: {e}", file=sys.stderr, flush=True)
                return ApiError(500, f"internal error: {type(e).__name__}: {e}", type="server_error").response()

        return run

    routes = [
        Route("/v1/chat/completions", endpoint(server.chat), methods=["POST"]),
        Route("/v1/completions", endpoint(server.completions), methods=["POST"]),
        Route("/v1/models", endpoint(server.models), methods=["GET"]),
        Route("/v1/models/{name:path}", endpoint(server.one_model), methods=["GET"]),
        Route("/health", endpoint(server.health), methods=["GET"]),
        Route("/metrics", endpoint(server.metrics_text), methods=["GET"]),
        Route("/tokenize", endpoint(server.tokenize), methods=["POST"]),
        Route("/detokenize", endpoint(server.detokenize), methods=["POST"]),
    ]

    async def not_found(request: Request, exc: Exception) -> Response:
        status = getattr(exc, "status_code", 404)
        message = "no such endpoint" if status == 404 else "method not allowed for this endpoint"
        return JSONResponse(error_body(f"{message}: {request.method} {request.url.path}", "invalid_request_error"),
                            status)

    # Chat front-ends in a browser call from their own origin; a preflight carries no key, the calls do.
    middleware = [Middleware(CORSMiddleware, allow_origins=["*"], allow_methods=["GET", "POST"],
                             allow_headers=["*"])]
    app = Starlette(routes=routes, middleware=middleware, exception_handlers={404: not_found, 405: not_found})
    return RequestLog(app, server.metrics)

