"""`quillfen serve --ray`: the server as replicas on Ray Serve (needs the `quillfen[cluster]` extra).

    quillfen serve MODEL --ray --replicas 2 --threads-per-replica 1

Two deployments. `Replica` is one model, its engine and the very app `quillfen serve` builds
(`load_server`), run through a small ASGI adapter: it takes a request's scope and body and hands back
the app's ASGI messages as a stream. `Front` is the HTTP ingress behind Ray's proxy: it reads the body
and passes it to a replica through a deployment handle, so that the handle's router sees the request.
Ray's proxy forwards only the scope (the body follows later), which is why the routing happens here
and not in front of the proxy.

`PrefixRouter` is a Ray Serve request router: each request carries `prefix_keys`, one key per message
of a chat (per block of a completion's prompt), each covering everything before it. Replicas report the
keys of the requests their slots last held (`record_routing_stats`), and each router remembers where it
sent recent keys; a request goes to the replica holding its longest prefix unless that replica has
`max_imbalance` more requests in flight than the least loaded one, in which case load wins.

From Python (a cluster started with `ray start --head`, or a local one):

    import ray
    from ray import serve
    from quillfen.server.cluster import application

    ray.init()
    serve.run(application("SmolLM2-135M-Instruct.Q4_1.gguf", replicas=2, threads_per_replica=1))
"""

from __future__ import annotations

import asyncio
import collections
import hashlib
import json
import logging
import random
import signal
import sys
import threading
import time
from collections.abc import AsyncIterator, Callable
from dataclasses import dataclass
from typing import Any, cast

import ray
from ray import serve
from ray.serve.config import AutoscalingConfig, RequestRouterConfig
from ray.serve.exceptions import BackPressureError, RequestCancelledError
from ray.serve.handle import DeploymentHandle, DeploymentResponseGenerator
from ray.serve.request_router import PendingRequest, ReplicaID, RequestRouter, RunningReplica

from quillfen.server.app import error_body

# The characters (or token ids) of a completion's prompt each key covers: a prompt that grows turn by
# turn keeps the keys of its earlier blocks.
TEXT_BLOCK = 64
TOKEN_BLOCK = 16
# A replica with no step for this long while it has work is reported unhealthy.
STALL_SECONDS = 120.0
# The header a replica names itself in (logs, tests, sticky-session debugging).
REPLICA_HEADER = "x-quillfen-replica"


def _key(previous: str, part: Any) -> str:
    data = previous.encode() + json.dumps(part, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()
    return hashlib.blake2b(data, digest_size=8).hexdigest()


def prefix_keys(body: bytes) -> list[str]:
    """The keys of a request's prefixes, shortest first: one per chat message (after the tools and
    response format, which templates put first), or per block of a prompt. A body that is not a
    request has none, and goes where load sends it."""
    try:
        data = json.loads(body)
    except (ValueError, UnicodeDecodeError):
        return []
    if not isinstance(data, dict):
        return []
    keys: list[str] = []
    previous = _key("", [data.get("model"), data.get("tools"), data.get("response_format")])
    messages, prompt = data.get("messages"), data.get("prompt")
    if isinstance(messages, list):
        parts: list[Any] = messages
    elif isinstance(prompt, str):
        parts = [prompt[i:i + TEXT_BLOCK] for i in range(0, len(prompt), TEXT_BLOCK)]
    elif isinstance(prompt, list) and prompt and all(isinstance(t, int) for t in prompt):
        parts = [prompt[i:i + TOKEN_BLOCK] for i in range(0, len(prompt), TOKEN_BLOCK)]
    else:
        return []
    for part in parts:
        previous = _key(previous, part)
        keys.append(previous)
    return keys


@dataclass
class HttpCall:
    """One HTTP request as a replica takes it: the ASGI scope's plain fields, the whole body, and the
    keys the router reads."""

    scope: dict[str, Any]
    body: bytes
    keys: list[str]


_SCOPE_FIELDS = ("type", "http_version", "method", "scheme", "path", "raw_path", "query_string", "root_path",
                 "headers", "client", "server")


def _error_messages(status: int, message: str, code: str, headers: tuple[tuple[bytes, bytes], ...] = ()
                    ) -> list[dict[str, Any]]:
    body = json.dumps(error_body(message, "server_error", None, code)).encode()
    return [{"type": "http.response.start", "status": status,
             "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode()),
                         *headers]},
            {"type": "http.response.body", "body": body, "more_body": False}]


class Replica:
    """One model and its engine behind the server's own app."""

    def __init__(self, path: str, options: dict[str, Any]) -> None:
        from quillfen.server.run import load_server  # the server's modules load in the replica only

        self.failure: str | None = None
        self.recent: collections.OrderedDict[str, list[str]] = collections.OrderedDict()
        try:
            self.loaded = load_server(path, **options)
        except Exception as e:  # said by check_health, which Ray reports (and retries the replica)
            self.failure = f"the model did not load: {e}"
            return
        self.slots = len(self.loaded.engine.slots)
        try:
            self.name = serve.get_replica_context().replica_id.unique_id
        except Exception:  # run outside Ray (a unit test of the adapter)
            self.name = "local"

    def check_health(self) -> None:
        if self.failure is not None:
            raise RuntimeError(self.failure)
        stalled = self.loaded.engine.stalled_for()
        if stalled is None:
            raise RuntimeError("the engine's thread has stopped")
        if stalled > STALL_SECONDS:
            raise RuntimeError(f"the engine has had work for {stalled:.0f} s without finishing a step")

    def record_routing_stats(self) -> dict[str, Any]:
        """The prefix keys of the requests this replica's slots last held (one request per slot)."""
        return {"prefixes": [k for keys in self.recent.values() for k in keys]}

    def _remember(self, keys: list[str]) -> None:
        if not keys or self.failure is not None:
            return
        self.recent.pop(keys[-1], None)
        self.recent[keys[-1]] = keys
        while len(self.recent) > self.slots:
            self.recent.popitem(last=False)

    async def __call__(self, call: HttpCall) -> AsyncIterator[list[dict[str, Any]]]:
        """The app's ASGI messages for one request, as they are sent (in lists of those ready together)."""
        if self.failure is not None:
            yield _error_messages(503, self.failure, "model_not_loaded")
            return
        self._remember(call.keys)
        # An ASGI version before 2.4, so the app listens for the client leaving while it streams.
        scope = {**call.scope, "asgi": {"version": "3.0", "spec_version": "2.3"}, "state": {}}
        sent: asyncio.Queue[dict[str, Any] | None] = asyncio.Queue()
        left = asyncio.Event()
        body_given = False

        async def receive() -> dict[str, Any]:
            nonlocal body_given
            if not body_given:
                body_given = True
                return {"type": "http.request", "body": call.body, "more_body": False}
            await left.wait()
            return {"type": "http.disconnect"}

        async def send(message: dict[str, Any]) -> None:
            if message["type"] == "http.response.start":
                message = {**message, "headers": [*message.get("headers", []),
                                                  (REPLICA_HEADER.encode(), self.name.encode())]}
            await sent.put(message)

        async def run() -> None:
            try:
                await self.loaded.app(scope, receive, send)
            finally:
                await sent.put(None)

        task = asyncio.ensure_future(run())
        try:
            ended = False
            while not ended:  # what has piled up goes as one item: fewer objects through Ray when busy
                batch = [await sent.get()]
                while not sent.empty():
                    batch.append(sent.get_nowait())
                ended = batch[-1] is None
                yield [m for m in batch if m is not None]
        finally:  # the front cancelled (its client left) or the response ended: the app sees a disconnect
            left.set()
            try:
                await asyncio.wait_for(task, 10)
            except (asyncio.TimeoutError, asyncio.CancelledError):
                task.cancel()

    def __del__(self) -> None:
        loaded = getattr(self, "loaded", None)
        if loaded is not None:
            loaded.engine.shutdown("the replica is stopping")


class Front:
    """The HTTP ingress: reads each request's body and streams a replica's answer back. A replica that
    dies mid-request ends that request with OpenAI's error shape (a stream: an error event, then
    [DONE]); the others go on."""

    def __init__(self, replicas: DeploymentHandle, max_body: int) -> None:
        self.replicas = replicas.options(stream=True)
        self.max_body = max_body

    def __serve_build_asgi_app__(self) -> Callable[..., Any]:
        async def app(scope: dict[str, Any], receive: Callable[..., Any], send: Callable[..., Any]) -> None:
            await self.asgi(scope, receive, send)

        return app  # a plain coroutine function: what ASGI servers take for ASGI 3

    async def asgi(self, scope: dict[str, Any], receive: Callable[..., Any], send: Callable[..., Any]) -> None:
        if scope["type"] == "lifespan":
            while True:
                message = await receive()
                kind = message["type"].removeprefix("lifespan.")
                await send({"type": f"lifespan.{kind}.complete"})
                if kind == "shutdown":
                    return
        if scope["type"] != "http":
            return
        chunks, size, more = [], 0, True
        while more:
            message = await receive()
            if message["type"] == "http.disconnect":
                return
            chunk = message.get("body", b"")
            if size <= self.max_body:  # past the limit the replica's app answers 413 from what it got
                chunks.append(chunk)
            size += len(chunk)
            more = message.get("more_body", False)
        body = b"".join(chunks)
        call = HttpCall({k: scope[k] for k in _SCOPE_FIELDS if k in scope}, body, prefix_keys(body))
        stream = cast(DeploymentResponseGenerator, self.replicas.remote(call))

        async def watch() -> None:
            while (await receive())["type"] != "http.disconnect":
                pass
            stream.cancel()

        watcher = asyncio.ensure_future(watch())
        started, events = False, False
        try:
            async for messages in stream:
                for message in messages:
                    if message["type"] == "http.response.start":
                        started = True
                        events = any(k.lower() == b"content-type" and v.startswith(b"text/event-stream")
                                     for k, v in message.get("headers", []))
                    await send(message)
        except RequestCancelledError:
            return  # the client left
        except asyncio.CancelledError:
            stream.cancel()
            raise
        except BackPressureError:
            for message in _error_messages(503, "every replica's queue is full; retry shortly", "server_overloaded",
                                           ((b"retry-after", b"1"),)):
                await send(message)
        except Exception as e:  # the replica died or was lost mid-request
            reason = f"the replica serving this request failed: {type(e).__name__}"
            if not started:
                for message in _error_messages(503, reason, "replica_failed"):
                    await send(message)
            elif events:
                error = json.dumps(error_body(reason, "server_error", None, "replica_failed"))
                await send({"type": "http.response.body", "body": f"data: {error}\n\ndata: [DONE]\n\n".encode(),
                            "more_body": False})
            else:
                await send({"type": "http.response.body", "body": b"", "more_body": False})
        finally:
            watcher.cancel()


class PrefixRouter(RequestRouter):
    """Sends a request to the replica whose slots hold the longest prefix of it, while that replica's
    load is within `max_imbalance` requests of the least loaded one; else to the least loaded.

    A choice counts towards the replica's load at once: Ray may be choosing for several requests before
    it sends any. Without Ray's FIFO mixin: the replica chosen for a request's prefix goes to that
    request, not to whichever has waited longest."""

    def initialize_state(self, max_imbalance: int = 2, memory: int = 4096, **kwargs: Any) -> None:
        self.max_imbalance = max_imbalance
        self.memory = memory
        self.sent: collections.OrderedDict[str, ReplicaID] = collections.OrderedDict()
        self.held: collections.Counter[ReplicaID] = collections.Counter()  # keys in `sent`, by replica
        # The replica chosen for each request not yet completed, and when (a request cancelled before
        # it was sent never completes: it is forgotten after an hour).
        self.chosen: dict[str, tuple[ReplicaID, float]] = {}

    def _loads(self) -> collections.Counter[ReplicaID]:
        """Requests in flight by replica: this router's own, or the replica's last report (which counts
        other routers' too) when that is more."""
        now = time.monotonic()
        for request, (_, at) in list(self.chosen.items()):
            if now - at > 3600:
                del self.chosen[request]
        loads = collections.Counter(replica for replica, _ in self.chosen.values())
        for r in self.curr_replicas.values():
            loads[r.replica_id] = max(loads[r.replica_id], self.replica_queue_len_cache.get(r.replica_id) or 0)
        return loads

    def on_request_completed(self, replica_id: ReplicaID, internal_request_id: str) -> None:
        super().on_request_completed(replica_id, internal_request_id)
        self.chosen.pop(internal_request_id, None)

    def _match(self, r: RunningReplica, keys: list[str]) -> int:
        held = set((r.routing_stats or {}).get("prefixes", ()))
        for i in range(len(keys), 0, -1):
            if keys[i - 1] in held or self.sent.get(keys[i - 1]) == r.replica_id:
                return i
        return 0

    async def choose_replicas(self, candidate_replicas: list[RunningReplica],
                              pending_request: PendingRequest | None = None) -> list[list[RunningReplica]]:
        """One replica per rank, the chosen one first; the others (tried when it is full) by load."""
        candidates = list(candidate_replicas)
        if not candidates:
            return []
        loads = self._loads()
        random.shuffle(candidates)  # equal on every count: no replica favoured
        # The least loaded first; among equals the one holding the fewest prefixes, so that new
        # conversations spread over the replicas' caches.
        candidates.sort(key=lambda r: (loads[r.replica_id], self.held[r.replica_id]))
        keys = _keys_of(pending_request)
        best = max(candidates, key=lambda r: (self._match(r, keys), -loads[r.replica_id]))
        if (self._match(best, keys) == 0
                or loads[best.replica_id] - loads[candidates[0].replica_id] > self.max_imbalance):
            best = candidates[0]
        if pending_request is not None:
            self.chosen[pending_request.metadata.internal_request_id] = (best.replica_id, time.monotonic())
        self._remember(keys, best.replica_id)
        return [[best], *([r] for r in candidates if r is not best)]

    def _remember(self, keys: list[str], replica_id: ReplicaID) -> None:
        for key in keys:
            before = self.sent.pop(key, None)
            if before is not None:
                self.held[before] -= 1
            self.sent[key] = replica_id
            self.held[replica_id] += 1
        while len(self.sent) > self.memory:
            self.held[self.sent.popitem(last=False)[1]] -= 1


def _keys_of(pending: PendingRequest | None) -> list[str]:
    # Read by shape: the router may run with a copy of this module of its own.
    keys = getattr(pending.args[0], "keys", None) if pending is not None and pending.args else None
    return keys if isinstance(keys, list) else []


def application(path: str, *, replicas: int = 1, threads_per_replica: int = 1, min_replicas: int | None = None,
                max_replicas: int | None = None, target_ongoing_requests: float | None = None,
                router: str = "prefix", max_imbalance: int = 2, parallel: int = 4, ctx_size: int | None = None,
                api_key: str | None = None, max_queue: int = 64, model_alias: str | None = None,
                max_body: int = 8 << 20) -> Any:
    """The Ray Serve application: `replicas` copies of the model (each `threads_per_replica` threads and
    as many of Ray's CPUs), or between `min_replicas` and `max_replicas` following their requests in
    flight; `router` "prefix" (PrefixRouter) or "load" (Ray's default, power of two choices)."""
    options = {"parallel": parallel, "ctx_size": ctx_size, "threads": threads_per_replica, "api_key": api_key,
               "max_queue": max_queue, "model_alias": model_alias, "max_body": max_body}
    scaling: dict[str, Any] = {"num_replicas": replicas}
    if min_replicas is not None or max_replicas is not None:
        low = min_replicas if min_replicas is not None else 1
        scaling = {"autoscaling_config": AutoscalingConfig(
            min_replicas=low, max_replicas=max_replicas if max_replicas is not None else max(low, replicas),
            initial_replicas=max(low, min(replicas, max_replicas or replicas)),
            target_ongoing_requests=target_ongoing_requests or parallel)}
    # Replicas report the prefixes they hold every second.
    routing: dict[str, Any] = {"request_routing_stats_period_s": 1.0, "request_routing_stats_timeout_s": 5.0}
    if router == "prefix":
        routing |= {"request_router_class": f"{__name__}:PrefixRouter",
                    "request_router_kwargs": {"max_imbalance": max_imbalance}}
    elif router != "load":
        raise ValueError(f"router: {router!r} is neither 'prefix' nor 'load'")
    # A replica takes twice as many requests as it has slots; more wait in the front's router, where
    # any replica that frees up can take them.
    model = serve.deployment(name="quillfen", ray_actor_options={"num_cpus": threads_per_replica},
                             max_ongoing_requests=parallel * 2, max_queued_requests=max(max_queue, 1),
                             request_router_config=RequestRouterConfig(**routing), health_check_period_s=5,
                             health_check_timeout_s=30, graceful_shutdown_timeout_s=5,
                             max_constructor_retry_count=3, **scaling)(Replica)
    front = serve.deployment(name="quillfen-front", ray_actor_options={"num_cpus": 0},
                             max_ongoing_requests=1000)(serve.ingress()(Front))
    return front.bind(model.bind(path, options), max_body)


def _failure_reason() -> str | None:
    try:
        message = serve.status().applications["quillfen"].deployments["quillfen"].message
    except (KeyError, AttributeError, RuntimeError):
        return None
    reasons = [line.strip() for line in message.splitlines() if "the model did not load" in line]
    return reasons[-1].removeprefix("RuntimeError: ") if reasons else None


def serve_ray(path: str, *, address: str | None = None, host: str = "127.0.0.1", port: int = 8080,
              **options: Any) -> int:
    """`quillfen serve --ray`: deploys on the cluster at `address` (None: a local Ray instance of this
    process's own), then waits for Ctrl-C and takes the application down."""
    app = application(path, **options)
    try:
        context = ray.init(address=address, include_dashboard=False, logging_level=logging.WARNING)
    except Exception as e:  # Ray's own start-up errors, said in one line by the command
        raise RuntimeError(f"Ray did not start: {type(e).__name__}: {e}") from None
    stop = threading.Event()
    try:
        need = options.get("threads_per_replica", 1) * max(options.get("replicas", 1),
                                                            options.get("min_replicas") or 0)
        have = ray.cluster_resources().get("CPU", 0)
        if need > have:  # the replicas Ray cannot place wait until a node with the CPUs joins
            print(f"quillfen serve: warning: the replicas ask for {need} CPUs, the cluster has {have:g}; "
                  f"those it cannot place wait for a node to join", file=sys.stderr, flush=True)
        serve.start(http_options={"host": host, "port": port})
        try:
            serve.run(app, name="quillfen", route_prefix="/")  # Ctrl-C meanwhile raises KeyboardInterrupt
        except RuntimeError as e:  # the replicas' own reason (their health check's) says more than Ray's
            raise RuntimeError(_failure_reason() or str(e)) from None
        for sig in (signal.SIGINT, signal.SIGTERM):
            signal.signal(sig, lambda *_: stop.set())
        gcs = getattr(context, "address_info", {}).get("gcs_address", address)
        print(f"quillfen serve: {options.get('model_alias') or path} on http://{host}:{port}/v1 through Ray Serve "
              f"(Ray at {gcs}; {options.get('replicas', 1)} replica(s), router {options.get('router', 'prefix')})",
              file=sys.stderr, flush=True)
        while not stop.wait(1.0):
            pass
    finally:
        try:
            serve.delete("quillfen")
            if address is None:
                serve.shutdown()
        finally:
            ray.shutdown()
            print("quillfen serve: stopped", file=sys.stderr)
    return 0

