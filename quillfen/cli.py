"""The `quillfen` command: run a prompt, chat, or describe a model file.

    quillfen run MODEL -p "The capital of France is" -n 32 --temperature 0
    quillfen run MODEL -p "Why is the sky blue?" --chat
    quillfen chat MODEL
    quillfen info MODEL
    quillfen serve MODEL --port 8080 --parallel 4
    quillfen serve MODEL --ray --replicas 2 --threads-per-replica 1

Text goes to stdout as it is generated; tokens per second and errors go to stderr. A bad file or
argument ends the command with one line and a non-zero status, never a traceback.
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from collections import Counter
from collections.abc import Sequence
from typing import Any, TextIO

from quillfen import __version__, _core, _runtime
from quillfen.model import UNREAD_FORMATS, Completion, Model, Stream, file_error

# The most sequences `quillfen serve` decodes together: the numbered caches a TextModel holds.
MAX_SEQUENCES = 256


class CommandError(Exception):
    """Ends the command with its message on one line."""


def _sampling_arguments(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("sampling")
    g.add_argument("-n", "--max-tokens", type=int, default=256, help="most tokens to generate (default 256)")
    g.add_argument("--temperature", type=float, default=0.8, help="0 is greedy (default 0.8)")
    g.add_argument("--top-k", type=int, default=40, help="0 turns it off (default 40)")
    g.add_argument("--top-p", type=float, default=0.95, help="1 turns it off (default 0.95)")
    g.add_argument("--min-p", type=float, default=0.05, help="0 turns it off (default 0.05)")
    g.add_argument("--seed", type=int, default=None, help="repeat a run (default: a fresh seed, printed)")
    g.add_argument("--stop", action="append", default=[], metavar="TEXT", help="stop string (repeatable)")


def _sampling(args: argparse.Namespace) -> dict[str, Any]:
    return {"max_tokens": args.max_tokens, "temperature": args.temperature, "top_k": args.top_k,
            "top_p": args.top_p, "min_p": args.min_p, "seed": args.seed, "stop": args.stop}


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quillfen", description="Run LLaMA-family GGUF models on the CPU.")
    # Printed by the command rather than by argparse, which drops a failed write without a word.
    parser.add_argument("--version", action="store_true", help="show the version and exit")
    sub = parser.add_subparsers(dest="command")

    run = sub.add_parser("run", help="stream the completion of a prompt")
    run.add_argument("model", help="path to a GGUF file")
    run.add_argument("-p", "--prompt", required=True, help="the prompt text")
    run.add_argument("--chat", action="store_true", help="wrap the prompt in the model's chat template")
    run.add_argument("--system", help="with --chat: a system message first")
    run.add_argument("--json-schema", metavar="SCHEMA",
                     help="hold the output to a JSON Schema: a .json file, or the schema's text")
    run.add_argument("--grammar", metavar="FILE", help="hold the output to a grammar file (GBNF or Lark)")
    _sampling_arguments(run)

    chat = sub.add_parser("chat", help="talk with the model; Ctrl-C stops an answer, Ctrl-D leaves")
    chat.add_argument("model", help="path to a GGUF file")
    chat.add_argument("--system", help="a system message first")
    _sampling_arguments(chat)

    serve = sub.add_parser("serve", help="serve the model over OpenAI's HTTP API (needs quillfen[server])")
    serve.add_argument("model", help="path to a GGUF file")
    serve.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    serve.add_argument("--port", type=int, default=8080, help="port to listen on (default 8080)")
    serve.add_argument("--parallel", type=int, default=4, metavar="N", help="sequences generated together (default 4)")
    serve.add_argument("--ctx-size", type=int, default=None, metavar="N",
                       help="most tokens of a sequence, prompt and answer (default: the model's context length)")
    serve.add_argument("--threads", type=int, default=None, metavar="N", help="workers (default: every core)")
    serve.add_argument("--api-key", default=None, metavar="KEY",
                       help="require 'Authorization: Bearer KEY' (default: $QUILLFEN_API_KEY, else none)")
    serve.add_argument("--max-queue", type=int, default=64, metavar="N",
                       help="sequences that may wait for a slot before requests get 503 (default 64)")
    serve.add_argument("--model-alias", default=None, metavar="NAME",
                       help="the model's name in the API (default: the file name)")
    serve.add_argument("--max-body", type=int, default=8 << 20, metavar="BYTES",
                       help="largest request body; larger ones get 413 (default 8 MiB)")
    ray = serve.add_argument_group("Ray Serve (needs quillfen[cluster])")
    ray.add_argument("--ray", action="store_true", help="serve replicas of the model on Ray Serve")
    ray.add_argument("--ray-address", default=None, metavar="HOST:PORT",
                     help="the cluster `ray start --head` started (default: a local Ray instance of its own)")
    ray.add_argument("--replicas", type=int, default=None, metavar="N", help="copies of the model (default 1)")
    ray.add_argument("--threads-per-replica", type=int, default=None, metavar="T",
                     help="workers, and Ray CPUs, of each replica (default 1)")
    ray.add_argument("--min-replicas", type=int, default=None, metavar="N",
                     help="autoscale (either bound turns it on): fewest replicas (default 1)")
    ray.add_argument("--max-replicas", type=int, default=None, metavar="N",
                     help="autoscale: most replicas (default: --min-replicas or --replicas)")
    ray.add_argument("--target-ongoing-requests", type=float, default=None, metavar="N",
                     help="autoscale: requests in flight per replica to aim for (default: --parallel)")
    ray.add_argument("--router", choices=["prefix", "load"], default=None,
                     help="prefix: the replica holding the request's longest prefix unless it is busier; "
                          "load: Ray's default (default prefix)")

    info = sub.add_parser("info", help="describe a model file: format, metadata, tensor types, tokenizer")
    info.add_argument("model", help="path to a model file")
    return parser


def _load(path: str) -> Model:
    try:
        return Model(path)
    except (RuntimeError, ValueError) as e:
        raise CommandError(str(e)) from None


def _report(result: Completion | None) -> None:
    if result is None:
        return
    prompt_rate = result.prompt_tokens / result.prompt_seconds if result.prompt_seconds > 0 else 0.0
    print(f"\n[{len(result.tokens)} tokens, {result.tokens_per_second:.1f} tokens/s; prompt {result.prompt_tokens} "
          f"tokens ({result.reused_tokens} reused), {prompt_rate:.1f} tokens/s; finish: {result.finish_reason}; "
          f"seed {result.seed}]", file=sys.stderr)


def _stream_out(stream: Stream) -> Completion | None:
    for piece in stream:
        sys.stdout.write(piece)
        sys.stdout.flush()
    sys.stdout.write("\n")
    sys.stdout.flush()
    return stream.result


def _messages(system: str | None, user: str) -> list[dict[str, str]]:
    head = [{"role": "system", "content": system}] if system else []
    return [*head, {"role": "user", "content": user}]


def cmd_run(args: argparse.Namespace) -> int:
    model = _load(args.model)
    if args.chat and model.chat_template is None:
        raise CommandError(f"{args.model} has no chat template (tokenizer.chat_template); leave out --chat")
    try:
        schema = _schema_text(args.json_schema) if args.json_schema is not None else None
        grammar = _read_text(args.grammar, "grammar") if args.grammar is not None else None
        if args.chat:
            if grammar is not None:
                raise CommandError("--grammar goes without --chat; with --chat, give --json-schema")
            held = {"type": "json_schema", "json_schema": {"schema": schema}} if schema else None
            stream = model.chat(_messages(args.system, args.prompt), stream=True, response_format=held,
                                **_sampling(args))
        else:
            stream = model.generate(args.prompt, stream=True, json_schema=schema, grammar=grammar, **_sampling(args))
        _report(_stream_out(stream))
    except (ValueError, ImportError) as e:
        raise CommandError(str(e)) from None
    return 0


def _read_text(path: str, what: str) -> str:
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except (OSError, UnicodeDecodeError) as e:
        raise CommandError(f"cannot read the {what} file {path!r}: {getattr(e, 'strerror', None) or e}") from None


def _schema_text(value: str) -> str:
    """A schema given inline (it starts with '{') or as a file."""
    return value if value.lstrip().startswith("{") else _read_text(value, "JSON schema")


def cmd_chat(args: argparse.Namespace) -> int:
    model = _load(args.model)
    if model.chat_template is None:
        raise CommandError(f"{args.model} has no chat template (tokenizer.chat_template); use 'quillfen run'")
    history: list[dict[str, str]] = [{"role": "system", "content": args.system}] if args.system else []
    print("Ctrl-C stops an answer, Ctrl-D (or /exit) leaves.", file=sys.stderr)
    while True:
        try:
            user = input("> ")
        except (EOFError, KeyboardInterrupt):
            print(file=sys.stderr)
            return 0
        if user.strip() in ("/exit", "/quit"):
            return 0
        if not user.strip():
            continue
        history.append({"role": "user", "content": user})
        answer: list[str] = []
        try:
            stream = model.chat(history, stream=True, **_sampling(args))
            answer = []
            for piece in stream:
                answer.append(piece)
                sys.stdout.write(piece)
                sys.stdout.flush()
            sys.stdout.write("\n")
            _report(stream.result)
        except KeyboardInterrupt:
            sys.stdout.write("\n")
            print("[stopped]", file=sys.stderr)
        except ValueError as e:
            history.pop()
            print(f"quillfen: {e}", file=sys.stderr)
            continue
        history.append({"role": "assistant", "content": "".join(answer)})


def _short(value: Any) -> str:
    if isinstance(value, list):
        head = ", ".join(repr(v) for v in value[:4])
        return f"[{head}{', ...' if len(value) > 4 else ''}] ({len(value)} items)"
    text = repr(value)
    return text if len(text) <= 100 else text[:97] + "..."


def cmd_info(args: argparse.Namespace) -> int:
    try:
        fmt = _core.FormatDetector.detect(args.model)
        if fmt in UNREAD_FORMATS:
            print(f"format: {fmt}")
            print(f"model: not read: quillfen does not read the metadata of {UNREAD_FORMATS[fmt]} files yet")
            return 0
        meta = _core.FormatDetector.load_metadata(args.model)
    except RuntimeError as e:
        raise CommandError(file_error(args.model, e)) from None
    print(f"format: {fmt}")
    print(f"model: {meta}")
    if fmt != "GGUF":
        return 0
    try:
        desc = _runtime.describe(args.model)
    except RuntimeError as e:
        raise CommandError(file_error(args.model, e)) from None
    print(f"GGUF version {desc['version']}, {desc['file_size']} bytes, alignment {desc['alignment']}")
    arch = desc["metadata"].get("general.architecture")
    runs = _runtime.architectures()
    verdict = "this build runs it" if arch in runs else f"this build does not run it (it runs {', '.join(runs)})"
    print(f"architecture: {arch if isinstance(arch, str) else 'none named'}: {verdict}")
    print(f"metadata ({len(desc['metadata'])} keys):")
    for key in sorted(desc["metadata"]):
        print(f"  {key} = {_short(desc['metadata'][key])}")
    counts: Counter[str] = Counter()
    sizes: Counter[str] = Counter()
    missing = 0
    for _name, type_name, _dims, nbytes, in_file in desc["tensors"]:
        counts[type_name] += 1
        sizes[type_name] += nbytes or 0
        missing += not in_file
    print(f"tensors ({len(desc['tensors'])}):")
    for type_name, n in counts.most_common():
        print(f"  {type_name:8} {n:5} tensors {sizes[type_name]:14,} bytes")
    if missing:
        print(f"  {missing} tensors run past the end of the file")
    kind = desc["metadata"].get("tokenizer.ggml.model")
    pre = desc["metadata"].get("tokenizer.ggml.pre")
    print(f"tokenizer: {kind or 'none'}" + (f" (pre-tokenizer {pre})" if pre else ""))
    return 0


def cmd_serve(args: argparse.Namespace) -> int:
    for name in ("parallel", "port", "max_queue", "max_body", "ctx_size", "threads"):
        value = getattr(args, name)
        low = 0 if name in ("port", "max_queue") else 1
        high = {"port": 65535, "parallel": MAX_SEQUENCES}.get(name, 1 << 40)
        if value is not None and not low <= value <= high:
            raise CommandError(f"--{name.replace('_', '-')} {value} is out of range")
    for name in ("replicas", "threads_per_replica", "min_replicas", "max_replicas"):
        value = getattr(args, name)
        if value is not None and not (0 if name == "min_replicas" else 1) <= value <= 1 << 20:
            raise CommandError(f"--{name.replace('_', '-')} {value} is out of range")
    if args.min_replicas is not None and args.max_replicas is not None and args.min_replicas > args.max_replicas:
        raise CommandError("--min-replicas is more than --max-replicas")
    if args.target_ongoing_requests is not None and not args.target_ongoing_requests > 0:
        raise CommandError(f"--target-ongoing-requests {args.target_ongoing_requests} is out of range")
    ray_only = ("ray_address", "replicas", "threads_per_replica", "min_replicas", "max_replicas",
                "target_ongoing_requests", "router")
    if args.ray:
        if args.threads is not None:
            raise CommandError("--threads is for one process; with --ray give --threads-per-replica")
        return _serve_ray(args)
    given = [name for name in ray_only if getattr(args, name) is not None]
    if given:
        raise CommandError(f"--{given[0].replace('_', '-')} goes with --ray")
    try:
        from quillfen.server import serve
    except ImportError as e:
        raise CommandError(f"serve needs the server extra: pip install 'quillfen[server]' ({e})") from None
    try:
        return serve(args.model, host=args.host, port=args.port, parallel=args.parallel, ctx_size=args.ctx_size,
                     threads=args.threads, api_key=args.api_key or os.environ.get("QUILLFEN_API_KEY") or None,
                     max_queue=args.max_queue, model_alias=args.model_alias, max_body=args.max_body)
    except (RuntimeError, ValueError) as e:
        raise CommandError(str(e)) from None
    except KeyboardInterrupt:  # the server re-raises the Ctrl-C it has already handled
        return 0


def _serve_ray(args: argparse.Namespace) -> int:
    if not os.path.isfile(args.model):  # replicas would each fail to load it, on other machines too
        raise CommandError(f"{args.model}: no such file")
    if args.ray_address is None:
        # A local instance of its own serves this machine only: Ray keeps it on the loopback address
        # with this switch (named for the platforms where that is its default), read when ray loads.
        os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
    try:
        from quillfen.server.cluster import serve_ray
    except ImportError as e:
        raise CommandError(f"serve --ray needs the cluster extra: pip install 'quillfen[cluster]' ({e})") from None
    try:
        return serve_ray(os.path.abspath(args.model), address=args.ray_address, host=args.host, port=args.port,
                         replicas=args.replicas or 1, threads_per_replica=args.threads_per_replica or 1,
                         min_replicas=args.min_replicas, max_replicas=args.max_replicas,
                         target_ongoing_requests=args.target_ongoing_requests, router=args.router or "prefix",
                         parallel=args.parallel, ctx_size=args.ctx_size,
                         api_key=args.api_key or os.environ.get("QUILLFEN_API_KEY") or None,
                         max_queue=args.max_queue, model_alias=args.model_alias, max_body=args.max_body)
    except (RuntimeError, ValueError, ConnectionError) as e:
        raise CommandError(str(e).strip().splitlines()[-1] if str(e).strip() else type(e).__name__) from None
    except KeyboardInterrupt:
        return 0


COMMANDS = {"run": cmd_run, "chat": cmd_chat, "info": cmd_info, "serve": cmd_serve}


def _warning(message: Warning | str, category: type[Warning], filename: str, lineno: int,
             file: TextIO | None = None, line: str | None = None) -> None:
    """Warnings as one line each: what a user of the command needs, without the source line."""
    print(f"quillfen: warning: {message}", file=sys.stderr)


def _silence_stdout() -> None:
    """Points stdout at the null device, so that the interpreter's own flush at exit does not fail
    again on what is left in the buffer."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, ValueError):
        pass


def _command(parser: argparse.ArgumentParser, argv: Sequence[str] | None) -> int:
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # --help, or a usage error argparse has reported
        return 0 if e.code is None else e.code if isinstance(e.code, int) else 1
    if args.version:
        print(f"quillfen {__version__}")
        return 0
    if args.command is None:
        parser.print_help()
        return 0
    if getattr(args, "system", None) is not None and not getattr(args, "chat", True):
        print("quillfen run: error: --system needs --chat (a system message exists only in a chat)", file=sys.stderr)
        return 2
    return COMMANDS[args.command](args)


def main(argv: Sequence[str] | None = None) -> int:
    with warnings.catch_warnings():
        warnings.showwarning = _warning
        try:
            status = _command(_parser(), argv)
            sys.stdout.flush()
            return status
        except CommandError as e:
            print(f"quillfen: {e}", file=sys.stderr)
            return 1
        except KeyboardInterrupt:
            print(file=sys.stderr)
            return 130
        except BrokenPipeError:
            _silence_stdout()
            return 0
        except OSError as e:  # the output cannot be written (a full disk, a closed terminal)
            _silence_stdout()
            print(f"quillfen: cannot write the output: {e.strerror or e}", file=sys.stderr)
            return 1


if __name__ == "__main__":
    sys.exit(main())
