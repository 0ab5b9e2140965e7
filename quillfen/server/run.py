"""Loads the model, starts the engine and serves the app on uvicorn until Ctrl-C; `load_server` is the
factory both this and the Ray replicas (`quillfen.server.cluster`) build their app with."""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass
from typing import Any

import uvicorn

from quillfen.model import Model
from quillfen.server.app import Config, build_app
from quillfen.server.engine import Engine, start_engine


class _Server(uvicorn.Server):
    """Ctrl-C (or SIGTERM) ends the engine first, so requests in flight end at once with an error (a
    stream with an error event and [DONE]) and uvicorn's graceful shutdown has nothing left to wait for."""

    def __init__(self, config: uvicorn.Config, on_exit: Any) -> None:
        super().__init__(config)
        self._on_exit = on_exit

    def handle_exit(self, sig: int, frame: Any) -> None:
        self._on_exit()
        super().handle_exit(sig, frame)


@dataclass
class Loaded:
    """A model, its engine and the app over them: what one `quillfen serve` process or Ray replica runs."""

    app: Any
    engine: Engine
    model: Model
    name: str
    context_limit: int


def load_server(path: str, *, parallel: int = 4, ctx_size: int | None = None, threads: int | None = None,
                api_key: str | None = None, max_queue: int = 64, model_alias: str | None = None,
                max_body: int = 8 << 20) -> Loaded:
    """Loads the model, starts its engine and builds the app: the one factory of the server's routes."""
    model = Model(path, threads=threads)
    if ctx_size is not None and ctx_size > model.context_length:
        print(f"quillfen: warning: --ctx-size {ctx_size} is more than the model's context length "
              f"{model.context_length}; using {model.context_length}", file=sys.stderr)
    context_limit = min(ctx_size or model.context_length, model.context_length)
    engine = start_engine(model._native, parallel=parallel, context_limit=context_limit, max_queue=max_queue)
    name = model_alias or os.path.basename(path)
    app = build_app(engine, model, Config(model_name=name, api_key=api_key, max_body=max_body,
                                          context_limit=context_limit))
    return Loaded(app, engine, model, name, context_limit)


def serve(path: str, *, host: str = "127.0.0.1", port: int = 8080, parallel: int = 4, ctx_size: int | None = None,
          threads: int | None = None, api_key: str | None = None, max_queue: int = 64,
          model_alias: str | None = None, max_body: int = 8 << 20) -> int:
    loaded = load_server(path, parallel=parallel, ctx_size=ctx_size, threads=threads, api_key=api_key,
                         max_queue=max_queue, model_alias=model_alias, max_body=max_body)
    engine = loaded.engine
    config = uvicorn.Config(loaded.app, host=host, port=port, access_log=False, log_level="warning",
                            timeout_graceful_shutdown=5, lifespan="off")
    server = _Server(config, lambda: engine.shutdown())
    print(f"quillfen serve: {loaded.name} on http://{host}:{port}/v1 ({parallel} slots, context "
          f"{loaded.context_limit}, {loaded.model.threads} threads{', API key required' if api_key else ''})",
          file=sys.stderr, flush=True)
    try:
        server.run()
    finally:  # uvicorn raises the Ctrl-C it handled again once it has stopped
        engine.shutdown()
        print("quillfen serve: stopped", file=sys.stderr)
    return 0
