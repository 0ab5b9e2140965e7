"""Chat templates: the Jinja text a GGUF file carries in "tokenizer.chat_template", rendered the way
transformers renders it, in a sandbox (the template comes from a file, so it may read only the
values given to it and call nothing else)."""

from __future__ import annotations

import json
import re
import secrets
from collections.abc import Callable, Iterable, Mapping, Sequence
from datetime import datetime
from typing import Any, NoReturn

from jinja2 import TemplateError, meta
from jinja2.sandbox import ImmutableSandboxedEnvironment


class ChatTemplateError(ValueError):
    """The chat template could not be rendered (a syntax error, or the template refused the messages)."""


def _raise_exception(message: str) -> NoReturn:
    raise ChatTemplateError(message)


def _tojson(value: Any, indent: int | None = None, ensure_ascii: bool = False, sort_keys: bool = False) -> str:
    return json.dumps(value, indent=indent, ensure_ascii=ensure_ascii, sort_keys=sort_keys)


def _strftime_now(fmt: str) -> str:
    return datetime.now().strftime(fmt)


_compiled: dict[str, Any] = {}  # a model renders its one template again for every turn


def _compile(source: str) -> Any:
    if source in _compiled:
        return _compiled[source]
    env = ImmutableSandboxedEnvironment(trim_blocks=True, lstrip_blocks=True, extensions=["jinja2.ext.loopcontrols"])
    env.filters["tojson"] = _tojson
    env.globals["raise_exception"] = _raise_exception
    env.globals["strftime_now"] = _strftime_now
    try:
        template = env.from_string(source)
    except TemplateError as e:
        raise ChatTemplateError(f"the chat template does not compile: {e}") from None
    if len(_compiled) >= 8:
        _compiled.clear()
    _compiled[source] = template
    return template


def reads_variable(source: str, name: str) -> bool:
    """Whether the template reads `name` (tools, say) from the values it is given."""
    template = _compile(source)  # compiles, or raises the template's own error
    del template
    env = ImmutableSandboxedEnvironment(extensions=["jinja2.ext.loopcontrols"])
    return name in meta.find_undeclared_variables(env.parse(source))


def _tool_calls_for_templates(calls: Any, i: int) -> list[dict[str, Any]]:
    """An assistant message's OpenAI tool calls as templates read them: the arguments as a dict (OpenAI
    sends JSON text, while templates write `arguments | tojson`), the function's fields also on the call."""
    if isinstance(calls, (str, bytes)) or not isinstance(calls, Sequence):
        raise ChatTemplateError(f"message {i}: 'tool_calls' must be a list")
    out = []
    for call in calls:
        function = call.get("function") if isinstance(call, Mapping) else None
        if not isinstance(function, Mapping) or not isinstance(function.get("name"), str):
            raise ChatTemplateError(f"message {i}: each tool call needs 'function': {{'name': ..., 'arguments': ...}}")
        arguments = function.get("arguments", {})
        if isinstance(arguments, str):
            try:
                arguments = json.loads(arguments) if arguments.strip() else {}
            except ValueError:
                raise ChatTemplateError(f"message {i}: the arguments of tool call {function['name']!r} "
                                        "are not JSON") from None
        fields = {"name": function["name"], "arguments": arguments}
        out.append({**call, **fields, "type": "function", "function": fields})
    return out


def _checked(messages: Any) -> list[dict[str, Any]]:
    """The messages as fresh dicts, each with a str role and content, or the first fault named. An
    assistant message that makes tool calls may have no content (None); its calls' arguments become
    dicts."""
    if isinstance(messages, Mapping):
        raise ChatTemplateError("messages must be a list of messages, not a single message: wrap it in [...]")
    if isinstance(messages, (str, bytes)) or not isinstance(messages, Iterable):
        raise ChatTemplateError(f"messages must be a list of {{'role': ..., 'content': ...}} mappings, "
                                f"not {type(messages).__name__}")
    out = []
    for i, m in enumerate(messages):
        if not isinstance(m, Mapping):
            raise ChatTemplateError(f"message {i} must be a mapping with 'role' and 'content', not {type(m).__name__}")
        m = dict(m)
        if m.get("tool_calls") is not None:
            m["tool_calls"] = _tool_calls_for_templates(m["tool_calls"], i)
            if m.get("content") is None:
                m["content"] = ""
        for key in ("role", "content"):
            if key not in m:
                raise ChatTemplateError(f"message {i} has no '{key}'")
            if not isinstance(m[key], str):
                raise ChatTemplateError(f"message {i}: '{key}' must be a str, not {type(m[key]).__name__}")
        out.append(dict(m))
    return out


def _render(source: str, messages: list[dict[str, Any]], **values: Any) -> str:
    try:
        return str(_compile(source).render(messages=messages, **values))
    except ChatTemplateError:
        raise
    except TemplateError as e:
        raise ChatTemplateError(f"the chat template failed: {e}") from None


def render_chat(source: str, messages: Sequence[Mapping[str, Any]], *, add_generation_prompt: bool,
                bos_token: str, eos_token: str, **extra: Any) -> str:
    """The prompt `source` makes of `messages`."""
    return _render(source, _checked(messages), add_generation_prompt=add_generation_prompt, bos_token=bos_token,
                   eos_token=eos_token, **extra)


# How a template may pass a message's content on: unchanged or trimmed.
_SHAPES: tuple[Callable[[str], str], ...] = (lambda c: c, str.strip, str.lstrip, str.rstrip)


def chat_parts(source: str, messages: Sequence[Mapping[str, Any]], *, add_generation_prompt: bool,
               bos_token: str, eos_token: str, **extra: Any) -> list[tuple[str, bool]]:
    """The prompt `source` makes of `messages`, cut into (text, is_markup) parts: the template's own
    text, and the messages' contents as the template placed them. The template is rendered once as
    it is and once with each content replaced by a marker no message holds; the markers show where
    the contents went, and the first rendering what they became there."""
    checked = _checked(messages)
    values = {"add_generation_prompt": add_generation_prompt, "bos_token": bos_token, "eos_token": eos_token, **extra}
    text = _render(source, checked, **values)
    nonce = secrets.token_hex(8)
    # An empty content is left as it is: templates test it ("if message.content") and may skip it.
    marked = [{**m, "content": f"\ue000{nonce}:{i}\ue001"} if m["content"] else m for i, m in enumerate(checked)]
    pieces = re.split(f"\ue000{nonce}:([0-9]+)\ue001", _render(source, marked, **values))
    # pieces: markup, index, markup, index, ..., markup
    parts: list[tuple[str, bool]] = []
    at = 0
    for n, piece in enumerate(pieces):
        if n % 2 == 0:
            if not text.startswith(piece, at):
                break
            parts.append((piece, True))
            at += len(piece)
            continue
        content = checked[int(piece)]["content"]
        following = pieces[n + 1]
        placed = next((shaped for shaped in map(lambda shape: shape(content), _SHAPES)
                       if text.startswith(shaped + following, at)), None)
        if placed is None:
            break
        parts.append((placed, False))
        at += len(placed)
    else:
        if at == len(text):
            return [p for p in parts if p[0]]
    raise ChatTemplateError("the chat template changes message contents in a way that hides where they are; "
                            "pass parse_special_in_content=True to read the rendered text whole")
